# shellcheck shell=bash disable=SC2034  # sourced; the variables it sets are its callers'
# The checks of the scripts that drive real programs (tests/*/run.sh), to be
# sourced: each check is a name and a command; the script ends with one line
# "SUITE: N passed, N failed", which ./test.sh adds to its total.
passed=0 failed=0

check() {  # name, command...
  local name=$1; shift
  if "$@"; then
    echo "  ok    $name"; passed=$((passed + 1))
  else
    echo "  FAIL  $name"; failed=$((failed + 1))
    return 1
  fi
}

source "$(dirname "${BASH_SOURCE[0]}")/wait.sh"  # wait_for

source "$(dirname "${BASH_SOURCE[0]}")/xvfb.sh"  # start_xvfb

# The Linux preset's programs (build/linux, or TS_LINUX_BUILD) in exe and
# server, and the suite's scratch folder below that build in work.
use_linux_build() {  # scratch folder name
  build=${TS_LINUX_BUILD:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/linux}
  exe=$build/app/textsnap
  server=$build/service/pinleaf-server
  work=$build/$1
}

finish_checks() {  # suite
  echo "$1: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}
