#!/usr/bin/env bash
# Runs the release packaging on a build folder and checks what it made: the
# zip named with the version holds exactly Vellumgard.exe (the built one,
# stripped, with no debug information left) and README.txt (Windows line
# ends, version filled in); the debug information is in a file beside the
# zip; the checksum file verifies the zip and the script printed its hash;
# and a fresh link of the same sources packages to the same bytes.
# Usage: check_package.sh BUILD_DIR VERSION
set -euo pipefail
build=$(cd "${1:?build dir}" && pwd)
version=${2:?version}
root=$(cd "$(dirname "$0")/../.." && pwd)

printed=$("$root/scripts/package.sh" "$build")
objcopy=$(sed -n "s/^CMAKE_OBJCOPY:[A-Z]*=//p" "$build/CMakeCache.txt")
objdump=${objcopy%objcopy}objdump
export SOURCE_DATE_EPOCH=0  # as package.sh strips: no time in the PE header
stripped=$(mktemp -d)
trap 'rm -rf "$stripped"' EXIT
"$objcopy" --strip-all "$build/Vellumgard.exe" "$stripped/Vellumgard.exe"
# The linker wrote no time stamp (objcopy's would hide one in the zip).
headers=$("$objdump" -p "$build/Vellumgard.exe")
grep -q 'Time/Date[[:space:]]*Thu Jan  1 00:00:00 1970' <<<"$headers" ||
  { echo "FAIL: Vellumgard.exe carries a link time" >&2; exit 1; }
debug="$build/package/Vellumgard-$version-win64.debug"
[ -f "$debug" ] || { echo "FAIL: no $debug" >&2; exit 1; }
grep -q '\.debug_info' <<<"$("$objdump" -h "$debug")" || { echo "FAIL: $debug holds no debug information" >&2; exit 1; }

zip="$build/package/Vellumgard-$version-win64.zip"
sum="$zip.sha256"
[ -f "$zip" ] || { echo "FAIL: no $zip" >&2; exit 1; }
[ -f "$sum" ] || { echo "FAIL: no $sum" >&2; exit 1; }

python3 - "$zip" "$stripped/Vellumgard.exe" "$version" <<'PY'
import sys, zipfile
zip_path, exe_path, version = sys.argv[1:]
z = zipfile.ZipFile(zip_path)
names = z.namelist()
assert names == ["Vellumgard.exe", "README.txt"], "entries: %r" % names
with open(exe_path, "rb") as f:
    exe = z.read("Vellumgard.exe")
    assert exe == f.read(), "the zip's Vellumgard.exe differs from the stripped built one"
assert b".debug_" not in exe, "the zip's Vellumgard.exe holds debug sections"
for info in z.infolist():
    assert info.date_time == (2000, 1, 1, 0, 0, 0), "%s: time %r" % (info.filename, info.date_time)
readme = z.read("README.txt").decode("ascii")
assert readme.startswith("Vellumgard %s\r\n" % version), readme[:40]
assert "\n" not in readme.replace("\r\n", ""), "README.txt has a bare LF"
assert "@" not in readme, "README.txt holds an unfilled placeholder"
for part in ("--install", "--uninstall", "--purge", "Run report", "%LOCALAPPDATA%\\Vellumgard",
             "mark of the", "Vellumgard-%s-win64.zip.sha256" % version):
    assert part in readme, "README.txt lacks %r" % part
PY

# The checksum file names the zip and verifies it; a changed zip fails it.
grep -Eq "^[0-9a-f]{64}  Vellumgard-$version-win64\.zip$" "$sum" || { echo "FAIL: $(cat "$sum")" >&2; exit 1; }
(cd "$build/package" && sha256sum --quiet -c "$(basename "$sum")")
hash=$(cut -d' ' -f1 "$sum")
grep -qx "SHA-256:  $hash" <<<"$printed" || { echo "FAIL: the script did not print $hash: $printed" >&2; exit 1; }
tampered="$stripped/tampered"
mkdir "$tampered"
cp "$zip" "$sum" "$tampered/"
printf 'x' >>"$tampered/$(basename "$zip")"
if (cd "$tampered" && sha256sum --quiet -c "$(basename "$sum")" >/dev/null 2>&1); then
  echo "FAIL: the checksum verified a changed zip" >&2; exit 1
fi

# Reproducible: the same objects linked again, a second later, strip to the
# zip's exe (the build's own exe is left alone: other tests run it).
sleep 1
linktxt="$build/src/tray/CMakeFiles/Vellumgard.dir/link.txt"
[ -f "$linktxt" ] || { echo "FAIL: no $linktxt to link again with" >&2; exit 1; }
link=$(grep -- ' -o \.\./\.\./Vellumgard\.exe ' "$linktxt")
link=${link// -o ..\/..\/Vellumgard.exe / -o $stripped/relinked.exe }
link=${link//--out-implib,libVellumgard.dll.a/--out-implib,$stripped/relinked.dll.a}
(cd "$build/src/tray" && eval "$link")
"$objcopy" --strip-all "$stripped/relinked.exe" "$stripped/relinked-stripped.exe"
cmp -s "$stripped/relinked-stripped.exe" "$stripped/Vellumgard.exe" ||
  { echo "FAIL: the exe linked again differs from the packaged one" >&2; exit 1; }
echo "package OK: $zip"
