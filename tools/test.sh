#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds Morvane and runs its tests. On a fresh Debian 12 machine it first installs what it needs.
#   tools/test.sh              the normal build (build/), every test, the real-time ones included
#   tools/test.sh asan         AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/), every
#                              test but the real-time loads against the simulator
#   tools/test.sh tsan         ThreadSanitizer on everything but the window and those loads, save
#                              one whole load (build-tsan/)
#   tools/test.sh clang        clang with its thread-safety analysis; the unit tests (build-clang/)
#   tools/test.sh windows      the Windows programs, cross-built (build-windows/) and run under
#                              Wine in a prefix of their own (build-windows/wineprefix)
#   tools/test.sh vm           the kernel's own serial drivers: the normal build's morvane-cli in
#                              a small virtual machine under QEMU, against the simulator on the
#                              host (tests/vm/, docs/TESTING.md); outside CI skipped, with what to
#                              install, where QEMU or the kernel is missing
set -euo pipefail
cd "$(dirname "$0")/.."

# The lines above, without their '#', are the usage.
usage() { sed -n '3,/^set /{/^#/s/^# \{0,1\}//p}' tools/test.sh; }
preset="${1:-default}"
case "$preset" in
  -h | --help) usage; exit 0 ;;
  default | asan | tsan | clang | windows | vm) ;;
  *) echo "tools/test.sh: no such run: $preset" >&2; usage >&2; exit 2 ;;
esac
if [ "$preset" = "windows" ]; then
  bash tools/deps.sh windows
  jobs=$(nproc)
  # The Windows programs are tested against the Linux simulated receiver; only it is built here.
  cmake -S . -B build-windows-host -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVANE_GUI=OFF \
    -DMORVANE_TESTS=OFF -DMORVANE_BENCH=OFF >/dev/null
  cmake --build build-windows-host -j "$jobs" --target morvane-sim
  cmake --preset windows >/dev/null
  cmake --build --preset windows -j "$jobs"
  # Both prefixes are made once, before the tests start side by side.
  tools/wine-run.sh --prefix-only
  tools/wine-gui.sh --prefix-only
  ctest --preset windows -j "$jobs"
  exit
fi
if [ "$preset" = "vm" ]; then
  if [ "${CI:-}" != "true" ]; then
    missing=$(python3 tests/vm/machine.py --missing)
    if [ -n "$missing" ]; then
      echo "Skipping the vm tests: $missing missing. Install with: tools/deps.sh vm"
      exit 0
    fi
  fi
  bash tools/deps.sh vm
  cmake --preset default >/dev/null
  cmake --build --preset default -j "$(nproc)" --target morvane-cli morvane-sim
  # One guest per case; they wait on the line nearly all the time, so all run at once.
  ctest --preset vm -j 7
  exit
fi
case $preset in
  clang) bash tools/deps.sh fuzz ;;
  *) bash tools/deps.sh ;;
esac

jobs=$(nproc)
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$jobs"
# The real-time tests mostly wait on the line, so run more of them than there are cores; the
# whole loads of the normal suite (a load uses a few thousandths of a core) wait nearly all the
# time, and start first.
parallel=$((jobs * 2))
[ "$preset" = default ] && parallel=$((jobs * 4))
ctest --preset "$preset" -j "$parallel"
