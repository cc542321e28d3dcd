#!/usr/bin/env bash
# Lays out the C++ sources by .clang-format (clang-format 14).
#   scripts/format.sh          format the tree in place
#   scripts/format.sh --check  list the files that differ and fail when any does
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = --check ]; then
  clang-format --dry-run -Werror "${files[@]}"
else
  clang-format -i "${files[@]}"
fi
