#!/usr/bin/env bash
# Renders the dialog of a job under a private Xvfb display into a PNG file,
# so that anyone can look at what a dialog will be without a server or a
# client. The dialog is shown by wish with the variables and procedures a
# client provides (recording stubs) and captured once it has settled.
#
#   scripts/screenshot-dialog.sh JOB [HOME] [OUT.png]
#
# HOME is a server home with a kestrun.conf (default examples/home); OUT
# defaults to <job>.png in the current directory. KES_BUILD names the build
# tree (default build); kes_dialog_preview is built there when missing.
set -euo pipefail

[ $# -ge 1 ] || { echo "usage: $0 JOB [HOME] [OUT.png]" >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)
job=$1
home=$(cd "${2:-$root/examples/home}" && pwd)
out=${3:-$(echo "$job" | tr '[:upper:]' '[:lower:]').png}
build=${KES_BUILD:-$root/build}
for tool in Xvfb wish python3; do
  command -v "$tool" >/dev/null || { echo "$0: $tool is missing (scripts/setup.sh)" >&2; exit 1; }
done
if [ ! -x "$build/bin/kes_dialog_preview" ]; then
  [ -d "$build" ] || cmake -S "$root" -B "$build" -G Ninja -DKES_BENCH=OFF -DKES_TESTS=OFF >/dev/null
  cmake --build "$build" --target kes_dialog_preview >/dev/null
fi

tmp=$(mktemp -d)
xvfb="" wish=""
cleanup() {
  [ -n "$wish" ] && kill "$wish" 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

# A copy of the home, so that the log the reader writes stays out of it.
cp -r "$home/." "$tmp/home"
KESTRUNHOME=$tmp/home "$build/bin/kes_dialog_preview" "$tmp/home/kestrun.conf" "$job" \
  "$tmp/dialog.tcl" >/dev/null

# A free display: the first number without a lock file whose server comes up.
for n in $(seq 150 199); do
  [ -e "/tmp/.X$n-lock" ] && continue
  Xvfb ":$n" -screen 0 1280x1024x24 -fbdir "$tmp" -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  for _ in $(seq 200); do
    [ -e "/tmp/.X11-unix/X$n" ] && break
    kill -0 "$xvfb" 2>/dev/null || break
    sleep 0.05
  done
  [ -e "/tmp/.X11-unix/X$n" ] && kill -0 "$xvfb" 2>/dev/null && break
  xvfb=""
done
[ -n "$xvfb" ] || { echo "$0: no Xvfb display came up" >&2; exit 1; }

cat >"$tmp/main.tcl" <<TCL
set hsize 8
set bsize 14
set btfamily Helvetica
set platform 0
set framecolour #1d3f66
foreach p {cbc ebc bbc apply dblclick cascade autorefresh} { proc \$p {args} {} }
wm geometry . +0+0
after 1500 {
  update
  set f [open $tmp/geometry w]
  puts \$f "[winfo rootx .] [winfo rooty .] [winfo width .] [winfo height .]"
  close \$f
}
source -encoding utf-8 $tmp/dialog.tcl
TCL
DISPLAY=":$n" wish "$tmp/main.tcl" >"$tmp/wish.out" 2>&1 &
wish=$!
for _ in $(seq 300); do
  [ -s "$tmp/geometry" ] && break
  kill -0 "$wish" 2>/dev/null || { cat "$tmp/wish.out" >&2; exit 1; }
  sleep 0.05
done
[ -s "$tmp/geometry" ] || { echo "$0: the dialog did not come up" >&2; exit 1; }

# The screen is an XWD file in -fbdir; crop the dialog out of it as PNG.
python3 - "$tmp/Xvfb_screen0" "$(cat "$tmp/geometry")" "$out" <<'PY'
import struct, sys, zlib
screen, geometry, out = sys.argv[1], sys.argv[2].split(), sys.argv[3]
x0, y0, w, h = (int(v) for v in geometry)
data = open(screen, "rb").read()
head = struct.unpack(">25I", data[:100])
header_size, width, height, byte_order = head[0], head[4], head[5], head[7]
bpp, line, ncolors = head[11], head[12], head[19]
if bpp != 32:
    sys.exit("unexpected screen depth %d" % bpp)
pixels = header_size + ncolors * 12
rows = []
for y in range(y0, min(y0 + h, height)):
    start = pixels + y * line + x0 * 4
    raw = data[start:start + min(w, width - x0) * 4]
    row = bytearray()
    for i in range(0, len(raw), 4):
        b, g, r = (raw[i], raw[i + 1], raw[i + 2]) if byte_order == 0 else (raw[i + 3], raw[i + 2], raw[i + 1])
        row += bytes((r, g, b))
    rows.append(b"\0" + bytes(row))
def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
png = b"\x89PNG\r\n\x1a\n"
png += chunk(b"IHDR", struct.pack(">IIBBBBB", (len(rows[0]) - 1) // 3, len(rows), 8, 2, 0, 0, 0))
png += chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b"")
open(out, "wb").write(png)
PY
echo "$out"
