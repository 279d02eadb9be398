#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a Windows program of the cross build under Wine with a display: an X server of its own
# (Xvfb) with Wine's virtual desktop in it, so Wine draws each window whole, frame and caption
# included, without a window manager. The window's tests and its picture run this way, in a
# prefix of their own ($MORVANE_GUI_WINEPREFIX, or build-windows/wineprefix-gui) so that the
# display-less runs of the other tests never share a desktop with them. Runs one at a time per
# prefix: the desktop belongs to the first program's display. With --prefix-only it only makes
# the prefix, waiting for any program running in it to end. MORVANE_WINE_DPI=144 (or 120, 192)
# runs the program on a screen of that scale.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
. "$here/tools/lib/wine.sh"
morvane_wine_env "${MORVANE_GUI_WINEPREFIX:-$here/build-windows/wineprefix-gui}"
for need in xvfb-run:xvfb /usr/share/wine/fonts/tahoma.ttf:fonts-wine; do
  if ! command -v "${need%%:*}" >/dev/null && [ ! -e "${need%%:*}" ]; then
    echo "wine-gui: ${need%%:*} is missing: install Debian's ${need##*:} (tools/deps.sh windows)" >&2
    exit 1
  fi
done

exec 9>"$WINEPREFIX.gui-lock"
flock 9
ready="$WINEPREFIX/.made-for-morvane-window"
if [ ! -f "$ready" ]; then
  morvane_wine_boot
  wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
  # Windows draws the dialog in Microsoft Sans Serif, which Wine does not have; left alone, Wine
  # takes a wider face of the system's. Wine's own Tahoma (Debian's fonts-wine) stands in: at 8
  # points it gives the dialog units Windows gives, so the window has Windows' size in pixels.
  cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' \
    /v 'Microsoft Sans Serif' /d 'Tahoma' /f >/dev/null 2>&1
  touch "$ready"
fi
# The screen's scale in dots per inch, $MORVANE_WINE_DPI (96, Windows' 100 %, unless set), and a
# screen that grows with it. Every run sets it, so a run at another scale leaves nothing behind.
dpi="${MORVANE_WINE_DPI:-96}"
screen="$((800 * dpi / 96))x$((600 * dpi / 96))"
if [ "$(cat "$WINEPREFIX/.dpi" 2>/dev/null)" != "$dpi" ]; then
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d "$screen" /f >/dev/null 2>&1
  echo "$dpi" >"$WINEPREFIX/.dpi"
fi
if [ "${1:-}" = "--prefix-only" ]; then
  wineserver --wait
  exit 0
fi
# A Wine left from a run without a display must be gone before this one starts on its display,
# and everything of this run ends before its display does.
wineserver --wait
exec xvfb-run -a -s "-screen 0 ${screen}x24" bash -c 'wine "$@"; status=$?; wineserver --wait; exit $status' wine-gui "$@"
