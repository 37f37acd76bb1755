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
    echo "== $(basename "$b" .exe)"
    wine "$b" </dev/null || status=1
  done
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
  wineserver -k </dev/null >/dev/null 2>&1 || true
  exit $status
' _ "$root" "$sandbox" "$build"
