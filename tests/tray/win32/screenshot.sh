#!/bin/sh
# Shows a balloon at a real tray icon under Wine and saves a picture of the
# screen. $1 the wine runner, $2 the tray test program, $3 the picture,
# $4 the result file (gtest's XML form, one case).
# Needs a display (xvfb-run) and ImageMagick's import.
set -u
results=$4
log=$(mktemp)

finish() {  # status, message
  if [ "$1" -eq 0 ]; then
    body='<testcase name="BalloonPicture" status="run" result="completed" classname="TrayScreenshot"/>'
  else
    body="<testcase name=\"BalloonPicture\" status=\"run\" result=\"completed\" classname=\"TrayScreenshot\"><failure message=\"$2\"/></testcase>"
  fi
  printf '<?xml version="1.0" encoding="UTF-8"?>\n<testsuites tests="1"><testsuite name="TrayScreenshot" tests="1">%s</testsuite></testsuites>\n' "$body" >"$results"
  echo "$2"
  rm -f "$log"
  exit "$1"
}

TS_TRAY_HOLD_MS=6000 "$1" "$2" --gtest_filter='*GivenBalloon*' >"$log" 2>&1 &
pid=$!
i=0
while ! grep -q "balloon shown" "$log"; do
  i=$((i + 1))
  if [ $i -gt 600 ] || ! kill -0 $pid 2>/dev/null; then
    cat "$log"
    finish 1 "the balloon was never shown"
  fi
  sleep 0.1
done
sleep 2
import -window root "$3"
wait $pid || finish 1 "the tray test failed"
# An empty screen is one colour; the tray window with its balloon and text is many.
colours=$(convert "$3" -format %k info: 2>/dev/null || echo 0)
[ "$colours" -gt 20 ] || finish 1 "$3 shows nothing ($colours colours)"
finish 0 "$3: $colours colours"
