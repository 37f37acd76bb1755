#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/, clang, ASan + UBSan) into build/fuzz
# and runs each for FUZZ_SECONDS (default 60) over its checked-in seeds in
# fuzz/corpus/<target> plus a working corpus kept in build/fuzz/work/<target>.
# A crash, a sanitizer report, a broken property or a hang (10 s on one input)
# fails the target; the input is saved to build/fuzz/artifacts/. Usage:
#   scripts/fuzz.sh [target ...]     (targets: the fuzz/fuzz_<target>.cpp names)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" || exit 1

seconds="${FUZZ_SECONDS:-60}"
build="$root/build/fuzz"

cmake -S "$root/fuzz" -B "$build" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null &&
  cmake --build "$build" -j"$(nproc)" || exit 1

targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
  for src in "$root"/fuzz/fuzz_*.cpp; do
    name=$(basename "$src" .cpp)
    targets+=("${name#fuzz_}")
  done
fi

mkdir -p "$build/artifacts"
passed=0
failed=0
for t in "${targets[@]}"; do
  work="$build/work/$t"
  log="$build/$t.log"
  mkdir -p "$work"
  # New inputs go to the first folder, so the checked-in seeds stay as they are.
  if "$build/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -artifact_prefix="$build/artifacts/$t-" "$work" "$root/fuzz/corpus/$t" >"$log" 2>&1; then
    passed=$((passed + 1))
    echo "  $t: ok, $(grep -oE '^#[0-9]+' "$log" | tail -1 | tr -d '#') runs"
  else
    failed=$((failed + 1))
    echo "  $t: FAILED (log: $log)"
    grep -E 'ERROR|runtime error|property violated|SUMMARY|Test unit written' "$log" | head -20 | sed 's/^/    /'
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
