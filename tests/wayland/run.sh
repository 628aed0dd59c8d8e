#!/usr/bin/env bash
# shellcheck disable=SC2317  # functions called through check, wait_for and trap look unreachable to shellcheck
# The Linux client in a Wayland session, end to end, with real programs: a
# real compositor (sway, headless, software rendering) that serves the
# clipboard and the primary selection through its data-control protocol, a
# private D-Bus session with a recording notification service
# (tests/linux/notifications.py) and a stand-in for the desktop's portal
# (portal.py, GlobalShortcuts as xdg-desktop-portal offers it), and a
# pinleaf-server of our own. Another program (zenity) keeps the keyboard
# focus throughout:
#  - text put on the clipboard with wl-copy, then `textsnap --snap`: the
#    running client stores it as a note, byte for byte;
#  - the client binds its hotkey through the portal ("Snap the selection",
#    CTRL+SHIFT+F9), and the portal's Activated makes it snap;
#  - with the Ctrl+C switch on, the primary selection (wl-copy --primary) is
#    the note, and the clipboard when nothing is selected;
#  - a desktop that assigns another trigger is reported in a notification;
#  - the tray menu reaches a panel that draws it (panel.py, DBusMenu, as
#    Plasma's and GNOME's AppIndicator do): Settings... opens the settings
#    window, Quit closes it, Quit again ends the client;
#  - a portal without GlobalShortcuts: the notification of old, once, and
#    `textsnap --snap` still snaps;
#  - a compositor without data-control (weston, as GNOME): the clipboard and
#    the primary selection through the X server beside it;
#  - the real portal: xdg-desktop-portal with its KDE backend beside KWin
#    (skipped where they are not installed), and KWin's data-control.
# sway does not start as root, and a desktop session is an ordinary user's:
# run as root, the suite runs the session as "nobody", from a copy of the
# programs and scripts in a scratch folder that user can read.
# Needs the linux preset built (build/linux). Prints "wayland: N passed, N
# failed" last.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
export LC_ALL=C.UTF-8
source "$root/scripts/checks.sh"
hex_of() { printf '%s' "$1" | od -An -tx1 -v | tr -d ' \n' | tr a-f A-F; }

