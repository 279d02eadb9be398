#!/usr/bin/env bash
# Runs clang-tidy (.clang-tidy) over the product's sources; fails on any finding.
# Uses the clang preset's compile commands (configures build-clang/ when it is not there yet).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh fuzz clang-tidy
[ -f build-clang/compile_commands.json ] || cmake --preset clang >/dev/null
mapfile -t files < <(git ls-files '*.cpp' | grep -v -e '^tests/' -e '^bench/' -e '^fuzz/' -e '_win32' -e '/win32/')
printf '%s\n' "${files[@]}" | xargs -P "$(nproc)" -n 4 clang-tidy -p build-clang --quiet 2>/dev/null
echo "tidy: ${#files[@]} files clean"
