#!/usr/bin/env bash
# The release package: builds Vellumgard.exe (build/mingw unless a build
# folder is given) and zips it with the Windows users' README.txt into
# <build>/package/Vellumgard-<version>-win64.zip, with the SHA-256 checksum
# file Vellumgard-<version>-win64.zip.sha256 ("<hash>  <zip name>") beside it.
# Usage: package.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${1:-$root/build/mingw}"

if [ ! -f "$build/CMakeCache.txt" ]; then
  "$root/scripts/install-deps.sh"
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target Vellumgard >/dev/null
build=$(cd "$build" && pwd)

rm -rf "$build/package"
(cd "$build" && cpack --config CPackConfig.cmake >/dev/null)
zip=$(ls "$build"/package/Vellumgard-*-win64.zip)
sum="$zip.sha256"
[ -f "$sum" ] || { echo "no checksum file beside $zip" >&2; exit 1; }
rm -rf "$build/package/_CPack_Packages"  # CPack's staging copy
echo "package:  $zip"
echo "checksum: $sum"
