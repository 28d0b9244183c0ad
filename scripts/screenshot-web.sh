#!/usr/bin/env bash
# Renders a page of the web console in headless Chromium into a PNG file:
# a server is started on a copy of the example home (with a throwaway PAM
# configuration that lets "alice" in) and the page is shown as she sees it.
#
#   scripts/screenshot-web.sh PAGE [OUT.png]
#
# PAGE is jobs, dialog (the ARCHIVE dialog), run (a COUNTDOWN run) or
# history. OUT defaults to web-PAGE.png in the current directory. KES_BUILD
# names the build tree (default build); KES_WIDTH the window's width in
# pixels (default 1440).
set -euo pipefail

[ $# -ge 1 ] || { echo "usage: $0 jobs|dialog|run|history [OUT.png]" >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)
page=$1
out=${2:-web-$page.png}
build=${KES_BUILD:-$root/build}
for tool in /usr/bin/chromium /usr/bin/chromedriver; do
  [ -x "$tool" ] || { echo "$0: $tool is missing (scripts/setup.sh)" >&2; exit 1; }
done
[ -d "$build" ] || cmake -S "$root" -B "$build" -G Ninja -DKES_BENCH=OFF -DKES_TESTS=OFF >/dev/null
cmake --build "$build" --target KestrunServer kestrunTTY kesclient kesgp_file kes_web_ui >/dev/null
exec /usr/bin/python3 "$root/tests/browser/screenshot.py" "$build" "$page" "$out" "${KES_WIDTH:-1440}"
