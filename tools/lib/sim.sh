# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# The simulated receiver for the scripts: started on COM N of a devices folder, ended again.
# Sourced:
#   . tools/lib/sim.sh
#   morvane_sim_scratch NAME     a scratch folder, $morvane_sim_work, for the logs and the report
#   morvane_sim_start SIM DEVICES N LOGS [SIM OPTIONS...]
#   morvane_sim_finish           after the load: its exit status
#   morvane_sim_stop             in a clean-up: ends it if it still runs
#
# The simulator links DEVICES/comN to its pseudo-terminal: a MORVANE_DEVICES folder for
# morvane-cli, $WINEPREFIX/dosdevices for a Windows program under Wine. It runs in a session of
# its own, so a Ctrl-C meant for the program under test does not end the receiver too. Its
# output goes to LOGS/sim.out (the first line names its pseudo-terminal), its log to
# LOGS/sim.log.

morvane_sim_pid=""
morvane_sim_work=""

# The folder goes, and the simulator ends, when the script exits.
morvane_sim_scratch() {
  morvane_sim_work=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
  # shellcheck disable=SC2317 # run by the trap
  trap 'morvane_sim_stop; rm -rf "$morvane_sim_work"' EXIT
}

morvane_sim_start() {
  local sim=$1 devices=$2 com=$3 logs=$4
  shift 4
  if [ ! -x "$sim" ]; then
    echo "no simulated receiver at $sim" >&2
    return 1
  fi
  MORVANE_DEVICES="$devices" setsid "$sim" --com "$com" "$@" >"$logs/sim.out" 2>"$logs/sim.log" &
  morvane_sim_pid=$!
  local _
  for _ in $(seq 1 100); do
    [ -e "$devices/com$com" ] && return 0
    kill -0 "$morvane_sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  morvane_sim_stop
  echo "the simulated receiver did not start on COM$com:" >&2
  cat "$logs/sim.log" >&2
  return 1
}

# A receiver given --exit-after-transfer ends by itself once the image is in, with status 0 when
# it arrived byte for byte; one that is still running after 10 s is told to end, and writes its
# report on the way out.
morvane_sim_finish() {
  [ -n "$morvane_sim_pid" ] || return 1
  local _ status=0
  for _ in $(seq 1 100); do
    kill -0 "$morvane_sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -TERM "$morvane_sim_pid" 2>/dev/null || true
  wait "$morvane_sim_pid" || status=$?
  morvane_sim_pid=""
  return "$status"
}

morvane_sim_stop() {
  [ -n "$morvane_sim_pid" ] || return 0
  kill -TERM "$morvane_sim_pid" 2>/dev/null || true
  wait "$morvane_sim_pid" 2>/dev/null || true
  morvane_sim_pid=""
}
