# shellcheck shell=bash  # sourced
# Sourced by run.sh and tests/e2e/run.sh: points Wine at a prefix of its own
# and prepares it to run textsnap.exe as on Japanese Windows.
#   source scripts/wine-prefix.sh PREFIX
export WINEPREFIX=$1
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# Without a sound card Wine's ALSA driver has alsa-lib print sixteen lines of
# complaints at every cue. There is nothing to play on then: the driver is not
# loaded (a sound server, where there is one, is still used).
if ! grep -qs '^ *[0-9]' /proc/asound/cards && [ ! -e /etc/asound.conf ] && [ ! -e "$HOME/.asoundrc" ]; then
  WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winealsa.drv=d"
fi
# The Japanese code page (932); Wine takes it from these names even where the
# system has no such locale installed.
{ export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8; } 2>/dev/null  # the shell itself may lack the locale
if [ ! -f "$WINEPREFIX/.textsnap-ready" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  # Message boxes and menus use the system's UI fonts, which lack Japanese
  # glyphs under Wine: draw them with the IPA Gothic font instead.
  for face in Tahoma "MS UI Gothic" "MS Shell Dlg" "MS Shell Dlg 2"; do
    wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /d "IPAPGothic" /f >/dev/null 2>&1 || true
  done
  wineserver -w 2>/dev/null || true
  touch "$WINEPREFIX/.textsnap-ready"
fi
