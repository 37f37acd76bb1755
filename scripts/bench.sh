#!/usr/bin/env bash
# Builds and runs the benchmarks under Wine in a throwaway sandbox; prints
# figures (nothing here passes or fails on a figure).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" inotify-tools
build="${VG_BUILD_DIR:-$root/build/mingw}"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
sandbox="$build/bench-sandbox"
rm -rf "$sandbox"
exec xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  set -uo pipefail
  root=$1 sandbox=$2 build=$3
  source "$root/scripts/wine-sandbox.sh" "$sandbox"
  wineserver -p </dev/null >/dev/null 2>&1 &
  wine wineboot </dev/null >/dev/null 2>&1
  echo "== machine: $(nproc) cores, $(uname -m), $(date -u +%Y-%m-%d)"
  status=0
  for b in "$build"/tests/*/*_bench.exe; do
    case "$(basename "$b")" in
      incidents_scan_bench.exe|tray_alerts_bench.exe) continue ;;  # below, on incident folders made natively
    esac
    echo "== $(basename "$b" .exe)"
    wine "$b" </dev/null || status=1
  done
  "$root/scripts/bench-incident-index.sh" "$build" || status=1
  echo "== agent_bench (the running Vellumgard.exe)"
  # The peer for watcher completeness: inotify on the same folder, same run.
  events="$sandbox/inotify.txt"
  inotifywait -m -r -q -e create --format "%w%f" "$HOME/Documents" >"$events" 2>/dev/null &
  peer=$!
  sleep 1
  wine "$build/tools/agent_bench.exe" "Z:$(echo "$build/Vellumgard.exe" | tr / \\\\)" </dev/null || status=1
  kill $peer 2>/dev/null || true
  seen=$(grep -c "/storm/f" "$events" || true)
  echo "peer (inotifywait -m -r) saw $seen of 5000 creations in the same run"
  echo "== process_bench (the polling process monitor of the running Vellumgard.exe)"
  wine "$build/tools/process_bench.exe" "Z:$(echo "$build/Vellumgard.exe" | tr / \\\\)" \
    "Z:$(echo "$build/tools/sleeper.exe" | tr / \\\\)" </dev/null || status=1
  echo "== watcher_storm_bench (the running Vellumgard.exe against storms made by a native process)"
  # Its own sandbox, on tmpfs when the host has one: the storms measure the
  # watcher, not a disk shared with other work. The peer watches the same folder.
  (
    storm_sandbox="$sandbox-storms"
    [ -d /dev/shm ] && storm_sandbox="/dev/shm/vellumgard-bench-storms-$$"
    rm -rf "$storm_sandbox"
    source "$root/scripts/wine-sandbox.sh" "$storm_sandbox"
    wineserver -p </dev/null >/dev/null 2>&1 &
    wine wineboot </dev/null >/dev/null 2>&1
    events="$storm_sandbox/inotify.txt"
    inotifywait -m -r -q -e create --format "%w%f" "$HOME/Documents" >"$events" 2>/dev/null &
    peer=$!
    sleep 1
    wine "$build/tools/watcher_storm_bench.exe" "Z:$(echo "$build/Vellumgard.exe" | tr / \\\\)" </dev/null
    rc=$?
    # The same 20,000-file storm while another process holds the log lock 1.5 s at a time.
    wine "$build/tools/watcher_storm_bench.exe" "Z:$(echo "$build/Vellumgard.exe" | tr / \\\\)" 0 20000 lock \
      </dev/null || rc=1
    kill $peer 2>/dev/null || true
    for n in 5000 20000; do
      echo "peer (inotifywait -m -r) saw $(grep -c "/storm$n/f" "$events" || true) of $n creations in the same run"
    done
    wineserver -k </dev/null >/dev/null 2>&1 || true
    rm -rf "$storm_sandbox"
    exit $rc
  ) || status=1
  echo "== content_check_bench (the running Vellumgard.exe: storms of checked files, extendedDetection off and on)"
  (
    content_sandbox="$sandbox-content"
    [ -d /dev/shm ] && content_sandbox="/dev/shm/vellumgard-bench-content-$$"
    rm -rf "$content_sandbox"
    source "$root/scripts/wine-sandbox.sh" "$content_sandbox"
    wineserver -p </dev/null >/dev/null 2>&1 &
    wine wineboot </dev/null >/dev/null 2>&1
    wine "$build/tools/content_check_bench.exe" "Z:$(echo "$build/Vellumgard.exe" | tr / \\\\)" </dev/null
    rc=$?
    wineserver -k </dev/null >/dev/null 2>&1 || true
    rm -rf "$content_sandbox"
    exit $rc
  ) || status=1
  wineserver -k </dev/null >/dev/null 2>&1 || true
  exit $status
' _ "$root" "$sandbox" "$build"
