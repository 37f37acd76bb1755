#!/usr/bin/env python3
"""Makes the incident folders of the incident-index benchmarks, natively
(through Wine 100,000 folders would take many minutes).

Usage: bench-incidents.py INCIDENTS_DIR RECENT OLDER

RECENT incidents of the last 24 hours, one a minute as the default rate limit
allows, every tenth critical and every 25th sharing its second with the one
before (a more severe incident passing the limit at once); they are made
afresh at every call, since their age is measured from now. OLDER incidents,
one a minute back from September 2020, keep their names from call to call
and are only made when missing, so a kept folder is reused. Folder names and
incident.json text are those the store writes; times are local, as the
agent writes them.
"""
import os
import shutil
import sys
import time

RECENT_TICKS = 1000000  # the tick part of a recent folder's name starts here
OLDER_TICKS = 5000000
OLDER_FROM = 1600000000


def incident_json(ts, reason, severity):
    return ('{"ts":"%s","product":"Vellumgard","version":"Public v1","reason":"%s","severity":%d,'
            '"mode":"lite","folder":"C:\\\\Users\\\\user\\\\Documents","file":"budget.xlsx"}' % (ts, reason, severity))


def write(incidents, when, tick, reason, severity):
    local = time.localtime(when)
    folder = os.path.join(incidents, time.strftime("%Y%m%d_%H%M%S", local) + "_%d" % tick)
    json = os.path.join(folder, "incident.json")
    if tick >= OLDER_TICKS and os.path.exists(json):
        return
    os.makedirs(folder, exist_ok=True)
    with open(json, "w", newline="") as f:
        f.write(incident_json(time.strftime("%Y-%m-%dT%H:%M:%S", local), reason, severity))


def tick_of(name):
    tail = name.rsplit("_", 1)[-1]
    return int(tail) if tail.isdigit() else -1


def main():
    incidents, recent, older = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    os.makedirs(incidents, exist_ok=True)
    # Whatever is not part of this set goes: last run's recent ones, and
    # anything a benchmark or the agent left behind.
    for name in os.listdir(incidents):
        if not OLDER_TICKS <= tick_of(name) < OLDER_TICKS + older:
            shutil.rmtree(os.path.join(incidents, name), ignore_errors=True)
    now = int(time.time())
    for i in range(recent):
        critical = i % 10 == 0
        reason, severity = ("canary_file_touched", 90) if critical else ("file_burst", 80)
        when = now - 60 * (i - 1 if i % 25 == 1 else i)
        write(incidents, when, RECENT_TICKS + i, reason, severity)
    for i in range(older):
        write(incidents, OLDER_FROM - 60 * i, OLDER_TICKS + i, "file_burst", 80)


if __name__ == "__main__":
    main()
