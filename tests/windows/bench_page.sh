#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# morvane-cli.exe --watch --serve under Wine, read from Linux: the page, then its events while the
# watch loads the simulated receiver on COM N of the prefix, until the receiver's firmware is named
# (about 25 s), and the board with its tile.
#   bench_page.sh SIM CLI N PORT
# Exit status: 0 when all three were served as they should be. The watch lists the ports Wine
# registered when its server started: this test has a prefix of its own, whose server it starts
# once the receiver's port is declared, so no other test's programs share it.
set -euo pipefail
here="$(cd "$(dirname "$0")/../.." && pwd)"
. "$here/tools/lib/sim.sh"
. "$here/tools/lib/wine.sh"
sim="$1" cli="$2" com="$3" port="$4"

morvane_wine_env "$here/build-windows/wineprefix-bench"
runner="$here/tools/wine-run.sh"
"$runner" --prefix-only
morvane_sim_scratch morvane-wine-bench
work=$morvane_sim_work
morvane_sim_start "$sim" "$WINEPREFIX/dosdevices" "$com" "$work" --rate 115200
# A port Wine is told of in its Ports key is registered as a serial port when its server starts.
wine reg add 'HKLM\Software\Wine\Ports' /v "COM$com" /t REG_SZ /d "$(readlink "$WINEPREFIX/dosdevices/com$com")" /f >/dev/null
wineserver -k || true
wineserver -w

"$runner" "$cli" --watch --com "$com" --serve "$port" --no-log >"$work/watch.out" 2>"$work/watch.err" &
watch=$!
# The watch goes with the script however it ends (its runner execs wine: this is the program).
trap 'kill "$watch" 2>/dev/null || true; wait "$watch" 2>/dev/null || true; morvane_sim_stop; rm -rf "$work"' EXIT
fail() {
  echo "FAILED: $*"
  cat "$work/watch.out" "$work/watch.err"
  exit 1
}
url="http://127.0.0.1:$port"

for _ in $(seq 1 120); do
  curl -sf "$url/" -o "$work/page.html" && break
  kill -0 "$watch" 2>/dev/null || fail "the watch ended"
  sleep 0.5
done
grep -q "<title>Morvane Bench</title>" "$work/page.html" || fail "/ is not the bench's page"
echo "/: the page, $(wc -c <"$work/page.html") bytes"

timeout 90 curl -sN "$url/events" >"$work/events" &
events=$!
for _ in $(seq 1 180); do
  grep -q "\"event\":\"status\",\"port\":\"COM$com\",\"t\":[0-9.]*,\"code\":6," "$work/events" && break
  sleep 0.5
done
kill "$events" 2>/dev/null || true
grep "^data: " "$work/events" | head -n 4 || true
# The events that came before the stream was opened are the board's, not the stream's.
grep -q "^data: {\"event\":\"status\",\"port\":\"COM$com\"" "$work/events" ||
  fail "/events: no status of COM$com"
grep -q "\"event\":\"firmware\",\"port\":\"COM$com\",\"t\":[0-9.]*,\"version\":\"1.21\"" \
  "$work/events" || fail "/events: the receiver's firmware was not named"

board=$(curl -sf "$url/bench.json") || fail "/bench.json not served"
echo "/bench.json: $board"
grep -q "\"port\":\"COM$com\"" <<<"$board" || fail "no tile for COM$com"
grep -q '"state":"waiting"' <<<"$board" || fail "COM$com is not shown waiting for its image"
echo "passed"
