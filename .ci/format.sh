#!/usr/bin/env bash
# Checks that every tracked C and C++ file is formatted as .clang-format says
# (clang-format 14, the version the tree is formatted with; other versions
# differ in details). Prints the first differences and fails when any file
# is off. To format: clang-format-14 -i FILE...
set -euo pipefail
cd "$(dirname "$0")/.."
format=clang-format-14
command -v "$format" >/dev/null || bash .ci/install-deps.sh clang-format-14
mapfile -t files < <(git ls-files '*.c' '*.h' '*.cpp' '*.cc' '*.hpp')
if "$format" --dry-run --Werror "${files[@]}" 2>"${TMPDIR:-/tmp}/format.log"; then
  echo "format: ${#files[@]} files as .clang-format says"
else
  grep -c 'error:' "${TMPDIR:-/tmp}/format.log" | xargs echo "format: lines to change:"
  grep 'error:' "${TMPDIR:-/tmp}/format.log" | cut -d: -f1 | sort | uniq -c | sort -rn | head -20
  echo "format: run clang-format-14 -i on the files above"
  exit 1
fi
