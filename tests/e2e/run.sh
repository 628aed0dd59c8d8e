#!/usr/bin/env bash
# End to end: the real textsnap.exe under Wine on a private Xvfb display.
# It starts into the tray, its menu opens the settings window, the settings
# window captures keys and OK writes ini.ini, and Quit ends the process.
# Screenshots of the tray menu and the settings window are left in
# build/windows/e2e/. Prints "e2e: N passed, N failed" last; exits non-zero
# on any failure. Every process it starts is stopped again.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${TS_WINDOWS_BUILD:-$root/build/windows}
exe=$build/app/textsnap.exe
work=$build/e2e
passed=0 failed=0

check() {  # name, command...
  local name=$1; shift
  if "$@"; then
    echo "  ok    $name"; passed=$((passed + 1))
  else
    echo "  FAIL  $name"; failed=$((failed + 1))
  fi
}
finish() {
  echo "e2e: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}

if [ ! -f "$exe" ]; then
  echo "no $exe: build the windows preset first"
  failed=1; finish
fi
for tool in Xvfb xdotool wine import convert; do
  command -v $tool >/dev/null || { echo "missing $tool"; failed=1; finish; }
done

has_version() {  # the resource's strings are UTF-16
  strings -el "$exe" | grep -A1 -x "FileDescription" | grep -qx "text snap for pinleaf online"
}
check "textsnap.exe carries its version information" has_version

rm -rf "$work/run"; mkdir -p "$work/run"
cp "$exe" "$work/run/"
ini=$work/run/ini.ini

xvfb_pid= app_pid=
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
  wineserver -k 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
}
trap cleanup EXIT

# Xvfb picks a free display and tells us its number.
exec 5<> <(:)
Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
read -r -t 20 number <&5 || { echo "Xvfb did not start"; failed=1; finish; }
export DISPLAY=:$number

# Polls `command` until it succeeds, at most `seconds`.
wait_for() {  # seconds, command...
  local until=$((SECONDS + $1)); shift
  until "$@"; do
    [ $SECONDS -ge $until ] && return 1
    sleep 0.3
  done
}
window_shown() { xdotool search --onlyvisible --name "$1" >/dev/null 2>&1; }
window_gone() { ! window_shown "$1"; }
app_running() { kill -0 "$app_pid" 2>/dev/null; }
app_ended() { ! app_running; }
ini_has() { [ -f "$ini" ] && tr -d '\r' <"$ini" | grep -qx "$1"; }

# A prefix of our own, so that stopping its server touches nothing else.
# The first start of a fresh prefix takes a while.
source "$root/scripts/wine-prefix.sh" "$work/wineprefix"
(cd "$work/run" && exec wine ./textsnap.exe >"$work/wine.log" 2>&1) &
app_pid=$!

check "textsnap.exe starts and its icon appears in the tray" wait_for 90 window_shown "Wine System Tray"
sleep 1
tray=$(xdotool search --onlyvisible --name "Wine System Tray" | head -1)
eval "$(xdotool getwindowgeometry --shell "$tray" 2>/dev/null)"
tray_x=${X:-0} tray_y=${Y:-0}
import -window root "$work/tray.png"
# The note colour of our own icon is in the tray.
yellow=$(convert "$work/tray.png" -crop 160x20+"$tray_x"+"$tray_y" +repage -fuzz 6% -fill red -opaque "#FFF7AB" txt:- |
         grep -ci "#FF0000")
check "the tray shows the application's icon" test "${yellow:-0}" -gt 20
check "the main window is never shown" window_gone '^setting$'

open_menu() {
  xdotool mousemove $((tray_x + 9)) $((tray_y + 10)) click 3
  sleep 1
}
open_menu
import -window root "$work/menu-full.png"
convert "$work/menu-full.png" -crop 240x110+"$tray_x"+"$tray_y" +repage "$work/tray-menu.png"
xdotool key Down Return
check "Settings... opens the settings window" wait_for 15 window_shown '^setting$'
sleep 1
form=$(xdotool search --onlyvisible --name '^setting$' | head -1)
eval "$(xdotool getwindowgeometry --shell "$form")"
# The client area is 487 x 442; the rest is the frame and the caption bar.
border=$(((WIDTH - 487) / 2))
cx=$((X + border)) cy=$((Y + HEIGHT - 442 - border))
click_at() { xdotool mousemove $((cx + $1)) $((cy + $2)) click 1; sleep 0.4; }
import -window root "$work/settings-full.png"
convert "$work/settings-full.png" -crop "${WIDTH}x${HEIGHT}+$X+$Y" +repage "$work/settings-window.png"
check "the settings window has its client size" test "$WIDTH" -ge 487 -a "$HEIGHT" -ge 442

click_at 200 155          # ID
xdotool type --delay 40 "e2e-user"
click_at 68 372           # hotkey code box
xdotool key Escape        # taken as a key, does not close the window
sleep 0.5
check "Escape does not close the settings window" window_shown '^setting$'
xdotool key ctrl+shift+F5 # the key counts, not the modifiers held
click_at 120 368          # ctl
click_at 376 372          # OK
check "OK closes the settings window" wait_for 10 window_gone '^setting$'
check "OK writes the ID into ini.ini" wait_for 5 ini_has "ini_online_id=e2e-user"
check "OK writes the captured key and the checked modifiers" ini_has "hotkey=116"
check "... with Ctrl as the only modifier" ini_has "hotkey_shift=2"

# Open again: the box shows the saved code; Escape lands in it.
open_menu
xdotool key Down Return
wait_for 15 window_shown '^setting$'
sleep 1
click_at 68 372
xdotool key Escape
xdotool key Return        # Enter presses OK
check "Enter presses OK" wait_for 10 window_gone '^setting$'
check "Escape in the hotkey box is captured as 27" wait_for 5 ini_has "hotkey=27"

# "Settings..." while the window is shown: an error box, the window stays.
open_menu
xdotool key Down Return
wait_for 15 window_shown '^setting$'
sleep 1
open_menu
xdotool key Down Return
title="^text snap for pinleaf online\$"
check "Settings... while shown raises an error in a box with the program's title" wait_for 10 window_shown "$title"
sleep 1
import -window root "$work/error-box.png"
box=$(xdotool search --onlyvisible --name "$title" | head -1)
eval "$(xdotool getwindowgeometry --shell "$box")"
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) sleep 0.3 key Return
check "the error box closes with OK" wait_for 10 window_gone "$title"
check "the settings window stays open after the error" window_shown '^setting$'

# Quit while the window is shown only closes the window, saving the settings.
rm -f "$ini"
open_menu
xdotool key Up Return     # Quit is the last entry
check "Quit while the settings window is shown closes only the window" wait_for 10 window_gone '^setting$'
sleep 1
check "... and the program keeps running" app_running
check "... and writes ini.ini" test -f "$ini"

rm -f "$ini"
open_menu
xdotool key Up Return
check "Quit ends the process" wait_for 20 app_ended
check "Quit writes ini.ini" test -f "$ini"
app_pid=

# Log-off: the system asks the window whether the session may end.
(cd "$work/run" && exec wine ./textsnap.exe >>"$work/wine.log" 2>&1) &
app_pid=$!
wait_for 60 window_shown "Wine System Tray"
sleep 1
open_menu
xdotool key Down Return
wait_for 15 window_shown '^setting$'
sleep 1
rm -f "$ini"
timeout 60 wineboot --end-session >/dev/null 2>&1
check "ending the session writes ini.ini" wait_for 10 test -f "$ini"
wait_for 20 app_ended
app_pid=

finish
