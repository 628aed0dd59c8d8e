#!/usr/bin/env bash
# The settings window's cases of the app suite (WineSettingsWindow.*) under
# Wine at 96, 120, 144 and 192 dpi, the prefix's LogPixels set to each in
# turn, and a picture of the window at 144 dpi.
#   $1 the build folder, $2 test_app.exe, $3 the result file (gtest's XML:
#   every case at every dpi, and the picture), $4 the picture (PNG).
# Needs Xvfb, xdotool and ImageMagick's import. It runs on a display of its
# own, large enough for the window at 192 dpi, and in a Wine prefix of its own
# (build/windows/wineprefix-dpi): the other suites keep 96 dpi.
set -u
build=$1 exe=$2 results=$3 shot=$4
export WINEPREFIX="$build/wineprefix-dpi" WINEDEBUG=-all
export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
work=$(mktemp -d)
xvfb_pid=
trap 'wineserver -k 2>/dev/null; [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null; rm -rf "$work"' EXIT
# shellcheck source=../../../scripts/xvfb.sh
source "$(dirname "$0")/../../../scripts/xvfb.sh"
start_xvfb 1280x1024x24 || { echo "Xvfb did not start"; exit 1; }

if [ ! -f "$WINEPREFIX/.created" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  touch "$WINEPREFIX/.created"
fi

picture=failed
for dpi in 96 120 144 192; do
  # Read when the prefix's server starts: the last one must have ended.
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
  wineserver -w 2>/dev/null
  log=$work/$dpi.log
  if [ "$dpi" -ne 144 ]; then
    TS_EXPECT_DPI=$dpi wine "$exe" --gtest_filter='WineSettingsWindow.*' --gtest_output="xml:Z:$work/$dpi.xml" \
      >"$log" 2>&1
  else
    # The window is held on screen for a while for its picture.
    TS_EXPECT_DPI=$dpi TS_HOLD_MS=5000 wine "$exe" --gtest_filter='WineSettingsWindow.*' \
      --gtest_output="xml:Z:$work/$dpi.xml" >"$log" 2>&1 &
    pid=$!
    i=0
    while ! grep -q "settings window shown" "$log" && kill -0 $pid 2>/dev/null && [ $i -lt 600 ]; do
      i=$((i + 1))
      sleep 0.1
    done
    sleep 1
    window=$(xdotool search --onlyvisible --name '^setting$' 2>/dev/null | head -n 1)
    if [ -n "$window" ] && import -window "$window" "$shot" 2>/dev/null; then
      picture=$(convert "$shot" -format '%wx%h' info: 2>/dev/null)
    fi
    wait $pid
  fi
  grep -E "settings window at|Failure|FAILED|overlap|cut|wider" "$log" | sed "s/^/$dpi dpi: /"
done

# One result file: each case once per dpi; a run that left no results is a
# failure of its own, as is a missing picture.
python3 - "$work" "$results" "$picture" "$shot" <<'EOF'
import os, sys, xml.etree.ElementTree as ET
from xml.sax.saxutils import quoteattr
work, results, picture, shot = sys.argv[1:]
cases = []
for dpi in (96, 120, 144, 192):
    path = os.path.join(work, f"{dpi}.xml")
    try:
        root = ET.parse(path).getroot()
    except (OSError, ET.ParseError):
        cases.append((f"RunAt{dpi}Dpi", "the cases left no results (crashed or did not start)"))
        continue
    for case in root.iter("testcase"):
        failure = case.find("failure")
        cases.append((f"{case.get('name')}At{dpi}Dpi", failure.get("message") if failure is not None else None))
# At 144 dpi the window's client area is 731 x 663 pixels, with its frame around it.
ok = picture != "failed" and int(picture.split("x")[0]) >= 731
cases.append(("PictureAt144Dpi", None if ok else f"no picture of the window ({picture})"))
body = "".join(
    f'<testcase name={quoteattr(n)} status="run" result="completed" classname="SettingsWindowAtDpi">'
    + (f"<failure message={quoteattr(m)}/>" if m else "") + "</testcase>" for n, m in cases)
with open(results, "w", encoding="utf-8") as f:
    f.write('<?xml version="1.0" encoding="UTF-8"?>\n'
            f'<testsuites tests="{len(cases)}"><testsuite name="SettingsWindowAtDpi" tests="{len(cases)}">'
            f"{body}</testsuite></testsuites>\n")
failed = [n for n, m in cases if m]
print(f"{shot}: {picture}" if ok else "no picture")
print(f"settings window at 96, 120, 144, 192 dpi: {len(cases) - len(failed)} passed, {len(failed)} failed")
sys.exit(1 if failed else 0)
EOF
