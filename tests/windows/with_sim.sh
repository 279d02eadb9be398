#!/usr/bin/env bash
# Runs a Windows program under Wine while the simulated receiver (the Linux morvane-sim) sits on
# COM N of the Wine prefix: the simulator links $WINEPREFIX/dosdevices/comN to its
# pseudo-terminal, which is how Wine maps a COM port to a device.
#   with_sim.sh SIM N "SIM OPTIONS" [--verdict] -- PROGRAM [ARGUMENTS...]
# Exit status: the program's. With --verdict the simulator must also end by itself with status 0
# (it was given --exit-after-transfer: the image arrived byte for byte). The program runs through
# $MORVANE_WINE_RUNNER when that is set (tools/wine-gui.sh gives it a display), else without one.
set -euo pipefail
here="$(cd "$(dirname "$0")/../.." && pwd)"
sim="$1" com="$2" sim_options="$3"
shift 3
verdict=false
if [ "${1:-}" = "--verdict" ]; then
  verdict=true
  shift
fi
[ "${1:-}" = "--" ] && shift

if [ ! -x "$sim" ]; then
  echo "with_sim: no simulated receiver at $sim (tools/test.sh windows builds it)" >&2
  exit 1
fi
export WINEPREFIX="${WINEPREFIX:-$here/build-windows/wineprefix}"
runner="${MORVANE_WINE_RUNNER:-$here/tools/wine-run.sh}"
# The prefix is made by the runner that will use it, under its lock: two ways of making one
# prefix at once leave it broken.
"$runner" --prefix-only
work=$(mktemp -d "${TMPDIR:-/tmp}/morvane-wine-sim.XXXXXX")
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# shellcheck disable=SC2086 # the options are words
MORVANE_DEVICES="$WINEPREFIX/dosdevices" "$sim" --com "$com" $sim_options \
  >"$work/sim.out" 2>"$work/sim.log" &
sim_pid=$!
for _ in $(seq 1 100); do
  [ -e "$WINEPREFIX/dosdevices/com$com" ] && break
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    echo "with_sim: the simulated receiver did not start:" >&2
    cat "$work/sim.log" >&2
    exit 1
  fi
  sleep 0.1
done

status=0
"$runner" "$@" || status=$?

if $verdict; then
  sim_status=0
  for _ in $(seq 1 100); do
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null || true
  fi
  wait "$sim_pid" || sim_status=$?
  sim_pid=""
  echo "--- the simulated receiver's log (exit status $sim_status):"
  cat "$work/sim.log"
  [ "$status" -eq 0 ] && [ "$sim_status" -ne 0 ] && status=1
fi
exit "$status"
