#!/bin/sh
# Shows a balloon at a real tray icon under Wine and saves a picture of the
# screen: $1 the wine runner, $2 the tray test program, $3 the picture.
# Needs a display (xvfb-run) and ImageMagick's import.
set -u
log=$(mktemp)
TS_TRAY_HOLD_MS=6000 "$1" "$2" --gtest_filter='*GivenBalloon*' >"$log" 2>&1 &
pid=$!
i=0
while ! grep -q "balloon shown" "$log"; do
  i=$((i + 1))
  if [ $i -gt 600 ] || ! kill -0 $pid 2>/dev/null; then
    cat "$log"; rm -f "$log"; echo "the balloon was never shown"; exit 1
  fi
  sleep 0.1
done
sleep 2
import -window root "$3"
wait $pid
rc=$?
rm -f "$log"
[ $rc -eq 0 ] || exit $rc
# An empty screen is one colour; the tray window with its balloon and text is many.
colours=$(convert "$3" -format %k info:)
echo "$3: $colours colours"
[ "$colours" -gt 20 ]
