#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a Windows program under Wine while the simulated receiver (the Linux morvane-sim) sits on
# COM N of the Wine prefix: the simulator links $WINEPREFIX/dosdevices/comN to its
# pseudo-terminal, which is how Wine maps a COM port to a device.
#   with_sim.sh SIM N "SIM OPTIONS" [--verdict] -- PROGRAM [ARGUMENTS...]
# Exit status: the program's. With --verdict the simulator must also end by itself with status 0
# (it was given --exit-after-transfer: the image arrived byte for byte). The program runs through
# $MORVANE_WINE_RUNNER when that is set (tools/wine-gui.sh gives it a display), else without one.
set -euo pipefail
here="$(cd "$(dirname "$0")/../.." && pwd)"
. "$here/tools/lib/sim.sh"
. "$here/tools/lib/wine.sh"
sim="$1" com="$2" sim_options="$3"
shift 3
verdict=false
if [ "${1:-}" = "--verdict" ]; then
  verdict=true
  shift
fi
[ "${1:-}" = "--" ] && shift

morvane_wine_env "${WINEPREFIX:-$here/build-windows/wineprefix}"
runner="${MORVANE_WINE_RUNNER:-$here/tools/wine-run.sh}"
# The prefix is made by the runner that will use it, under its lock: two ways of making one
# prefix at once leave it broken.
"$runner" --prefix-only
morvane_sim_scratch morvane-wine-sim
work=$morvane_sim_work

# shellcheck disable=SC2086 # the options are words
morvane_sim_start "$sim" "$WINEPREFIX/dosdevices" "$com" "$work" $sim_options

status=0
"$runner" "$@" || status=$?

if $verdict; then
  sim_status=0
  morvane_sim_finish || sim_status=$?
  echo "--- the simulated receiver's log (exit status $sim_status):"
  cat "$work/sim.log"
  [ "$status" -eq 0 ] && [ "$sim_status" -ne 0 ] && status=1
fi
exit "$status"
