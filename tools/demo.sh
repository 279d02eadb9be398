#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The README's main command: installs what is missing, builds, and updates a simulated Tundro W6
# end to end. morvane-sim plays the receiver on a pseudo-terminal, linked as COM5 in a temporary
# devices folder; morvane-cli loads it exactly as it would load a real receiver; then the
# simulator's verdict on what arrived is printed. Exit status: morvane-cli's (0 = image sent).
#
# With a receiver attached, name its port and the same build loads the real receiver instead:
#   tools/demo.sh --com 33            (or --port /dev/ttyUSB0; any morvane-cli option)
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target morvane-cli morvane-sim

cli=build/cli/morvane-cli
if [ $# -gt 0 ]; then
  exec "$cli" "$@"
fi
sim=build/sim/morvane-sim
image=res/tundro_w6_1.22.hex

work=$(mktemp -d "${TMPDIR:-/tmp}/morvane-demo.XXXXXX")
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/devices"
export MORVANE_DEVICES="$work/devices"

# In a session of its own, so a Ctrl-C meant for morvane-cli does not end the receiver too.
setsid "$sim" --com 5 --rate 115200 --report "$work/report.json" --exit-after-transfer \
  >"$work/sim.out" 2>"$work/sim.log" &
sim_pid=$!
for _ in $(seq 1 100); do
  [ -e "$MORVANE_DEVICES/com5" ] && break
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    echo "demo: the simulated receiver did not start:" >&2
    cat "$work/sim.log" >&2
    exit 1
  fi
  sleep 0.1
done
echo "Simulated Tundro W6 on COM5 ($MORVANE_DEVICES/com5 -> $(head -n 1 "$work/sim.out")), listening at 115200 baud."
echo "Running: morvane-cli --com 5"
echo

status=0
"$cli" --com 5 || status=$?

# After a complete transfer the simulator ends by itself; otherwise it is told to, and writes
# its report on the way out.
for _ in $(seq 1 100); do
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$sim_pid" 2>/dev/null; then kill -TERM "$sim_pid" 2>/dev/null || true; fi
wait "$sim_pid" 2>/dev/null || true
sim_pid=""

field() {  # the value of a field of the report's "transfer" object
  sed -n 's/.*"transfer":{[^}]*"'"$1"'":\("[^"]*"\|[^,}]*\).*/\1/p' "$work/report.json" | tr -d '"'
}
echo
echo "The simulator's verdict:"
if [ ! -s "$work/report.json" ]; then
  echo "  no report (see its log below)"
  sed 's/^/  /' "$work/sim.log"
  exit "$status"
fi
expected_sha=$(sha256sum "$image" | cut -d ' ' -f 1)
received=$(field bytes_received)
sha=$(field sha256)
echo "  bytes received: ${received:-0} of $(stat -c %s "$image")"
echo "  SHA-256:        ${sha:-none}"
echo "  expected:       $expected_sha ($image)"
if [ "$(field image_matches)" = "true" ] && [ "$sha" = "$expected_sha" ]; then
  echo "  the receiver holds the image byte for byte"
else
  echo "  the receiver does NOT hold the image"
fi
exit "$status"
