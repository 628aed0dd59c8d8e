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
  fi
}

# Polls `command` until it succeeds, at most `seconds`.
wait_for() {  # seconds, command...
  local until=$((SECONDS + $1)); shift
  until "$@"; do
    [ $SECONDS -ge $until ] && return 1
    sleep 0.3
  done
}

finish_checks() {  # suite
  echo "$1: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}
