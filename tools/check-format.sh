#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Fails when a C++ file of the tree does not follow .clang-format. With --fix, formats them.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || bash tools/deps.sh
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
    clang-format -i "${files[@]}"
else
    clang-format --dry-run -Werror "${files[@]}"
    echo "format: ${#files[@]} files follow .clang-format"
fi
