#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs clang-tidy (.clang-tidy) over the product's sources; fails on any finding.
#   tools/check-tidy.sh                  the Linux sources, as the clang preset compiles them
#                                        (build-clang/, configured when it is not there yet)
#   tools/check-tidy.sh windows          the Windows sources (*_win32.cpp, app/win32/), as the
#                                        windows preset cross-compiles them (build-windows/)
#   tools/check-tidy.sh [windows] FILE...    only these files
set -euo pipefail
cd "$(dirname "$0")/.."

target=linux
if [ "${1:-}" = "windows" ]; then
  target=windows
  shift
fi
args=()
if [ "$target" = "windows" ]; then
  bash tools/deps.sh windows clang-tidy
  [ -f build-windows/compile_commands.json ] || cmake --preset windows >/dev/null
  build="build-windows"
  # clang reads the MinGW-w64 compile commands as a Windows compiler: the cross compiler's
  # target and headers, and its C++ library, which clang does not find by itself beside a
  # "-posix" compiler. The printf checks name gnu_printf, which only GCC knows; GCC keeps
  # checking the formats in the build.
  args=(--extra-arg=--target=x86_64-w64-mingw32 --extra-arg=--sysroot=/usr/x86_64-w64-mingw32
        --extra-arg=-nostdinc++ --extra-arg=-Wno-ignored-attributes)
  while read -r dir; do
    args+=("--extra-arg=-isystem$dir")
  done < <(x86_64-w64-mingw32-g++-posix -x c++ -E -v /dev/null 2>&1 | sed -n 's|^ \(/.*/include/c++.*\)$|\1|p')
  mapfile -t files < <(git ls-files '*_win32.cpp' 'app/win32/*.cpp' | grep -v -e '^tests/')
else
  bash tools/deps.sh fuzz clang-tidy
  [ -f build-clang/compile_commands.json ] || cmake --preset clang >/dev/null
  build="build-clang"
  mapfile -t files < <(git ls-files '*.cpp' |
    grep -v -e '^tests/' -e '^bench/' -e '^fuzz/' -e '_win32' -e '/win32/')
fi
[ $# -gt 0 ] && files=("$@")
# A file already found clean with the same preprocessed text and command is not tidied again.
python3 tools/lib/tidy_cache.py --build "$build" --jobs "$(nproc)" "${args[@]}" "${files[@]}"
echo "tidy ($target): ${#files[@]} files clean"