# ---- the session: its own user, D-Bus session and compositor ------------------
if [ "${1:-}" = "--session" ]; then
  work=$2 kde_backend=${3:-}
  exe=$work/bin/textsnap server=$work/bin/pinleaf-server
  source "$root/scripts/wine-snap.sh"  # the server and database helpers
  sway_pid='' rec_pid='' portal_pid='' focus_pid='' app_pid='' copy_pids='' weston_pid='' xvfb_pid='' kwin_pid='' panel_pid=''
  cleanup() {
    for p in $app_pid $focus_pid $portal_pid $rec_pid $copy_pids $weston_pid $xvfb_pid $kwin_pid $panel_pid; do kill "$p" 2>/dev/null; done
    snap_stop_server
    [ -n "$sway_pid" ] && kill "$sway_pid" 2>/dev/null
    wait 2>/dev/null
  }
  trap cleanup EXIT
  export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/runtime
  mkdir -p "$HOME" "$XDG_CONFIG_HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
  # What the bus starts (the real portal below) lives in the same session.
  dbus-update-activation-environment HOME XDG_CONFIG_HOME XDG_RUNTIME_DIR
  unset DISPLAY WAYLAND_DISPLAY
  export XDG_SESSION_TYPE=wayland GDK_BACKEND=wayland NO_AT_BRIDGE=1
  notes=$work/notifications.jsonl calls=$work/portal.jsonl
  : >"$notes"; : >"$calls"

  printf 'xwayland disable\n' >"$work/sway.conf"
  WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
    sway -c "$work/sway.conf" >"$work/sway.log" 2>&1 &
  sway_pid=$!
  compositor_up() { ls "$XDG_RUNTIME_DIR"/wayland-[0-9] >/dev/null 2>&1 && ls "$XDG_RUNTIME_DIR"/sway-ipc.*.sock >/dev/null 2>&1; }
  check "sway starts headless" wait_for 20 compositor_up || exit 0
  # shellcheck disable=SC2012  # names the compositor made: digits and dots only
  WAYLAND_DISPLAY=$(basename "$(ls "$XDG_RUNTIME_DIR"/wayland-[0-9] | head -1)")
  # shellcheck disable=SC2012  # the same
  SWAYSOCK=$(ls "$XDG_RUNTIME_DIR"/sway-ipc.*.sock | head -1)
  export WAYLAND_DISPLAY SWAYSOCK

  /usr/bin/python3 "$root/tests/linux/notifications.py" "$notes" >"$work/recorder.out" 2>&1 &
  rec_pid=$!
  check "a notification service runs on the session bus" wait_for 15 grep -q ready "$work/recorder.out"
  start_portal() {  # arguments of portal.py
    [ -n "$portal_pid" ] && { kill "$portal_pid"; wait "$portal_pid" 2>/dev/null; }
    : >"$work/portal.out"
    /usr/bin/python3 "$root/tests/wayland/portal.py" "$calls" "$@" >"$work/portal.out" 2>&1 &
    portal_pid=$!
    wait_for 15 grep -q ready "$work/portal.out"
  }
  check "the stand-in portal offers GlobalShortcuts" start_portal

  user=wayland-スナップ password='p&ss+w= 秘密'
  db=$work/server/pinleaf.db
  mkdir -p "$work/server"
  (umask 077; printf '%s\n' "$password" >"$work/server/password")
  check "pinleaf-server starts" snap_start_server "$server" "$db" "$work/server" --add-user "$user" \
    --password-file "$work/server/password"
  ini=$XDG_CONFIG_HOME/textsnap/ini.ini
  write_ini() {  # auto-copy switch
    mkdir -p "$(dirname "$ini")"
    python3 "$root/scripts/write-ini.py" "$ini" --codepage utf-8 --url "$snap_url" --id "$user" \
      --password "$password" --hotkey 120 --modifiers 6 --autocopy "$1"
  }
  count_is() { [ "$(snap_note_count "$db" "$user")" = "$1" ]; }
  last_note_is() { [ "$(snap_sql "$db" "SELECT hex(body) FROM notes ORDER BY id DESC LIMIT 1")" = "$(hex_of "$1")" ]; }
  notified() {  # how many notifications' bodies begin with the text (markup undone)
    python3 -c '
import html, json, sys
rows = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8")]
print(sum(html.unescape(r["body"]).startswith(sys.argv[2]) for r in rows))' "$notes" "$1"
  }
  notified_once() { [ "$(notified "$1")" = 1 ]; }
  app_running() { kill -0 "$app_pid" 2>/dev/null; }
  start_client() {
    [ -n "$app_pid" ] && { kill "$app_pid"; wait "$app_pid" 2>/dev/null; }
    "$exe" >>"$work/textsnap.log" 2>&1 &
    app_pid=$!
  }
  # wl-copy owns what it puts on a selection until another owner takes over.
  put() {  # [--primary] text
    wl-copy --foreground "$@" >/dev/null 2>&1 &
    copy_pids="$copy_pids $!"
    sleep 0.5
  }
  calls_of() { grep -c "\"call\": \"$1\"" "$calls"; }
  more_calls() { [ "$(calls_of "$1")" -gt "$2" ]; }
  activate() { dbus-send --session --print-reply --dest=org.freedesktop.portal.Desktop /org/textsnap/test \
                 org.textsnap.test.Portal.Activate string:snap | grep -q 'boolean true'; }

  # Another program has the keyboard focus, as when the user selected text there.
  zenity --entry --title "focus holder" >/dev/null 2>&1 &
  focus_pid=$!
  focus_is_elsewhere() {
    swaymsg -t get_tree 2>/dev/null | python3 -c '
import json, sys
def walk(n):
    if n.get("focused"):
        return n
    for c in n.get("nodes", []) + n.get("floating_nodes", []):
        f = walk(c)
        if f:
            return f
f = walk(json.load(sys.stdin))
sys.exit(0 if f and f.get("app_id") == "zenity" else 1)'
  }
  check "another Wayland client (zenity) has the keyboard focus" wait_for 20 focus_is_elsewhere

  # A panel that draws the tray menu itself (DBusMenu), as Plasma's does.
  /usr/bin/python3 "$root/tests/wayland/panel.py" >"$work/panel.out" 2>&1 &
  panel_pid=$!
  check "a StatusNotifierItem panel runs" wait_for 15 grep -q ready "$work/panel.out"

  # ---- the clipboard through data-control, and the hotkey through the portal
  write_ini 0
  start_client
  bound() { python3 - "$calls" <<'EOF'
import json, sys
binds = [c for c in map(json.loads, open(sys.argv[1], encoding="utf-8")) if c["call"] == "BindShortcuts"]
assert binds, "no BindShortcuts"
b = binds[-1]
assert b["shortcuts"] == [["snap", {"description": "Snap the selection", "preferred_trigger": "CTRL+SHIFT+F9"}]], b
assert b["session"].startswith("/org/freedesktop/portal/desktop/session/"), b
EOF
  }
  check "the client binds one shortcut through the portal: \"Snap the selection\", CTRL+SHIFT+F9" \
    wait_for 20 bound 2>/dev/null
  text1='日本語のメモ 🍀 <b>&</b> end'
  put -- "$text1"
  check "textsnap --snap asks the running client and ends" timeout 20 "$exe" --snap
  check "... which stores the clipboard's text though another program has the focus" wait_for 30 count_is 1
  check "... byte for byte (Japanese, emoji)" last_note_is "$text1"
  said_last() { python3 -c '
import json, sys
rows = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8")]
sys.exit(0 if [r["summary"] for r in rows[-2:]] == sys.argv[2:] else 1)' "$notes" "$@"; }
  check "... and the notifications say start, then complete!" wait_for 10 said_last start complete!
  check "... while zenity keeps the focus" focus_is_elsewhere

  sleep 5  # a snap within 5 seconds of the last upload is refused by design
  text2=$'pressed on the desktop\'s shortcut ✓\nsecond line'
  put -- "$text2"
  check "the portal's Activated reaches the client" activate
  check "... which snaps: the clipboard's text is stored" wait_for 30 count_is 2
  check "... byte for byte" last_note_is "$text2"
  check "no notification says that there is no hotkey" test "$(notified "This desktop (Wayland)")" = 0
  check "... or that the desktop chose another key" test "$(notified "The desktop assigned")" = 0

  # ---- the tray menu, drawn by the panel
  panel() { dbus-send --session --print-reply --dest=org.textsnap.test.Panel /org/textsnap/test \
              "org.textsnap.test.Panel.$1" "${@:2}"; }
  menu_offered() { panel Menu | grep -qF '[["Settings...", true, []], ["Recent snaps", true, [[' &&
                   panel Menu | grep -qF '["-", true, []], ["Quit", true, []]]'; }
  check "the panel gets the tray menu from the client (DBusMenu): Settings... to Quit" wait_for 15 menu_offered
  window_focused() {  # title
    swaymsg -t get_tree 2>/dev/null | python3 -c '
import json, sys
def walk(n):
    if n.get("focused"):
        return n
    for c in n.get("nodes", []) + n.get("floating_nodes", []):
        f = walk(c)
        if f:
            return f
f = walk(json.load(sys.stdin))
sys.exit(0 if f and f.get("name") == sys.argv[1] else 1)' "$1"
  }
  settings_shown() { swaymsg -t get_tree 2>/dev/null | grep -q '"name": "setting"'; }
  settings_gone() { ! settings_shown; }
  check "Settings... clicked in the panel opens the settings window" panel Click string:Settings...
  check "... which is shown with the focus" wait_for 15 window_focused setting
  app_ended() { ! kill -0 "$app_pid" 2>/dev/null; }
  check "Quit clicked in the panel while it is open closes only the settings window" panel Click string:Quit
  check "... which goes" wait_for 15 settings_gone
  check "... while the client keeps running" app_running
  check "Quit clicked again ends the client" panel Click string:Quit
  check "... which ends" wait_for 15 app_ended

  # ---- the Ctrl+C switch on: the primary selection; the desktop's own key
  binds_before=$(calls_of BindShortcuts)
  start_portal --assign "Ctrl+Alt+S"
  write_ini 1
  start_client
  check "a desktop that assigns another key than asked: the notification names it" \
    wait_for 20 notified_once 'The desktop assigned Ctrl+Alt+S to "Snap the selection" instead of Ctrl+Shift+F9.'
  check "... after one more binding" more_calls BindShortcuts "$binds_before"
  text3='選択した文字 😀 (primary)'
  put -- "on the clipboard, not selected"
  put --primary -- "$text3"
  check "with the Ctrl+C switch on, the shortcut snaps the primary selection" activate
  check "... which is stored" wait_for 30 count_is 3
  check "... byte for byte" last_note_is "$text3"
  check "... with no key pressed in the focused program (zenity still has the focus)" focus_is_elsewhere
  sleep 5
  wl-copy --primary --clear
  text4='nothing selected: the clipboard 📋'
  put -- "$text4"
  check "nothing selected: textsnap --snap takes the clipboard" timeout 20 "$exe" --snap
  check "... which is stored" wait_for 30 count_is 4
  check "... byte for byte" last_note_is "$text4"

  # ---- a portal without GlobalShortcuts: the notification of old, once
  start_portal --missing
  said() { notified "This desktop (Wayland) lets no program take a global hotkey. Bind your desktop's own keyboard shortcut to the command: textsnap --snap"; }
  start_client
  said_once() { [ "$(said)" -ge 1 ]; }
  check "a portal without GlobalShortcuts: the client says to bind textsnap --snap" wait_for 20 said_once
  check "... and keeps running" app_running
  text5='still snapped by textsnap --snap ✓'
  put -- "$text5"
  check "... textsnap --snap still snaps" timeout 20 "$exe" --snap
  check "... and stores the clipboard's text" wait_for 30 count_is 5
  check "... byte for byte" last_note_is "$text5"
  check "... and the notification came once" test "$(said)" = 1
  check "the client never ended by itself" app_running

  # ---- a compositor without data-control (GNOME's): the selections through
  # the X server beside it, which GNOME keeps in step with its own (Xwayland).
  # weston, headless, has no seat, and its Xwayland bridge needs one: here the
  # X server is one of its own (Xvfb), whose selections an X program (xclip)
  # owns.
  kill "$app_pid"; wait "$app_pid" 2>/dev/null; app_pid=
  start_portal
  weston --backend=headless-backend.so --socket=wayland-weston --log="$work/weston.log" >/dev/null 2>&1 &
  weston_pid=$!
  weston_up() { [ -S "$XDG_RUNTIME_DIR/wayland-weston" ]; }
  exec 5<> <(:)
  Xvfb -displayfd 5 -screen 0 640x480x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  if check "weston starts headless, an X server beside it" wait_for 20 weston_up && read -r -t 20 number <&5; then
    # A group, not a subshell: its checks count (and its processes are ended).
    saved_wayland=$WAYLAND_DISPLAY saved_display=${DISPLAY:-}
    {
      export WAYLAND_DISPLAY=wayland-weston DISPLAY=:$number
      # Owns a selection until another owner takes it, or it is ended.
      xput() {  # selection, text
        printf '%s' "$2" | xclip -quiet -selection "$1" -target UTF8_STRING >/dev/null 2>&1 &
        copy_pids="$copy_pids $!"
        sleep 0.5
      }
      start_client
      text6='through the X server: 日本語 🍀 <&>'
      xput clipboard "$text6"
      check "no data-control: textsnap --snap reads the X clipboard" timeout 30 "$exe" --snap
      check "... which is stored" wait_for 30 count_is 6
      check "... byte for byte" last_note_is "$text6"
      sleep 5
      text7='the X primary selection ✓'
      xput primary "$text7"
      check "... and the X primary selection with the Ctrl+C switch on" timeout 30 "$exe" --snap
      check "... which is stored" wait_for 30 count_is 7
      check "... byte for byte" last_note_is "$text7"
      # shellcheck disable=SC2086  # one pid a word
      kill "$app_pid" $copy_pids 2>/dev/null
      wait "$app_pid" 2>/dev/null
      app_pid='' copy_pids=''
    }
    export WAYLAND_DISPLAY=$saved_wayland DISPLAY=$saved_display
  fi
  kill "$weston_pid" "$xvfb_pid" 2>/dev/null; wait "$weston_pid" "$xvfb_pid" 2>/dev/null; weston_pid='' xvfb_pid=

  # ---- the real portal: xdg-desktop-portal with its KDE backend, beside KWin
  # (kwin_wayland --virtual), both started by the bus as in a Plasma session.
  # KDE 5.27 binds the shortcut but leaves its key to the user (in System
  # Settings), so it cannot be pressed here; the client's calls, the
  # portal's answers and KWin's data-control are real.
  if [ -x "$work/bin/kwin_wayland" ] && [ -n "${kde_backend:-}" ]; then
    kill "$portal_pid"; wait "$portal_pid" 2>/dev/null; portal_pid=
    "$work/bin/kwin_wayland" --virtual --socket wayland-kwin --width 1024 --height 768 >"$work/kwin.log" 2>&1 &
    kwin_pid=$!
    kwin_up() { [ -S "$XDG_RUNTIME_DIR/wayland-kwin" ]; }
    if check "KWin starts (kwin_wayland --virtual)" wait_for 30 kwin_up; then
      saved_wayland=$WAYLAND_DISPLAY saved_display=${DISPLAY:-}
      {
        export WAYLAND_DISPLAY=wayland-kwin XDG_CURRENT_DESKTOP=KDE QT_QPA_PLATFORM=wayland
        unset DISPLAY
        dbus-update-activation-environment WAYLAND_DISPLAY XDG_CURRENT_DESKTOP QT_QPA_PLATFORM
        start_client
        check "the real portal (KDE) takes the binding and leaves the key to the user, which the client says" \
          wait_for 40 notified_once "The desktop has given \"Snap the selection\" no key yet (Ctrl+Shift+F9 was asked for)"
        text8='under KWin: 日本語 🍀'
        put -- "$text8"
        check "... textsnap --snap under KWin reads its clipboard through data-control" timeout 30 "$exe" --snap
        check "... which is stored" wait_for 30 count_is 8
        check "... byte for byte" last_note_is "$text8"
        # shellcheck disable=SC2086  # one pid a word
        kill "$app_pid" $copy_pids 2>/dev/null
        wait "$app_pid" 2>/dev/null
        app_pid='' copy_pids=''
      }
      export WAYLAND_DISPLAY=$saved_wayland DISPLAY=$saved_display
      unset XDG_CURRENT_DESKTOP QT_QPA_PLATFORM
    fi
    kill "$kwin_pid" 2>/dev/null; wait "$kwin_pid" 2>/dev/null; kwin_pid=
  else
    echo "  skip  the real portal (KDE): kwin_wayland or xdg-desktop-portal-kde is not installed"
  fi
  echo "session: $passed passed, $failed failed"
  exit 0
fi

# ---- outside the session ------------------------------------------------------
use_linux_build wayland-test
finish() { finish_checks wayland; }
for f in "$exe" "$server"; do
  [ -x "$f" ] || { echo "no $f: build the linux preset first"; failed=1; finish; }
done
for tool in sway wl-copy swaymsg weston Xvfb xclip zenity dbus-run-session dbus-send sqlite3 setpriv; do
  command -v $tool >/dev/null || { echo "  FAIL  missing $tool"; failed=$((failed + 1)); }
done
[ "$failed" -eq 0 ] || finish
rm -rf "$work"; mkdir -p "$work"
# The session's user reads everything from here.
session=$(mktemp -d /tmp/textsnap-wayland.XXXXXX)
trap 'rm -rf "$session"' EXIT
mkdir -p "$session/bin" "$session/tree/scripts" "$session/tree/tests/wayland" "$session/tree/tests/linux"
cp "$exe" "$server" "$session/bin/"
# KWin carries a file capability, which an unprivileged user's exec may be
# refused here: its copy has none and needs none.
kde_backend=
if command -v kwin_wayland >/dev/null && [ -f /usr/share/xdg-desktop-portal/portals/kde.portal ]; then
  cp "$(command -v kwin_wayland)" "$session/bin/"
  kde_backend=kde
fi
[ -f "$build/app/textsnap.png" ] && cp "$build/app/textsnap.png" "$session/bin/"
cp "$root/scripts/checks.sh" "$root/scripts/wait.sh" "$root/scripts/wine-snap.sh" "$root/scripts/write-ini.py" \
  "$session/tree/scripts/"
cp "$root/tests/wayland/run.sh" "$root/tests/wayland/portal.py" "$root/tests/wayland/panel.py" \
  "$session/tree/tests/wayland/"
cp "$root/tests/linux/notifications.py" "$session/tree/tests/linux/"
as_user=()
if [ "$(id -u)" = 0 ]; then
  chown -R 65534:65534 "$session"
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
echo "a Wayland session (sway headless, private D-Bus session, stand-in portal)"
out=$(cd / && timeout 300 "${as_user[@]}" env -i PATH=/usr/local/bin:/usr/bin:/bin LC_ALL=C.UTF-8 \
  dbus-run-session -- bash "$session/tree/tests/wayland/run.sh" --session "$session" $kde_backend 2>&1)
echo "$out" | grep -E '^  (ok|FAIL|skip) '
p=$(echo "$out" | grep -c '^  ok ')
f=$(echo "$out" | grep -c '^  FAIL ')
passed=$((passed + p)); failed=$((failed + f))
echo "$out" | grep -q '^session: ' || { echo "  FAIL  the session ended early"; failed=$((failed + 1)); }
# What the session left, for a look after a failure.
cp "$session"/*.log "$session"/*.jsonl "$work/" 2>/dev/null
echo "$out" >"$work/session.out"
finish
