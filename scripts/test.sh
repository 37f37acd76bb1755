#!/usr/bin/env bash
# The test command: installs what is missing, builds for Windows and runs
# every test under Wine (inside Xvfb) in a throwaway sandbox, then the native
# sanitizer and fuzz runs (scripts/native-tests.sh), then the ransomware
# scenarios against the real agent (scripts/scenarios.sh); fails if any failed.
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
# Last, the real agent against ransomware-like patterns (skip with
# VG_SKIP_SCENARIOS=1 during development).
scenario_status=0
if [ "${VG_SKIP_SCENARIOS:-0}" != 1 ]; then
  # "quick": patterns 1-15, 17, 22 and 28 (one short pausing pattern and
  # the everyday writers); `make scenarios` plays the whole set.
  "$root/scripts/scenarios.sh" quick || scenario_status=$?
fi
echo "wine tests: $wine_status, native tests: $native_status, scenarios: $scenario_status (0 = passed)"
[ "$wine_status" -eq 0 ] && [ "$native_status" -eq 0 ] && [ "$scenario_status" -eq 0 ]
