#!/usr/bin/env bash
# Runs clang-tidy (the checks in .clang-tidy) over the product code, using the
# compile commands of a configured native build.
#   scripts/tidy.sh            every product source file (several minutes)
#   scripts/tidy.sh --short    only the product files the last 10 commits touched, at most 12
# Exit status 1 when a check finds something.
set -uo pipefail
cd "$(dirname "$0")/.."
db=build/native
[ -f "$db/compile_commands.json" ] || cmake --preset native >/dev/null || exit 1
# The product code of the native build (the win32 backend and main.cpp are
# built for Windows only, the linux backend and main_linux.cpp by the linux preset).
product() {
  git ls-files "$@" -- app tray storage http net ui runtime platform service | grep '\.cpp$' |
    grep -v -e '^platform/win32/' -e '^platform/linux/' -e '^app/main\.cpp$' -e '^app/main_linux\.cpp$'
}
if [ "${1:-}" = "--short" ]; then
  mapfile -t files < <(comm -12 <(product | sort) <(git log -10 --name-only --pretty=format: | sort -u) | head -12)
else
  mapfile -t files < <(product)
fi
if [ ${#files[@]} -eq 0 ]; then
  echo "clang-tidy: no files to check"
  exit 0
fi
jobs=$(nproc 2>/dev/null || echo 2)
# The compile commands carry GCC-only warning options clang does not know.
out=$(run-clang-tidy -quiet -p "$db" -j "$jobs" -extra-arg=-Wno-unknown-warning-option "${files[@]/#/$PWD/}" 2>&1)
rc=$?
echo "$out" | grep -E '(warning|error): ' | sort -u
echo "clang-tidy: ${#files[@]} files, $([ $rc -eq 0 ] && echo clean || echo FAILED)"
exit $rc
