#!/usr/bin/env bash
# The incident-index benchmarks of `make bench`, run by scripts/bench.sh inside
# its Wine sandbox and display. For 1,440 incidents of the last 24 hours plus
# 10,000 and plus 100,000 older ones, made natively (scripts/bench-incidents.py,
# kept in build/.../bench-incidents between runs, about 1 GB): the scanner and
# the alert poll in-process, each list checked against the literal algorithm,
# then the real agent started on the same folders and its idle CPU (and its
# Wine server's) read from /proc over 30 s. Prints figures; fails only when a
# list differs. Usage: bench-incident-index.sh BUILD_DIR
set -uo pipefail
build=$(cd "${1:?build dir}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
cache="${VG_BENCH_INCIDENTS:-$build/bench-incidents}"
hz=$(getconf CLK_TCK)

winpath() { echo "Z:$(echo "$1" | tr / \\\\)"; }
# CPU time of a process so far, in clock ticks (user + system).
cputicks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
# The Wine server of this sandbox's prefix.
server_pid() {
  local p
  for p in $(pgrep wineserver); do
    if tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then
      echo "$p"
      return
    fi
  done
}
percent() { awk -v t="$1" -v hz="$hz" -v s="$2" 'BEGIN { printf "%.2f", t / hz / s * 100 }'; }

# The agent on these incidents: ready once its first scan is over, then idle.
agent_idle() {
  local incidents=$1
  local data="$VG_WINE_USER_DIR/AppData/Local/Vellumgard"
  rm -rf "$data"
  mkdir -p "$data"
  mv "$incidents" "$data/Incidents"
  local started
  started=$(date +%s.%N)
  wine "$build/Vellumgard.exe" </dev/null >/dev/null 2>&1 &
  local agent=$!
  # The core has started once the log says so...
  local core=""
  for _ in $(seq 1500); do
    grep -q '"type":"startup"' "$data/Vellumgard.log.jsonl" 2>/dev/null && break
    sleep 0.2
  done
  core=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
  # ...the index's watch makes its sync folder as the first scan begins...
  local sync=""
  for _ in $(seq 600); do
    sync=$(ls -d "$data/Incidents"/.vgsync-* 2>/dev/null | head -1)
    [ -n "$sync" ] && break
    sleep 0.2
  done
  # ...and the scan is over when two seconds pass on under 1% of a core.
  local prev now
  prev=$(cputicks "$agent")
  for _ in $(seq 300); do
    sleep 2
    now=$(cputicks "$agent")
    [ $((now - prev)) -le $((hz / 50)) ] && break
    prev=$now
  done
  local ready
  ready=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a - 2 }')
  local server a0 s0 a1 s1
  server=$(server_pid)
  a0=$(cputicks "$agent")
  s0=$(cputicks "${server:-0}")
  sleep 30
  a1=$(cputicks "$agent")
  s1=$(cputicks "${server:-0}")
  echo "agent: core started after ${core} s, first scan done after about ${ready} s; resident $(awk '/VmRSS/ {printf "%.0f MiB", $2 / 1024}' "/proc/$agent/status")"
  echo "agent idle over 30 s: $(percent $((a1 - a0)) 30)% of one core; its Wine server $(percent $((s1 - s0)) 30)% (target: under 2%)"
  # Exit as the tray menu does (a close message), then wait for it.
  [ -n "$sync" ] && wine taskkill /pid "${sync##*-}" >/dev/null 2>&1
  for _ in $(seq 100); do
    kill -0 "$agent" 2>/dev/null || break
    sleep 0.2
  done
  kill "$agent" 2>/dev/null
  wait "$agent" 2>/dev/null
  mv "$data/Incidents" "$incidents"
}

status=0
for older in 10000 100000; do
  set="$cache/h$older"
  echo "== incident index: 1,440 incidents of the last 24 h + $older older ones"
  made=$(date +%s)
  python3 "$root/scripts/bench-incidents.py" "$set/Vellumgard/Incidents" 1440 "$older" || { status=1; continue; }
  # Every figure below with the files in the page cache, as on a running machine.
  find "$set/Vellumgard/Incidents" -name incident.json -print0 | xargs -0 cat >/dev/null
  echo "folders ready (made natively) in $(($(date +%s) - made)) s"
  echo "-- incidents_scan_bench"
  wine "$build/tests/incidents/incidents_scan_bench.exe" "$(winpath "$set")" </dev/null || status=1
  echo "-- tray_alerts_bench"
  wine "$build/tests/tray/tray_alerts_bench.exe" "$(winpath "$set")" </dev/null || status=1
  echo "-- the running Vellumgard.exe"
  agent_idle "$set/Vellumgard/Incidents"
done
exit $status
