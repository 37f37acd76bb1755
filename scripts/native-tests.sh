#!/usr/bin/env bash
# The native half of the test command (no Wine): the pure modules and their
# PURE tests built with the host's clang and run under AddressSanitizer and
# UndefinedBehaviorSanitizer, the tests that share state between threads again
# under ThreadSanitizer, then every fuzz target for a short while over its seed
# corpus. Runs every step even after a failure; exits non-zero if any failed.
# Build folders: build/native-asan, build/native-tsan, build/fuzz.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" || exit 1

cc=clang-14
cxx=clang++-14
jobs=$(nproc)
failed=()

# The PURE test programs that run several threads against process-wide state:
# config snapshots, the burst window, canary-name publication.
tsan_targets=(core_config_snapshot_test fsmon_burst_window_test fsmon_canary_names_test procmon_process_memory_test
              fsmon_extended_name_rules_test)

export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# configure NAME SANITIZE_FLAGS: a native build of the pure modules and tests.
configure() {
  local dir="$root/build/$1" flags="$2"
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Debug \
        -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
        -DCMAKE_C_FLAGS_DEBUG="-O1 -g1" -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" \
        -DCMAKE_C_FLAGS="$flags -fno-omit-frame-pointer" -DCMAKE_CXX_FLAGS="$flags -fno-omit-frame-pointer" \
        -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
}

echo "== native build under AddressSanitizer + UndefinedBehaviorSanitizer"
if configure native-asan "-fsanitize=address,undefined -fno-sanitize-recover=all" &&
   cmake --build "$root/build/native-asan" -j"$jobs"; then
  (cd "$root/build/native-asan" && ctest --output-on-failure --timeout 300 -j"$jobs") || failed+=(asan-ubsan)
else
  failed+=(asan-ubsan-build)
fi

echo "== native build under ThreadSanitizer: ${tsan_targets[*]}"
if configure native-tsan "-fsanitize=thread" &&
   cmake --build "$root/build/native-tsan" -j"$jobs" --target "${tsan_targets[@]}"; then
  # Test programs not built here register as <name>_NOT_BUILT.
  (cd "$root/build/native-tsan" && ctest --output-on-failure --timeout 300 -j"$jobs" -E '_NOT_BUILT$') ||
    failed+=(tsan)
else
  failed+=(tsan-build)
fi

echo "== fuzz targets, ${FUZZ_SHORT_SECONDS:-10} s each over their seed corpora"
FUZZ_SECONDS="${FUZZ_SHORT_SECONDS:-10}" "$root/scripts/fuzz.sh" || failed+=(fuzz)

if [ "${#failed[@]}" -gt 0 ]; then
  echo "native tests FAILED: ${failed[*]}"
  exit 1
fi
echo "native tests passed (asan-ubsan, tsan, fuzz)"
