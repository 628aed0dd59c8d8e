#!/usr/bin/env bash
# Builds text snap for Windows and pinleaf-server, starts the server on its
# default address (http://localhost:8660/pinleaf2, the client's default
# service) and the client under Wine on the current display. Quitting the
# client (tray menu, Quit) stops the server too. Without a display the client
# runs on a virtual one for a few seconds, a screenshot is saved
# (build/windows/run-screenshot.png) and everything stops again.
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

# The client is made for Japanese Windows: the prefix runs with code page 932.
source scripts/wine-prefix.sh "$build/run-prefix"

server_pid=
stop() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
}
trap stop EXIT

# The note service the client uses by default; sign up from the settings
# window (CREATE ID) or add an account with
#   build/native/service/pinleaf-server --db build/windows/run/pinleaf.db --add-user NAME:PASSWORD
server=$root/build/native/service/pinleaf-server
"$server" --db "$home/pinleaf.db" >"$home/pinleaf-server.out" 2>"$home/pinleaf-server.log" &
server_pid=$!
for _ in $(seq 100); do
  grep -q "listening" "$home/pinleaf-server.out" 2>/dev/null && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.2
done
if grep -q "listening" "$home/pinleaf-server.out" 2>/dev/null; then
  head -1 "$home/pinleaf-server.out"
else
  echo "pinleaf-server did not start (see $home/pinleaf-server.log; is port 8660 taken?): the client runs without it"
  server_pid=
fi

if [ -n "${DISPLAY:-}" ]; then
  echo "text snap is in the notification area; right-click its icon for Settings... and Quit."
  (cd "$home" && wine ./textsnap.exe)
else
  shot=$build/run-screenshot.png
  xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    cd "$1" && wine ./textsnap.exe & app=$!
    sleep 15
    import -window root "$2"
    kill $app 2>/dev/null
    wineserver -k 2>/dev/null
    wait' _ "$home" "$shot"
  echo "no display: ran on a virtual one; screenshot in $shot"
fi
