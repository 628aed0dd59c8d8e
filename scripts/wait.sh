# shellcheck shell=bash  # sourced
# Sourced by the scripts that drive real programs: a bounded wait.

# Polls `command` until it succeeds, at most `seconds`.
wait_for() {  # seconds, command...
  local until=$((SECONDS + $1)); shift
  until "$@"; do
    [ $SECONDS -ge $until ] && return 1
    sleep 0.3
  done
}

# The first process named like `pattern` (in its command line) among `pid`
# and its descendants: its id printed; false when there is none.
descendant_named() {  # pid pattern
  local p=$1 child
  if tr '\0' ' ' <"/proc/$p/cmdline" 2>/dev/null | grep -q "$2"; then echo "$p"; return; fi
  # shellcheck disable=SC2013  # the children files hold process ids separated by spaces
  for child in $(cat /proc/"$p"/task/*/children 2>/dev/null); do
    descendant_named "$child" "$2" && return
  done
  return 1
}
