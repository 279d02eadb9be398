#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package morvane_<version>_amd64.deb from this source tree, in build-package/,
# with Debian's compiler and linker flags (hardening included). Installs what it needs on a
# Debian 12 machine first. Prints the path of the package as its last line.
#   tools/package.sh
#   sudo apt install ./build-package/morvane_*_amd64.deb
set -euo pipefail
cd "$(dirname "$0")/.."

needed=(dpkg-dev file binutils)
bash tools/deps.sh "${needed[@]}"

build=build-package
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CFLAGS=$(dpkg-buildflags --get CFLAGS)
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
export CFLAGS CXXFLAGS LDFLAGS

rm -rf "$build"
# Build type None: the flags are Debian's alone. The package needs no tests or benchmarks.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=None -DMORVANE_TESTS=OFF -DMORVANE_BENCH=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr ${CMAKE_CXX_COMPILER_LAUNCHER:+-DCMAKE_CXX_COMPILER_LAUNCHER=$CMAKE_CXX_COMPILER_LAUNCHER} >/dev/null
cmake --build "$build" -j "$(nproc)"
if [ ! -x "$build/app/morvane" ]; then
    echo "package.sh: the window (morvane) was not built; is qt6-base-dev installed?" >&2
    exit 1
fi
(cd "$build" && cpack -G DEB >/dev/null)
ls "$PWD/$build"/morvane_*_amd64.deb
