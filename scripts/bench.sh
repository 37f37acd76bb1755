#!/usr/bin/env bash
# Builds and runs the benchmarks under Wine in a throwaway sandbox; prints figures.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
build="${VG_BUILD_DIR:-$root/build/mingw}"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
sandbox="$build/bench-sandbox"
rm -rf "$sandbox"
# shellcheck source=wine-sandbox.sh
source "$root/scripts/wine-sandbox.sh" "$sandbox"
wineserver -p </dev/null >/dev/null 2>&1 &
wine wineboot </dev/null >/dev/null 2>&1
echo "== machine: $(nproc) cores, $(uname -m), $(date -u +%Y-%m-%d)"
status=0
for b in "$build"/tests/*/*_bench.exe; do
  echo "== $(basename "$b" .exe)"
  wine "$b" </dev/null || status=1
done
wineserver -k </dev/null >/dev/null 2>&1 || true
exit $status
