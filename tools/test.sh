#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds Morvane and runs its tests. On a fresh Debian 12 machine it first installs what it needs.
#   tools/test.sh              the normal build (build/), every test, the real-time ones included
#   tools/test.sh asan         AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/)
#   tools/test.sh tsan         ThreadSanitizer on everything but the window (build-tsan/)
#   tools/test.sh clang        clang with its thread-safety analysis; the unit tests (build-clang/)
set -euo pipefail
cd "$(dirname "$0")/.."

preset="${1:-default}"
case $preset in
  clang) bash tools/deps.sh fuzz ;;
  *) bash tools/deps.sh ;;
esac

jobs=$(nproc)
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$jobs"
# The real-time tests mostly wait on the line, so run more of them than there are cores.
ctest --preset "$preset" -j "$((jobs * 2))"
