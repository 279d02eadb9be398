#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Redraws the README's picture of the Windows window, docs/window-windows.png: the dialog half-way
# through a scripted load, drawn by Wine on a virtual display. With a scale in dots per inch
# (120, 144, 192) the screen has that scale and the picture is docs/window-windows-DPIdpi.png.
# Needs the Windows build (cmake --preset windows); builds the picture program if it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
dpi="${1:-96}"
output=docs/window-windows.png
[ "$dpi" = 96 ] || output="docs/window-windows-${dpi}dpi.png"

cmake --build --preset windows --target window_screenshot_win32 >/dev/null
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
MORVANE_WINE_DPI="$dpi" tools/wine-gui.sh build-windows/tests/app/win32/window_screenshot_win32.exe "Z:$work/window.bmp" >/dev/null

# The program writes a 24-bit BMP; the README wants a PNG.
python3 - "$work/window.bmp" "$output" <<'PY'
import struct, sys, zlib
bmp = open(sys.argv[1], "rb").read()
offset = struct.unpack_from("<I", bmp, 10)[0]
width, height, _, bits = struct.unpack_from("<iiHH", bmp, 18)
assert bits == 24 and height > 0, "expected a bottom-up 24-bit BMP"
stride = (width * 3 + 3) & ~3
rows = bytearray()
for y in range(height):
    start = offset + (height - 1 - y) * stride
    line = bmp[start:start + width * 3]
    rows.append(0)
    for x in range(width):
        b, g, r = line[3 * x:3 * x + 3]
        rows += bytes((r, g, b))
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) + \
    chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b"")
open(sys.argv[2], "wb").write(png)
print(sys.argv[2])
PY
