#!/usr/bin/env bash
# The release package: builds Vellumgard.exe (build/mingw unless a build
# folder is given) and writes into <build>/package:
#   Vellumgard-<version>-win64.zip         the stripped Vellumgard.exe and the
#                                          Windows users' README.txt
#   Vellumgard-<version>-win64.zip.sha256  "<hash>  <zip name>": tells a
#                                          damaged download, not who made it
#   Vellumgard-<version>-win64.debug       the debug information stripped from
#                                          the exe (for a debugger; not shipped)
# The zip is reproducible: the exe carries no link time, and the entries have
# a fixed order, time and attributes. Prints the SHA-256 it wrote.
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

cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
version=$(cache_value CMAKE_PROJECT_VERSION)
objcopy=$(cache_value CMAKE_OBJCOPY)
[ -n "$version" ] && [ -x "$objcopy" ] || { echo "no project version or objcopy in $build" >&2; exit 1; }

# objcopy writes the current time into a PE header it rewrites, unless told a
# time: 0, as the linker's --no-insert-timestamp leaves it.
export SOURCE_DATE_EPOCH=0
name="Vellumgard-$version-win64"
out="$build/package"
rm -rf "$out"
mkdir -p "$out/stage"
"$objcopy" --only-keep-debug "$build/Vellumgard.exe" "$out/$name.debug"
"$objcopy" --strip-all "$build/Vellumgard.exe" "$out/stage/Vellumgard.exe"
cp "$build/packaging/README.txt" "$out/stage/README.txt"

python3 - "$out/$name.zip" "$out/stage" <<'PY'
import os, sys, zipfile
zip_path, stage = sys.argv[1:]
with zipfile.ZipFile(zip_path, "w") as z:
    for entry in ("Vellumgard.exe", "README.txt"):  # fixed order
        info = zipfile.ZipInfo(entry, date_time=(2000, 1, 1, 0, 0, 0))
        info.create_system = 0  # MS-DOS: no Unix owner or mode in the entry
        info.external_attr = 0x20  # FILE_ATTRIBUTE_ARCHIVE
        info.compress_type = zipfile.ZIP_DEFLATED
        with open(os.path.join(stage, entry), "rb") as f:
            z.writestr(info, f.read(), compresslevel=9)
PY
rm -rf "$out/stage"
(cd "$out" && sha256sum "$name.zip" >"$name.zip.sha256")
echo "package:  $out/$name.zip"
echo "checksum: $out/$name.zip.sha256"
echo "debug:    $out/$name.debug"
echo "SHA-256:  $(cut -d' ' -f1 "$out/$name.zip.sha256")"
