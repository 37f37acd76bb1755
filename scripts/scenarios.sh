#!/usr/bin/env bash
# Plays ransomware-like and benign file patterns, and a process-based attack,
# against the real agent under Wine, in a throwaway sandbox, and prints one
# table row per pattern.
# Fails when a detection the rules guarantee did not appear, a pausing
# pattern lost more than 6 documents, or an everyday program was paused.
# Usage: scripts/scenarios.sh [pattern numbers, e.g. 8,9,12: only those rows;
#        or "quick": the test command's set, every pattern but the longer pausing ones]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
build="${VG_BUILD_DIR:-$root/build/mingw}"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target Vellumgard scenario_runner sleeper
sandbox="$build/scenario-sandbox"
rm -rf "$sandbox"
exec xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  set -uo pipefail
  source "$1/scripts/wine-sandbox.sh" "$2"
  wineserver -p </dev/null >/dev/null 2>&1 &
  wine wineboot </dev/null >/dev/null 2>&1
  echo "== scenarios on $(nproc) cores, $(date -u +%Y-%m-%d)"
  wine "$3/tools/scenario_runner.exe" "Z:$(echo "$3/Vellumgard.exe" | tr / \\\\)" ${4:+"$4"} </dev/null
  rc=$?
  wineserver -k </dev/null >/dev/null 2>&1 || true
  exit $rc
' _ "$root" "$sandbox" "$build" "${1:-}"
