#!/usr/bin/env bash
# Takes a PNG of the tray icon with a critical-alert balloon: runs the agent
# under Wine on a virtual display in a throwaway sandbox, touches a canary
# after the warm-up, waits for the balloon and grabs the screen with
# ImageMagick. Installs ImageMagick if missing.
# Usage: tray-screenshot.sh [OUT.png]   (docs/tray.png by default)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$root/docs/tray.png}")
"$root/scripts/install-deps.sh" imagemagick

build="${VG_BUILD_DIR:-$root/build/mingw}"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target Vellumgard >/dev/null
sandbox="$build/screenshot-sandbox"
rm -rf "$sandbox"
mkdir -p "$(dirname "$out")"

exec xvfb-run -a -s "-screen 0 800x600x24" bash -c '
  set -uo pipefail
  exe=$1; out=$2
  source "$3/scripts/wine-sandbox.sh" "$4"
  wineserver -p </dev/null >/dev/null 2>&1 &
  wine wineboot </dev/null >/dev/null 2>&1
  trap "wineserver -k </dev/null >/dev/null 2>&1 || true" EXIT

  data="$VG_WINE_USER_DIR/AppData/Local/Vellumgard"
  log="$data/Vellumgard.log.jsonl"
  mkdir -p "$data"
  printf "{\n  \"enableProcessMonitor\": false,\n  \"canaryWarmupSeconds\": 1\n}\n" >"$data/Vellumgard.config.json"
  wine "$exe" </dev/null >/dev/null 2>&1 &

  # Waits until the log holds at least $2 lines with the text $1.
  wait_for() {
    for _ in $(seq 1 300); do
      n=$(grep -c -F -- "$1" "$log" 2>/dev/null || true)
      [ "${n:-0}" -ge "$2" ] && return 0
      sleep 0.1
    done
    echo "gave up waiting for $1 in $log" >&2
    return 1
  }
  wait_for "Dir monitor started" 3 || exit 1
  sleep 2
  echo "touched" >>"$HOME/Documents/vellumgard_do_not_touch.txt"
  wait_for "\"reason\":\"canary_file_touched\"" 1 || exit 1
  # The alert poll runs every three seconds; the balloon follows within one.
  sleep 5
  # The notification area and its balloon sit in the top left corner.
  import -window root -crop 380x104+0+14 +repage "$out"
  echo "wrote $out"
' _ "$build/Vellumgard.exe" "$out" "$root" "$sandbox"
