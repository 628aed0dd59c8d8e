#!/usr/bin/env bash
# Runs every native test suite (build/native) under valgrind memcheck: any
# invalid access, use of uninitialised memory or definite/indirect leak fails
# the suite. Prints one line per suite and exits non-zero on any failure.
#   cmake --preset native && cmake --build --preset native -j2 && scripts/memcheck.sh [SUITE...]
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)
mkdir -p build/memcheck
if [ $# -gt 0 ]; then suites=("$@"); else
  mapfile -t suites < <(cd build/native && ctest -N | sed -n 's/^ *Test *#[0-9]*: *//p')
fi
status=0
for s in "${suites[@]}"; do
  exe=$root/build/native/tests/$s/test_$s
  log=$root/build/memcheck/$s.log
  start=$(date +%s)
  (cd "$root/build/native/tests/$s" &&
    valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect \
      --errors-for-leak-kinds=definite,indirect --track-origins=yes --error-exitcode=99 \
      --log-file="$log" "$exe" --gtest_brief=1 >"$log.out" 2>&1)
  rc=$?
  summary=$(grep -E 'ERROR SUMMARY' "$log" | tail -1 | sed 's/^==[0-9]*== //')
  leaks=$(grep -E 'definitely lost:|indirectly lost:' "$log" | sed 's/^==[0-9]*== *//' | tr '\n' ' ')
  if [ $rc -eq 0 ]; then
    echo "$s: ok ($(($(date +%s) - start)) s) $summary; ${leaks:-no leaks}"
  else
    echo "$s: FAILED rc=$rc ($log) $summary; $leaks"
    status=1
  fi
done
exit $status
