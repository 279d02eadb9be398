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

windows=false
packages=(
  g++ cmake make pkg-config ccache
  libgtest-dev libgmock-dev
  qt6-base-dev libxcb1-dev libcli11-dev nlohmann-json3-dev
  fonts-dejavu-core
  clang-format
  # the window's tests on a display, and the screen reader's view of it
  xvfb xauth dbus-daemon at-spi2-core python3-pyatspi
  libsystemd-dev python3-dbusmock
  # the bench's page: its HTTP server, and the browser that tests it
  libcpp-httplib-dev chromium chromium-driver python3-selenium
  # two pseudo-terminals joined as crossed adapters, for the simulator on a serial device
  socat
)
for extra in "$@"; do
  case $extra in
    fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;
    vm) packages+=(qemu-system-x86 linux-image-amd64 busybox-static udev cpio kmod python3) ;;
    windows)
      packages=(
        g++ cmake make pkg-config ccache libsystemd-dev libcli11-dev nlohmann-json3-dev
        g++-mingw-w64-x86-64-posix googletest dpkg-dev
        wine wine64 xvfb xauth fonts-wine nsis
      )
      windows=true ;;
    *) packages+=("$extra") ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The Windows programs build cpp-httplib from its single header, which Debian ships only in its
# source package (its binary package is a Linux library): the source of the release Debian 12
# has, Debian's patches applied, unpacked into /usr/local/src/cpp-httplib. apt reads the source
# list from a folder of its own, so the system's sources stay as they are.
httplib_src=/usr/local/src/cpp-httplib
if $windows && [ ! -f "$httplib_src/httplib.h" ]; then
  echo "Fetching Debian's source of cpp-httplib into $httplib_src"
  apt_dir=$(mktemp -d)
  chmod 755 "$apt_dir"  # apt fetches as its own user
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
  for suite in "debian bookworm" "debian-security bookworm-security"; do
    set -- $suite
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/$1 $2 main"
  done >"$apt_dir/sources.list"
  apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
            -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache")
  apt-get -qq "${apt_opts[@]}" update
  (cd "$apt_dir" && apt-get -qq "${apt_opts[@]}" source --download-only cpp-httplib &&
     dpkg-source -x cpp-httplib_*.dsc src >/dev/null 2>&1)
  "${sudo_cmd[@]}" mkdir -p "$httplib_src"
  "${sudo_cmd[@]}" cp "$apt_dir/src/httplib.h" "$apt_dir/src/LICENSE" "$httplib_src/"
  rm -rf "$apt_dir"
fi
