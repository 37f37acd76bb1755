#!/usr/bin/env bash
# The test command: installs what is missing, builds for Windows and runs
# every test under Wine (inside Xvfb) in a throwaway sandbox, then the native
# sanitizer and fuzz runs (scripts/native-tests.sh); fails if either failed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"

build="${VG_BUILD_DIR:-$root/build/mingw}"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"

wine_status=0
xvfb-run -a -s "-screen 0 1024x768x24" "$root/scripts/ctest-in-wine.sh" "$build" "$@" || wine_status=$?

# Then the pure modules natively under the sanitizers, and the fuzzers briefly.
native_status=0
"$root/scripts/native-tests.sh" || native_status=$?
[ "$wine_status" -eq 0 ] && [ "$native_status" -eq 0 ]
