#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what building and testing Morvane needs on Debian 12, only where it is missing.
# Runs apt-get as root (through sudo when not root already).
#   tools/deps.sh               the build, the tests and the window
#   tools/deps.sh fuzz          also clang and its libFuzzer, for tools/fuzz.sh
#   tools/deps.sh PACKAGE...    also these Debian packages (packaging and its validators)
#   tools/deps.sh windows       instead, the Windows programs, cross-built with MinGW-w64 and
#                               tested under Wine against the Linux simulated receiver
#   tools/deps.sh vm            also QEMU, Debian's kernel, busybox and udev, for the tests in a
#                               small virtual machine (tests/vm/)
set -euo pipefail

packages=(
  g++ cmake make pkg-config ccache
  libgtest-dev libgmock-dev
  qt6-base-dev libxcb1-dev libcli11-dev nlohmann-json3-dev
  fonts-dejavu-core
  clang-format
  # the window's tests on a display, and the screen reader's view of it
  xvfb xauth dbus-daemon at-spi2-core python3-pyatspi
  libsystemd-dev python3-dbusmock
)
for extra in "$@"; do
  case $extra in
    fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;
    vm) packages+=(qemu-system-x86 linux-image-amd64 busybox-static udev cpio kmod python3) ;;
    windows)
      packages=(
        g++ cmake make pkg-config ccache libsystemd-dev libcli11-dev nlohmann-json3-dev
        g++-mingw-w64-x86-64-posix googletest
        wine wine64 xvfb xauth fonts-wine nsis
      ) ;;
    *) packages+=("$extra") ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
