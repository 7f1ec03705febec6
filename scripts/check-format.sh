#!/usr/bin/env bash
# Fails if any tracked C++ source differs from what clang-format-14 (.clang-format) would write.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h' | grep -v '^ui/resources/')
echo "clang-format check over ${#files[@]} files"
clang-format-14 --dry-run --Werror "${files[@]}"
echo "clang-format: clean"
