#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The README's main command: installs what is missing, builds, and updates a simulated Tundro W6
# end to end. morvane-sim plays the receiver on a pseudo-terminal, linked as COM5 in a temporary
# devices folder; morvane-cli loads it exactly as it would load a real receiver; then the
# simulator's verdict on what arrived is printed. Exit status: morvane-cli's (0 = image sent).
#
# Each step shows as one line; what the package manager and the build say goes to build/demo.log,
# whose last lines are shown when a step fails.
#
# With a receiver attached, name its port and the same build loads the real receiver instead:
#   tools/demo.sh --com 33            (or --port /dev/ttyUSB0; any morvane-cli option)
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib/sim.sh

mkdir -p build
log="$PWD/build/demo.log"
: >"$log"
echo "Full log: $log"

# step "WHAT" COMMAND...: one line for the step; its output goes to the log.
step() {
  local what=$1 start=$SECONDS
  shift
  printf '%-44s' "$what..."
  if "$@" >>"$log" 2>&1; then
    echo " done ($((SECONDS - start)) s)"
    return
  fi
  echo " FAILED"
  echo "The last lines of $log:"
  tail -n 25 "$log" | sed 's/^/  /'
  exit 1
}

step "Installing the packages the build needs" bash tools/deps.sh
step "Configuring" cmake --preset default
step "Building morvane-cli and morvane-sim" \
  cmake --build --preset default -j "$(nproc)" --target morvane-cli morvane-sim

cli=build/cli/morvane-cli
if [ $# -gt 0 ]; then
  exec "$cli" "$@"
fi
image=res/tundro_w6_1.22.hex

morvane_sim_scratch morvane-demo
work=$morvane_sim_work
mkdir "$work/devices"
export MORVANE_DEVICES="$work/devices"

step "Starting the simulated receiver on COM5" \
  morvane_sim_start build/sim/morvane-sim "$MORVANE_DEVICES" 5 "$work" \
  --rate 115200 --report "$work/report.json" --exit-after-transfer
echo "  $MORVANE_DEVICES/com5 -> $(head -n 1 "$work/sim.out"), listening at 115200 baud"
echo "Loading: morvane-cli --com 5 (about three minutes)"
echo

status=0
"$cli" --com 5 || status=$?
morvane_sim_finish || true

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
