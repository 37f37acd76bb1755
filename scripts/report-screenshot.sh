#!/usr/bin/env bash
# Renders the sample day's report (the same page the golden test pins) and
# takes a PNG of it with headless Chromium: docs/report.png by default.
# Builds report_sample natively, checks the page with check-report-html.py,
# and installs Chromium if missing. Usage: report-screenshot.sh [OUT.png]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$root/docs/report.png}")
build="$root/build/report-native"

"$root/scripts/install-deps.sh" chromium

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target report_sample >/dev/null
page="$build/report_sample.html"
"$build/tests/report/report_sample" "$page"
python3 "$root/scripts/check-report-html.py" "$page"

# A throwaway profile and home, so nothing of the host's browser is touched.
profile=$(mktemp -d)
trap 'rm -rf "$profile"' EXIT
mkdir -p "$(dirname "$out")"
HOME="$profile" chromium --headless --no-sandbox --disable-gpu --disable-background-networking \
  --disable-component-update --no-first-run --user-data-dir="$profile/chromium" \
  --hide-scrollbars --screenshot="$out" --window-size=1100,1600 "file://$page" 2>/dev/null
echo "wrote $out"
