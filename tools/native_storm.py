#!/usr/bin/env python3
"""A storm of file creations made by a native Linux process, for the watcher
benchmarks: the agent under Wine sees it as an outside program writing at
full speed.

native_storm.py FOLDER COUNT [--pause S] [--rename-at I] [--done FILE]
                [--ext .EXT] [--content FILE | --random N]

Makes FOLDER (a new subfolder of a watched folder), waits --pause seconds so
the watcher sees it, then creates FOLDER/f0.txt ... f<COUNT-1>.txt, one byte
each (with --ext another extension; with --content the bytes of FILE, with
--random N random bytes, fresh for each file). With --rename-at,
budget.xlsx is written before the storm and renamed to budget.xlsx.locked
after file I. Writes one line of JSON to --done at the
end (times in ns since 1970, the clock file times use):
{"created":N,"start_ns":..,"end_ns":..,"rename_ns":..}
"""
import argparse
import json
import os
import time


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("folder")
    ap.add_argument("count", type=int)
    ap.add_argument("--pause", type=float, default=1.0)
    ap.add_argument("--rename-at", type=int, default=-1)
    ap.add_argument("--done")
    ap.add_argument("--ext", default=".txt")
    ap.add_argument("--content")
    ap.add_argument("--random", type=int, default=0)
    a = ap.parse_args()
    content = b"x"
    if a.content:
        with open(a.content, "rb") as f:
            content = f.read()

    os.makedirs(a.folder, exist_ok=True)
    time.sleep(a.pause)
    budget = os.path.join(a.folder, "budget.xlsx")
    if a.rename_at >= 0:
        with open(budget, "wb") as f:
            f.write(b"PK\x03\x04 a spreadsheet")
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL
    rename_ns = 0
    start = time.time_ns()
    for i in range(a.count):
        fd = os.open(os.path.join(a.folder, "f%d%s" % (i, a.ext)), flags, 0o644)
        os.write(fd, os.urandom(a.random) if a.random else content)
        os.close(fd)
        if i == a.rename_at:
            os.rename(budget, budget + ".locked")
            rename_ns = time.time_ns()
    end = time.time_ns()
    result = {"created": a.count, "start_ns": start, "end_ns": end, "rename_ns": rename_ns}
    if a.done:
        tmp = a.done + ".tmp"
        with open(tmp, "w") as f:
            f.write(json.dumps(result) + "\n")
        os.rename(tmp, a.done)


if __name__ == "__main__":
    main()
