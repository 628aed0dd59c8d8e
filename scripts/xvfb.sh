# shellcheck shell=bash disable=SC2034  # sourced; xvfb_pid is the caller's
# To be sourced. start_xvfb [SIZE]: starts Xvfb on a display it picks itself
# and tells us (no fixed number to collide on), exports DISPLAY and leaves its
# process in xvfb_pid for the caller's clean-up; false when it does not start
# within 20 seconds. SIZE is the screen's, 1024x768x24 when not given.
start_xvfb() {
  exec 5<> <(:)
  Xvfb -displayfd 5 -screen 0 "${1:-1024x768x24}" -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  local number
  read -r -t 20 number <&5 || return 1
  export DISPLAY=:$number
}
