#!/usr/bin/env bash
# Runs the agent for a person to try: installs what is missing, builds, and
# starts Vellumgard.exe under Wine in a sandbox that survives between runs
# (build/mingw-run/sandbox; delete it to start afresh). On $DISPLAY when one
# is set, otherwise on a virtual display (xvfb-run). Ends when the agent
# exits (tray menu "Exit") or on Ctrl+C.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"

build="${VG_BUILD_DIR:-$root/build/mingw}"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target Vellumgard
exe="$build/Vellumgard.exe"

# shellcheck source=wine-sandbox.sh
source "$root/scripts/wine-sandbox.sh" "$root/build/mingw-run/sandbox"
data="$VG_WINE_USER_DIR/AppData/Local/Vellumgard"

cat <<INFO

Vellumgard runs in the sandbox $vg_sandbox
  Desktop:    $HOME/Desktop
  Documents:  $HOME/Documents
  Downloads:  $HOME/Downloads
  Data:       $data
  Log:        $data/Vellumgard.log.jsonl
  Incidents:  $data/Incidents
  Report:     $data/report.html  (tray menu "Run report"; the browser stays closed in the sandbox)

Try it from another terminal:
  tail -f "$data/Vellumgard.log.jsonl"
  echo "pay us" > "$HOME/Documents/HOW_TO_DECRYPT.txt"
A "dir_file_heuristic" line and a new folder under Incidents follow. Touching a
canary file (10 s after start) is a critical incident: the tray tooltip names it
and a balloon announces it.
  echo x >> "$HOME/Documents/vellumgard_do_not_touch.txt"
Stop with the tray menu's Exit, or Ctrl+C.

INFO

# A wineserver left from an earlier run may hold another display.
wineserver -k </dev/null >/dev/null 2>&1 || true
trap 'wineserver -k </dev/null >/dev/null 2>&1 || true' EXIT
status=0
if [ -n "${DISPLAY:-}" ]; then
  wine "$exe" || status=$?
else
  echo "(no DISPLAY: running on a virtual display; the tray icon is not visible)"
  xvfb-run -a -s "-screen 0 1024x768x24" wine "$exe" || status=$?
fi
echo "Vellumgard exited with code $status"
exit "$status"
