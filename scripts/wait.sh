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
