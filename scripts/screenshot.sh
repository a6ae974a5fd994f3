#!/usr/bin/env bash
# Takes docs/progress-window.png: the progress window of a slow first start, as wine's X11
# driver draws it on a virtual display (Xvfb). It runs in a wine prefix of its own, so the
# tests' prefix keeps its null display driver; its wineserver and display end with it.
#   bash scripts/screenshot.sh [OUTPUT.png]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

output="${1:-$tavrin_root/docs/progress-window.png}"
shot_dir="$TAVRIN_BUILD_DIR/screenshot"
display_number="${TAVRIN_SCREENSHOT_DISPLAY:-97}"
# Enough incompressible data that the unpacking outlasts the window's delay by seconds.
file_count=800
file_kib=128
wait_limit_s=120

cmake --build "$tavrin_win_dir" -j "${TAVRIN_JOBS:-2}" --target tavrin-launcher e2e_app -- --no-print-directory >/dev/null
cmake --build "$tavrin_host_dir" -j "${TAVRIN_JOBS:-2}" --target tavrin-pack -- --no-print-directory >/dev/null

rm -rf "$shot_dir/app"
mkdir -p "$shot_dir/app" "$(dirname "$output")"
cp "$tavrin_win_dir/bin/e2e_app.dll" "$shot_dir/app/app.dll"
for ((i = 0; i < file_count; i++)); do
  head -c "$((file_kib * 1024))" /dev/urandom >"$shot_dir/app/data-$i.bin"
done
"$tavrin_host_dir/bin/tavrin-pack" exe --launcher "$tavrin_win_dir/bin/tavrin-launcher.exe" --main app.dll \
  --level 1 --execution-level asInvoker --progress-window -o "$shot_dir/Zandoria.exe" "$shot_dir/app" 2>/dev/null

export WINEPREFIX="$shot_dir/wine-prefix"
export DISPLAY=":$display_number"
Xvfb "$DISPLAY" -screen 0 720x400x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
finish() {
  wineserver -k >/dev/null 2>&1 || true
  kill "$xvfb_pid" 2>/dev/null || true
}
trap finish EXIT
sleep 1
if [ ! -f "$WINEPREFIX/system.reg" ]; then wineboot -i >/dev/null 2>&1 || true; fi

# The prefix's own TEMP: the start removes its tree at the end.
wine "$shot_dir/Zandoria.exe" </dev/null >/dev/null 2>&1 &
app_pid=$!
geometry=""
for ((i = 0; i < wait_limit_s * 10; i++)); do
  # X names a window by its title, the product name; the session-end window is never mapped.
  geometry="$(xwininfo -root -tree 2>/dev/null | grep '"Zandoria"' |
    grep -o '[0-9]\{3,\}x[0-9]*+-\?[0-9]*+-\?[0-9]*' | tail -1 || true)"
  [ -n "$geometry" ] && break
  sleep 0.1
done
[ -n "$geometry" ] || { echo "screenshot: the progress window never showed" >&2; exit 1; }
# Some progress on the bar first.
sleep 0.6
xwd -root -silent >"$shot_dir/screen.xwd"
wait "$app_pid" || true

# The window's part of the capture, as PNG (XWD ZPixmap of 24 or 32 bits per pixel, least
# significant byte first: blue, green, red[, unused]).
/usr/bin/python3 - "$shot_dir/screen.xwd" "$geometry" "$output" <<'PYTHON'
import re, struct, sys, zlib
source, geometry, target = sys.argv[1:4]
width, height, left, top = map(int, re.match(r"(\d+)x(\d+)\+(-?\d+)\+(-?\d+)", geometry).groups())
data = open(source, "rb").read()
fields = struct.unpack(">25I", data[:100])
header_size, bits_per_pixel, bytes_per_line, colors = fields[0], fields[11], fields[12], fields[19]
screen_width, screen_height = fields[4], fields[5]
if bits_per_pixel not in (24, 32) or fields[7] != 0:
    sys.exit(f"screenshot: unexpected capture format ({bits_per_pixel} bits, byte order {fields[7]})")
pixels = data[header_size + 12 * colors:]
step = bits_per_pixel // 8
left, top = max(left, 0), max(top, 0)
width, height = min(width, screen_width - left), min(height, screen_height - top)
rows = b""
for y in range(top, top + height):
    line = pixels[y * bytes_per_line + step * left: y * bytes_per_line + step * (left + width)]
    rows += b"\0" + bytes(b for i in range(0, len(line), step) for b in (line[i + 2], line[i + 1], line[i]))
def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
png += chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b"")
open(target, "wb").write(png)
print(f"screenshot: {target} ({width}x{height})")
PYTHON
