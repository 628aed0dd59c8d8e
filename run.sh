#!/usr/bin/env bash
# Builds text snap for Windows and pinleaf-server, starts the server on
# loopback (the client's default service, http://localhost:8660/pinleaf2, or a
# free port when 8660 is taken) with a demo account, and the client under Wine
# on the current display, configured for that account. Quitting the client
# (tray menu, Quit) stops the server too.
#
# The demo account is made on the first run and kept in
# build/windows/run/demo-account (NAME:PASSWORD); its notes are kept in
# build/windows/run/pinleaf.db. The client's settings are
# build/windows/run/ini.ini, written on the first run (hotkey Ctrl+Shift+F9,
# Ctrl+C sent for you) and yours to change from then on.
#
# Without a display it runs one scripted snap on a virtual display instead:
# text typed into Wine's notepad, selected, the hotkey pressed; it prints what
# the server stored and where the screenshot is, and exits.
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)

scripts/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j2 --target textsnap
cmake --preset native >/dev/null
cmake --build --preset native -j2 --target pinleaf-server

build=$root/build/windows
# The program keeps ini.ini beside itself: run it from a folder of its own.
home=$build/run
mkdir -p "$home"
cp "$build/app/textsnap.exe" "$home/"
server=$root/build/native/service/pinleaf-server

# From here on every failure is handled where it happens.
set +e

account_file=$home/demo-account
if [ ! -s "$account_file" ]; then
  password=$(env LC_ALL=C.UTF-8 python3 -c 'import secrets; print("demo-" + secrets.token_urlsafe(9))')
  printf 'demo:%s\n' "$password" >"$account_file"
  chmod 600 "$account_file"
fi
account=$(head -1 "$account_file")
name=${account%%:*} password=${account#*:}

xvfb_pid=
source scripts/wine-snap.sh
stop() {
  snap_stop_server
  # Only the prefix of our own, once it is in use.
  [ "${WINEPREFIX:-}" = "$build/run-prefix" ] && wineserver -k 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null || true
}
trap stop EXIT

# The password goes to the server and into the client's settings from a file
# only its owner reads (a command line is visible to every local user).
(umask 077; printf '%s\n' "$password" >"$home/server-password")
# The client's default address first; any free port when it is taken.
snap_start_server "$server" "$home/pinleaf.db" "$home" --port 8660 --add-user "$name" --password-file "$home/server-password" ||
  snap_start_server "$server" "$home/pinleaf.db" "$home" --add-user "$name" --password-file "$home/server-password" || {
  echo "pinleaf-server did not start; see $home/server.log"
  exit 1
}
echo "pinleaf-server: $snap_url"

# The client is made for Japanese Windows: the prefix runs with code page 932.
prefix=$build/run-prefix
if [ -n "${DISPLAY:-}" ]; then
  source scripts/wine-prefix.sh "$prefix"
  ini=$home/ini.ini
  if [ ! -f "$ini" ]; then
    env LC_ALL=C.UTF-8 python3 scripts/write-ini.py "$ini" --url "$snap_url" --id "$name" --password-file "$home/server-password" \
      --hotkey 120 --modifiers 6 --autocopy 1
  else
    # Keep the user's settings; only follow the server to another port.
    sed -i "s|^ini_online_url=http://\(localhost\|127\.0\.0\.1\):[0-9]*/pinleaf2|ini_online_url=$snap_url|" "$ini"
  fi
  echo "demo account: $name  password: $password"
  echo "notes page:   $snap_url/notes (sign in with the demo account)"
  echo "text snap is in the notification area; right-click its icon for Settings... and Quit."
  echo "Select text in a program of the same Wine prefix, for instance"
  echo "  WINEPREFIX=$prefix wine notepad"
  echo "and press the hotkey (Ctrl+Shift+F9 unless you changed it)."
  (cd "$home" && wine ./textsnap.exe) || true
  exit 0
fi

# No display: one scripted snap, as the end-to-end test does it.
scripted=$build/run-snap
rm -rf "$scripted"; mkdir -p "$scripted"
cp "$build/app/textsnap.exe" "$scripted/"
env LC_ALL=C.UTF-8 python3 scripts/write-ini.py "$scripted/ini.ini" --url "$snap_url" --id "$name" --password-file "$home/server-password" \
  --hotkey 120 --modifiers 6 --autocopy 1

source scripts/xvfb.sh
start_xvfb 1024x768x24 || { echo "Xvfb did not start"; exit 1; }
source scripts/wine-prefix.sh "$prefix"

tray_shown() { xdotool search --onlyvisible --name "Wine System Tray" >/dev/null 2>&1; }
count_is_more() { [ "$(snap_note_count "$home/pinleaf.db" "$name")" -gt "$1" ]; }

before=$(snap_note_count "$home/pinleaf.db" "$name")
(cd "$scripted" && exec wine ./textsnap.exe >"$scripted/wine.log" 2>&1) &
wait_for 90 tray_shown || { echo "textsnap.exe did not show its tray icon"; exit 1; }
sleep 2
snap_start_notepad "$scripted/wine.log" || { echo "notepad did not start"; exit 1; }
text="Hello from text snap at $(date '+%H:%M:%S') - こんにちは"
snap_type "$text"
# shellcheck disable=SC2119  # the hotkey is optional
snap_press
shot=$build/run-screenshot.png
if wait_for 40 count_is_more "$before"; then
  sleep 3  # Wine shows the balloon about two seconds after it is asked for
  import -window root "$shot"
  echo "no display: ran one snap on a virtual one (Ctrl+Shift+F9 over a selection in notepad)."
  echo "pinleaf-server stored for $name:"
  snap_sql -line "$home/pinleaf.db" "SELECT notes.title, notes.body, notes.color, notes.paper_id,
      datetime(notes.received_ms / 1000, 'unixepoch') AS received_utc
      FROM notes JOIN users ON users.id = notes.user_id WHERE users.name = '$name'
      ORDER BY notes.id DESC LIMIT 1;"
  echo "screenshot: $shot"
  echo "notes page: $snap_url/notes (demo account $name, password $password; the server stops now)"
else
  import -window root "$shot"
  echo "the snap did not reach the server; screenshot: $shot, server log: $home/server.log"
  exit 1
fi
