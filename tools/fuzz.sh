#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer) and
# runs each for a while, starting from its committed seed inputs in fuzz/corpus/<name>/.
#   tools/fuzz.sh            30 seconds per target
#   tools/fuzz.sh 600        ten minutes per target
#   tools/fuzz.sh 60 hex_image receive_path    only these targets
# What a run learns stays in build-fuzz/corpus/ (the committed seeds are not touched), so a
# later run goes on from there. A finding stops its target and leaves the input that caused it
# in build-fuzz/findings/; the script then exits non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-30}"
shift || true

bash tools/deps.sh fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target fuzz_targets
# Every target fuzz/CMakeLists.txt declares, unless some are named.
mapfile -t targets <build-fuzz/fuzz/targets.txt
[ $# -gt 0 ] && targets=("$@")

mkdir -p build-fuzz/corpus build-fuzz/findings build-fuzz/logs
status=0
summary=()
for name in "${targets[@]}"; do
    work="build-fuzz/corpus/$name"
    mkdir -p "$work"
    log="build-fuzz/logs/$name.log"
    echo "== $name: $seconds s"
    if ! "build-fuzz/fuzz/fuzz_$name" "$work" "fuzz/corpus/$name" \
        -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="build-fuzz/findings/$name-" >"$log" 2>&1; then
        status=1
        echo "   FINDING: see $log and build-fuzz/findings/"
        tail -n 30 "$log"
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)
    cov=$(sed -n 's/.* cov: \([0-9]*\) ft: \([0-9]*\) corp: \([0-9]*\).*/\1 edges, \2 features, \3 inputs/p' \
        <<<"$done_line")
    summary+=("$(printf '%-20s %12s runs  %s' "$name" "${runs:-?}" "${cov:-no coverage line}")")
done
echo
printf '%s\n' "${summary[@]}"
exit "$status"
