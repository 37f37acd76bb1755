#!/usr/bin/env bash
# The test command: installs what is missing, builds for Windows and runs
# every test under Wine (inside Xvfb) in a throwaway sandbox.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"

build="${VG_BUILD_DIR:-$root/build/mingw}"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"

xvfb-run -a -s "-screen 0 1024x768x24" "$root/scripts/ctest-in-wine.sh" "$build" "$@"
