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
python3 tools/lib/png_writer.py "$work/window.bmp" "$output"
echo "$output"
