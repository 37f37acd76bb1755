#!/usr/bin/env bash
# The test programs' emulator: runs a Windows program under Wine with its
# output going through files, then passes it on. A Wine process the program
# starts inherits its standard handles: when that is the desktop's
# explorer.exe (started by the first program that needs a window, whenever
# none runs) it outlives the program, and had it inherited ctest's pipe, ctest
# would wait for it until the test's timeout although the test had ended.
#
# Now and then under load Wine fails to start a program at all: it exits at
# once, having printed nothing of the program's (or only "wine client error:
# ... Connection reset by peer"). Such a start is tried once more; a program
# that ran and failed is never run again here.
out=$(mktemp "${TMPDIR:-/tmp}/vg-wine-out.XXXXXX") || exit 125
err=$(mktemp "${TMPDIR:-/tmp}/vg-wine-err.XXXXXX") || exit 125
trap 'rm -f "$out" "$err"' EXIT
for attempt in 1 2; do
  wine "$@" </dev/null >"$out" 2>"$err"
  rc=$?
  if [ "$rc" -eq 0 ] || [ -s "$out" ] || { [ -s "$err" ] && ! grep -q '^wine client error' "$err"; }; then
    break
  fi
done
cat "$out"
cat "$err" >&2
exit $rc
