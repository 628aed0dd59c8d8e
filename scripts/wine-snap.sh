# shellcheck shell=bash disable=SC2034  # sourced; the variables it sets are its callers'
# Sourced by tests/e2e/run.sh and run.sh: drives one snap of the real
# textsnap.exe under Wine the way a user does it, against a pinleaf-server of
# our own. Expects DISPLAY and the Wine prefix to be set up already
# (scripts/wine-prefix.sh). Every wait is bounded. Safe under `set -e` only
# where a caller tests the result.
#
#   snap_start_server SERVER DB LOGDIR [--add-user NAME]... [--password-file FILE]
#       sets snap_server_pid and snap_url (empty when it did not start);
#       on the port $snap_port when set (a restart at the same address)
#   snap_stop_server
#   snap_start_notepad LOG     sets snap_notepad_pid and snap_notepad, and
#                              moves the window away from the tray
#   snap_type TEXT             replaces the notepad text with TEXT
#   snap_press [KEYS]          selects all in notepad and presses the hotkey
#   snap_note_count DB USER / snap_last_note DB USER
#   snap_requests LOGDIR PATH  how many requests for PATH the server logged

source "$(dirname "${BASH_SOURCE[0]}")/wait.sh"  # wait_for

snap_server_pid='' snap_url=''
snap_start_server() {  # server, db, logdir, arguments...
  local server=$1 db=$2 logdir=$3; shift 3
  snap_url=
  mkdir -p "$logdir"
  : >"$logdir/server.out"
  "$server" --bind 127.0.0.1 --port "${snap_port:-0}" --db "$db" "$@" >"$logdir/server.out" 2>>"$logdir/server.log" &
  snap_server_pid=$!
  local until=$((SECONDS + 20))
  until grep -q "listening on" "$logdir/server.out"; do
    if [ $SECONDS -ge $until ] || ! kill -0 "$snap_server_pid" 2>/dev/null; then
      snap_stop_server
      return 1
    fi
    sleep 0.2
  done
  snap_url=$(sed -n 's/^pinleaf-server listening on //p' "$logdir/server.out" | head -1)
}
snap_stop_server() {
  if [ -n "$snap_server_pid" ]; then
    kill "$snap_server_pid" 2>/dev/null
    # A clean stop takes well under a second; do not wait for ever.
    local until=$((SECONDS + 10))
    while kill -0 "$snap_server_pid" 2>/dev/null && [ $SECONDS -lt $until ]; do sleep 0.2; done
    kill -9 "$snap_server_pid" 2>/dev/null
    wait "$snap_server_pid" 2>/dev/null
  fi
  snap_server_pid=
  return 0
}

# Wine delivers a registered hotkey only while one of its own windows has the
# keyboard focus: notepad is that window, and the text to snap is typed there.
snap_notepad_pid='' snap_notepad=''
snap_notepad_window() {
  snap_notepad=$(xdotool search --onlyvisible --classname '^notepad\.exe$' 2>/dev/null | head -1)
  [ -n "$snap_notepad" ]
}
snap_start_notepad() {  # log
  wine notepad >>"$1" 2>&1 &
  snap_notepad_pid=$!
  wait_for 60 snap_notepad_window || return 1
  # Away from the tray, so that the icon's menu and balloons stay in sight.
  xdotool windowmove "$snap_notepad" 300 260
  sleep 1
}
snap_focus_notepad() {
  local X Y WIDTH HEIGHT SCREEN WINDOW
  eval "$(xdotool getwindowgeometry --shell "$snap_notepad" 2>/dev/null)"
  xdotool mousemove $((X + 200)) $((Y + 150)) click 1
  sleep 0.5
}
# xdotool needs a UTF-8 locale for text that is not ASCII; Wine picks up a
# remapped key reliably only when such characters come one at a time.
snap_type() {  # text
  snap_focus_notepad
  xdotool key ctrl+a BackSpace
  local text=$1 ascii ch
  while [ -n "$text" ]; do
    ascii=$(env LC_ALL=C.UTF-8 expr "$text" : '\([ -~]*\)') || ascii=
    if [ -n "$ascii" ]; then
      env LC_ALL=C.UTF-8 xdotool type --delay 40 "$ascii"
      text=${text:${#ascii}}
    else
      ch=$(env LC_ALL=C.UTF-8 python3 -c 'import sys; print(sys.argv[1][0], end="")' "$text")
      env LC_ALL=C.UTF-8 xdotool type --delay 200 "$ch"
      sleep 0.5
      text=$(env LC_ALL=C.UTF-8 python3 -c 'import sys; print(sys.argv[1][1:], end="")' "$text")
    fi
  done
  sleep 0.5
}
snap_press() {  # hotkey (xdotool form), default Ctrl+Shift+F9
  snap_focus_notepad
  xdotool key ctrl+a
  sleep 0.3
  xdotool key "${1:-ctrl+shift+F9}"
}

snap_sql() { sqlite3 -cmd ".timeout 5000" "$@"; }
snap_note_count() {  # db, user
  snap_sql "$1" "SELECT count(*) FROM notes JOIN users ON users.id = notes.user_id WHERE users.name = '${2//\'/\'\'}';"
}
snap_last_note() {  # db, user: the newest note's body, as stored (UTF-8)
  snap_sql "$1" "SELECT notes.body FROM notes JOIN users ON users.id = notes.user_id
                 WHERE users.name = '${2//\'/\'\'}' ORDER BY notes.id DESC LIMIT 1;"
}
snap_requests() {  # logdir, method and path, e.g. "POST /pinleaf2/posts/addpinleaf"
  grep -c "^$2 " "$1/server.log"
}
