#!/usr/bin/env bash
# Fails when a tracked C++ file differs from what the repository's
# .clang-format makes of it. Fix with: clang-format -i FILE
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
tmp=$(mktemp)
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if clang-format --dry-run -Werror "${files[@]}" 2>"$tmp"; then
  rm -f "$tmp"
  echo "format check: ${#files[@]} files, clean"
  exit 0
fi
grep -o '^[^:]*\.\(cpp\|h\):' "$tmp" | sort -u | sed 's/:$//; s/^/  needs clang-format: /'
rm -f "$tmp"
echo "format check: FAILED"
exit 1
