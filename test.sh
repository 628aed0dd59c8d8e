#!/usr/bin/env bash
# Builds everything and runs every suite: native (Linux, headless desktop),
# the Windows build under Wine, and the end-to-end tests. Ends with one line
# "N passed, N failed" summing every suite; exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")"
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

scripts/install-deps.sh || { echo "could not install the packages the build needs"; echo "0 passed, 1 failed"; exit 1; }

total_pass=0 total_fail=0 total_skip=0 status=0
note_failure() { echo "FAILED: $1"; total_fail=$((total_fail + 1)); status=1; }

build() {  # preset
  echo "== build $1"
  if ! cmake --preset "$1" >"build-$1.log" 2>&1 || ! cmake --build --preset "$1" -j"$jobs" >>"build-$1.log" 2>&1; then
    tail -40 "build-$1.log"
    return 1
  fi
  rm -f "build-$1.log"
}

run_suites() {  # preset, ctest arguments...
  local preset=$1; shift
  local dir="$root/build/$preset"
  rm -rf "$dir/test-results"; mkdir -p "$dir/test-results"
  echo "== test $preset"
  (cd "$dir" && "$@" ctest --output-on-failure --timeout 900) || status=1
  mapfile -t names < <(cd "$dir" && ctest -N | sed -n 's/^ *Test *#[0-9]*: *//p')
  read -r p f s < <(scripts/count-results.py "$dir/test-results" "${names[@]}")
  echo "   $preset: $p passed, $f failed, $s skipped"
  total_pass=$((total_pass + p)); total_fail=$((total_fail + f)); total_skip=$((total_skip + s))
  [ "$f" -eq 0 ] || status=1
}

mkdir -p build
if build native; then run_suites native; else note_failure "native build"; fi
if build windows; then
  run_suites windows xvfb-run -a -s "-screen 0 1280x1024x24"
  # Leave no Wine server behind.
  WINEPREFIX="$root/build/windows/wineprefix" wineserver -k 2>/dev/null || true
else
  note_failure "windows build"
fi

# ---- robustness: the native suites under ASan + UBSan, and a short run of
# every fuzz harness (one case per harness) when clang is there.
if build native-asan; then run_suites native-asan; else note_failure "native-asan build"; fi
if command -v clang++ >/dev/null 2>&1; then
  if build fuzz; then
    echo "== fuzz smoke"
    fuzz_out=$(fuzz/run.sh 20 2>&1)
    echo "$fuzz_out" | sed 's/^/   /'
    p=$(echo "$fuzz_out" | grep -c '^fuzz_[a-z_]*: ok')
    f=$(echo "$fuzz_out" | grep -c '^fuzz_[a-z_]*: FAILED')
    total_pass=$((total_pass + p)); total_fail=$((total_fail + f))
    [ "$f" -eq 0 ] || status=1
  else
    note_failure "fuzz build"
  fi
fi
# ---- end of robustness

if [ -f tests/e2e/run.sh ]; then
  echo "== end to end"
  if out=$(bash tests/e2e/run.sh 2>&1); then :; else status=1; fi
  echo "$out"
  if line=$(echo "$out" | grep -E '^e2e: [0-9]+ passed, [0-9]+ failed' | tail -1); then
    p=$(echo "$line" | sed -E 's/^e2e: ([0-9]+) passed.*/\1/'); f=$(echo "$line" | sed -E 's/.* ([0-9]+) failed.*/\1/')
    total_pass=$((total_pass + p)); total_fail=$((total_fail + f))
  else
    note_failure "end to end (no result line)"
  fi
fi

# The Windows packages: built by the windows preset's package target, then
# installed, upgraded, uninstalled and unpacked under Wine.
if [ -f tests/packaging/run.sh ]; then
  echo "== packaging"
  if cmake --build --preset windows --target package >build/package.log 2>&1; then
    out=$(bash tests/packaging/run.sh 2>&1) || status=1
    echo "$out"
    if read -r p f < <(echo "$out" | sed -nE 's/^packaging: ([0-9]+) passed, ([0-9]+) failed$/\1 \2/p' | tail -1) && [ -n "$p" ]; then
      total_pass=$((total_pass + p)); total_fail=$((total_fail + f))
    else
      note_failure "packaging (no result line)"
    fi
  else
    tail -20 build/package.log; note_failure "package target"
  fi
fi

# The Linux desktop client: its preset, then textsnap send, the tray client on
# a virtual display and the Debian packages (tests/linux/run.sh).
if build linux; then
  echo "== linux desktop"
  out=$(bash tests/linux/run.sh 2>&1) || status=1
  echo "$out"
  if line=$(echo "$out" | grep -E '^linux: [0-9]+ passed, [0-9]+ failed' | tail -1); then
    read -r p f < <(echo "$line" | sed -E 's/^linux: ([0-9]+) passed, ([0-9]+) failed.*/\1 \2/')
    total_pass=$((total_pass + p)); total_fail=$((total_fail + f))
  else
    note_failure "linux desktop (no result line)"
  fi
else
  note_failure "linux build"
fi

# Benchmarks are only kept building and running here (tiny sizes, no timing checks).
if [ -f bench/smoke.sh ]; then
  echo "== benchmarks (smoke run)"
  if bash bench/smoke.sh >build/bench-smoke.log 2>&1; then
    grep -E ': [0-9]+ cases ran' build/bench-smoke.log || true
  else
    tail -30 build/bench-smoke.log
    note_failure "benchmark smoke run"
  fi
fi

[ $total_fail -eq 0 ] || status=1
if [ $total_skip -gt 0 ]; then
  echo "$total_pass passed, $total_fail failed, $total_skip skipped"
else
  echo "$total_pass passed, $total_fail failed"
fi
exit $status
