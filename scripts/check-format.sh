#!/usr/bin/env bash
# Fails when a tracked C++ source or header differs from what clang-format
# (Debian's clang-format, with the repository's .clang-format) would write.
# Prints the offending places; `clang-format -i FILE` mends a file.
#
#   scripts/check-format.sh            every tracked .cpp/.h
#   scripts/check-format.sh FILE...    only these
set -euo pipefail
cd "$(dirname "$0")/.."

command -v clang-format >/dev/null 2>&1 ||
  { echo "check-format: clang-format is not installed (scripts/install-deps.sh)" >&2; exit 1; }

if (($# > 0)); then
  files=("$@")
else
  mapfile -t files < <(git ls-files -- '*.cpp' '*.h')
fi
((${#files[@]} > 0)) || exit 0

if ! clang-format --dry-run -Werror --style=file "${files[@]}"; then
  echo "check-format: the files above are not formatted; run clang-format -i on them" >&2
  exit 1
fi
echo "check-format: ${#files[@]} files formatted"
