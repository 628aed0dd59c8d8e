#!/usr/bin/env bash
# Builds text snap for Windows and starts it under Wine on the current display.
# Without a display it runs on a virtual one for a few seconds, saves a
# screenshot (build/windows/run-screenshot.png) and stops again.
#
#   ./run.sh            start the client (and, once it is part of the build, the
#                       local pinleaf-server it talks to by default)
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)

scripts/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j2 --target textsnap

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

# The note service the client uses by default, when the build has it.
server=$root/build/native/service/pinleaf-server
if [ -x "$server" ]; then
  "$server" &
  server_pid=$!
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
