#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a Windows program of the cross build under Wine: quietly, without a display, in the
# throw-away prefix the test run uses ($WINEPREFIX, or build-windows/wineprefix). The first run
# makes the prefix; later runs, also parallel ones, find it ready. With --prefix-only it only
# makes the prefix.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
. "$here/tools/lib/wine.sh"
morvane_wine_env "${WINEPREFIX:-$here/build-windows/wineprefix}"

ready="$WINEPREFIX/.made-for-morvane"
if [ ! -f "$ready" ]; then
  (
    flock 9
    if [ ! -f "$ready" ]; then
      morvane_wine_boot
      wineserver --wait
      touch "$ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi
[ "${1:-}" = "--prefix-only" ] && exit 0
# The server is started here, away from the program's output: when it ends it may list what it
# still held, which is no part of any program's output. A server already running stays (status 2).
# Wine's own background programs (services, device manager) start with a server's first program
# and keep that program's output open until the server ends: started here, without output, they
# hold none of a test's, and the test ends when its program does, not ten seconds later.
if wineserver --persistent=10 </dev/null >/dev/null 2>&1; then
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
fi
exec wine "$@"
