#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Redraws the README's picture of the Windows window, docs/window-windows.png: the dialog half-way
# through a scripted load, drawn by Wine on a virtual display. Needs the Windows build
# (cmake --preset windows); builds the picture program if it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --build --preset windows --target window_screenshot_win32 >/dev/null
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
tools/wine-gui.sh build-windows/tests/app/win32/window_screenshot_win32.exe "Z:$work/window.bmp" >/dev/null

# The program writes a 24-bit BMP; the README wants a PNG.
python3 tools/lib/png_writer.py "$work/window.bmp" docs/window-windows.png
