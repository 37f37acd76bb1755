#!/usr/bin/env bash
# Runs the release packaging on a build folder and checks what it made: the
# zip named with the version holds exactly Vellumgard.exe (byte-identical to
# the built one) and README.txt (Windows line ends, version filled in), and
# the checksum file beside it verifies the zip.
# Usage: check_package.sh BUILD_DIR VERSION
set -euo pipefail
build=$(cd "${1:?build dir}" && pwd)
version=${2:?version}
root=$(cd "$(dirname "$0")/../.." && pwd)

"$root/scripts/package.sh" "$build"

zip="$build/package/Vellumgard-$version-win64.zip"
sum="$zip.sha256"
[ -f "$zip" ] || { echo "FAIL: no $zip" >&2; exit 1; }
[ -f "$sum" ] || { echo "FAIL: no $sum" >&2; exit 1; }

python3 - "$zip" "$build/Vellumgard.exe" "$version" <<'PY'
import sys, zipfile
zip_path, exe_path, version = sys.argv[1:]
z = zipfile.ZipFile(zip_path)
names = sorted(z.namelist())
assert names == ["README.txt", "Vellumgard.exe"], "entries: %r" % names
with open(exe_path, "rb") as f:
    assert z.read("Vellumgard.exe") == f.read(), "the zip's Vellumgard.exe differs from the built one"
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
tampered=$(mktemp -d)
trap 'rm -rf "$tampered"' EXIT
cp "$zip" "$sum" "$tampered/"
printf 'x' >>"$tampered/$(basename "$zip")"
if (cd "$tampered" && sha256sum --quiet -c "$(basename "$sum")" >/dev/null 2>&1); then
  echo "FAIL: the checksum verified a changed zip" >&2; exit 1
fi
echo "package OK: $zip"
