#!/usr/bin/env bash
# The Windows packages under Wine, each case in a fresh prefix (copied from
# one prepared at the start): the silent install (files, shortcut, Run key,
# uninstall entry) and the installed program in the tray; an upgrade over an
# older install while it runs (ini.ini kept, program replaced and started
# again); the silent uninstall (all gone but the settings); an install and an
# uninstall through their Japanese pages, told not to keep the settings (all
# gone), and the English pages; the portable zip;
# a read-only program folder (settings under %APPDATA%, Quit works); a second
# start, and two at once (one instance stays); a folder and file name with 0x5C trail bytes;
# signed packages (a build of their own with a certificate and a time-stamp
# server made for the case: every signature verified with osslsigncode).
# Needs the windows preset's "package" target built. Arguments name the cases
# to run (install upgrade uninstall pages portable read_only second_start
# trail_bytes signed; all by default). Prints
# "packaging: N passed, N failed" last; exits non-zero on any failure. Every
# process it starts is stopped again.
# Checks and waits call their functions by name (check NAME FUNCTION, wait_for
# N FUNCTION, trap), which shellcheck takes for unreachable code.
# shellcheck disable=SC2317
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${TS_WINDOWS_BUILD:-$root/build/windows}
work=$build/packaging-test
source "$root/scripts/checks.sh"
finish() { finish_checks packaging; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt" 2>/dev/null)
setup=$build/packaging/textsnap-setup-$version.exe
portable=$build/packaging/textsnap-$version-portable.zip
exe=$build/app/textsnap.exe
for f in "$setup" "$portable" "$exe"; do
  [ -f "$f" ] || { echo "no $f: build the windows preset's package target first"; failed=1; finish; }
done
for tool in Xvfb xdotool wine makensis unzip unshare strings x86_64-w64-mingw32-objdump osslsigncode openssl; do
  command -v $tool >/dev/null || { echo "missing $tool"; failed=1; finish; }
done

# A case may run inside a mount namespace of its own (the read-only folder):
# the script calls itself there with the case's name.
if [ "${1:-}" = "--in-namespace" ]; then in_namespace=1; shift; else in_namespace=; fi

window_shown() { xdotool search --onlyvisible --name "$1" >/dev/null 2>&1; }
tray_shown() { window_shown "Wine System Tray"; }
# Processes of the program (textsnap.exe unless named) in this case's prefix:
# other Wine programs on the machine are none of our business.
pids() {
  local p
  for p in $(pgrep -f "${1:-textsnap\.exe}"); do
    tr '\0' '\n' 2>/dev/null <"/proc/$p/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" && echo "$p"
  done
}
running_is() { [ "$(pids "${2:-}" | wc -l)" -eq "$1" ]; }
# A choice from the tray menu by its keys, as a user makes it: Quit is the
# last entry, Settings... the first.
tray_menu() {
  local tray
  tray=$(xdotool search --onlyvisible --name "Wine System Tray" | head -1)
  [ -n "$tray" ] || return 1
  eval "$(xdotool getwindowgeometry --shell "$tray")"
  xdotool mousemove $((X + 9)) $((Y + 10)) click 3
  sleep 1
  xdotool key "$@"
}
tray_quit() { tray_menu Up Return; }
tray_open_settings() { tray_menu Down Return; }
reg_value() {  # key, value name
  wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}
has_line() { [ -f "$1" ] && tr -d '\r' <"$1" | grep -qx "$2"; }
same_file() { cmp -s "$1" "$2"; }
absent() { [ ! -e "$1" ]; }
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\textsnap'
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'

# ---- one case: a fresh prefix copied from the template, its paths, and
# everything of the prefix stopped at the end.
user=$(id -un)
new_prefix() {  # case name
  export WINEPREFIX=$work/prefix-$1
  rm -rf "$WINEPREFIX"
  cp -a "$work/template" "$WINEPREFIX"
  # Wine finds a prefix's server by the folder's inode: the last case's
  # folder goes only now, so this one never takes over its number (and with
  # it a server of the last case that may still be ending).
  rm -rf "$work"/retired-*
  profile=$WINEPREFIX/drive_c/users/$user
  inst=$profile/AppData/Local/Programs/text\ snap
  roaming=$profile/AppData/Roaming
  shortcut=$roaming/Microsoft/Windows/Start\ Menu/Programs/text\ snap.lnk
  winst="C:\\users\\$user\\AppData\\Local\\Programs\\text snap"
}
# Every program of the prefix ended, and its Wine server gone.
stop_wine() {
  wineserver -k 2>/dev/null
  timeout 30 wineserver -w 2>/dev/null
}
end_prefix() {
  stop_wine
  mv "$WINEPREFIX" "$work/retired-${WINEPREFIX##*/}"
}
start_in() {  # unix folder, program file name
  (cd "$1" && exec wine "./$2" >>"$work/wine.log" 2>&1) &
}

entry_complete() {
  [ "$(reg_value "$uninstall_key" Publisher)" = "text snap project" ] &&
    [ "$(reg_value "$uninstall_key" DisplayIcon)" = "$winst\\textsnap.exe,0" ] &&
    [ "$(reg_value "$uninstall_key" UninstallString)" = "\"$winst\\uninstall.exe\"" ]
}

case_install() {
  echo "-- silent install"
  new_prefix install
  check "the installer is a 64-bit Windows program" sh -c "file '$setup' | grep -q 'PE32+.*x86-64'"
  check "... that asks for no administrator rights" \
    sh -c "grep -aq 'requestedExecutionLevel level=\"asInvoker\"' '$setup'"
  check "textsnap.exe opens no console window" \
    sh -c "x86_64-w64-mingw32-objdump -p '$exe' | grep -q 'Subsystem.*(Windows GUI)'"
  check "... and carries the project's version ($version) in its version resource" \
    sh -c "strings -el '$exe' | grep -A1 -x FileVersion | grep -qx '$version.0'"
  check "the silent install ends by itself" timeout 120 wine "$setup" /S
  check "... puts the program into %LOCALAPPDATA%\\Programs\\text snap" same_file "$inst/textsnap.exe" "$exe"
  check "... with its readme and its uninstaller" test -f "$inst/readme.txt" -a -f "$inst/uninstall.exe"
  check "... a Start-menu shortcut" test -f "$shortcut"
  check "... the start at sign-in (the user's Run key)" \
    test "$(reg_value "$run_key" "text snap")" = "\"$winst\\textsnap.exe\""
  check "... and an entry in the installed programs with the version" \
    test "$(reg_value "$uninstall_key" DisplayVersion)" = "$version"
  check "... publisher, icon and uninstaller" entry_complete
  installed_kib=$(du -sk "$inst" | cut -f1)
  echo "     installer $(stat -c %s "$setup") bytes, installed $installed_kib KiB"
  # Started as the Run key starts it.
  (cd "$inst" && exec wine "$winst\\textsnap.exe" >>"$work/wine.log" 2>&1) &
  check "the installed program starts into the tray" wait_for 60 tray_shown
  sleep 1
  tray_quit
  check "... quits from its menu" wait_for 20 running_is 0
  check "... and keeps its settings beside itself, in a folder the user can write" test -f "$inst/ini.ini"
  end_prefix
}

# An older build of the same program: a different file, a lower version.
make_older() {
  cp "$exe" "$work/older/textsnap.exe"
  printf 'an older build' >>"$work/older/textsnap.exe"  # after the image: still runs
  makensis -V1 -INPUTCHARSET UTF8 -DVERSION=1.0.0 -DEXE="$work/older/textsnap.exe" \
    -DICON="$build/app/textsnap.ico" -DREADME="$build/packaging/readme.txt" \
    -DOUTFILE="$work/older/textsnap-setup-1.0.0.exe" "$root/packaging/textsnap.nsi" >/dev/null
}

case_upgrade() {
  echo "-- upgrade over a running older install"
  new_prefix upgrade
  mkdir -p "$work/older"
  check "an older installer (1.0.0) is made" make_older
  timeout 120 wine "$work/older/textsnap-setup-1.0.0.exe" /S
  printf '[globalsetting]\r\nini_online_id=keep-me\r\n[setting]\r\nhotkey=120\r\nhotkey_shift=6\r\n' >"$inst/ini.ini"
  (cd "$inst" && exec wine "$winst\\textsnap.exe" >>"$work/wine.log" 2>&1) &
  check "the older program runs" wait_for 60 tray_shown
  sleep 1
  local old
  old=$(pids | head -1)
  check "the newer installer runs over it silently" timeout 120 wine "$setup" /S
  check "... replaces the program" same_file "$inst/textsnap.exe" "$exe"
  check "... ended the older program" sh -c "[ -n '$old' ] && ! kill -0 '$old' 2>/dev/null"
  check "... keeps ini.ini" has_line "$inst/ini.ini" "ini_online_id=keep-me"
  # The older program closed cleanly and saved every key, not only those it read.
  check "... which the closing program saved, whole" has_line "$inst/ini.ini" "hotkey_autocopy=1"
  check "... with its hotkey as it was" has_line "$inst/ini.ini" "hotkey=120"
  check "... starts the new program again" wait_for 30 running_is 1
  check "... and records the new version" test "$(reg_value "$uninstall_key" DisplayVersion)" = "$version"
  check "... keeping the start at sign-in" test -n "$(reg_value "$run_key" "text snap")"
  end_prefix
}

case_uninstall() {
  echo "-- silent uninstall"
  new_prefix uninstall
  timeout 120 wine "$setup" /S
  printf '[globalsetting]\r\nini_online_id=mine\r\n' >"$inst/ini.ini"
  (cd "$inst" && exec wine "$winst\\textsnap.exe" >>"$work/wine.log" 2>&1) &
  wait_for 60 tray_shown
  sleep 1
  # With its settings window open, where a close request only closes that window.
  tray_open_settings
  check "the program's settings window is open" wait_for 15 window_shown '^setting$'
  # The uninstaller runs from a copy of itself and returns at once.
  wine "$inst/uninstall.exe" /S
  check "the silent uninstall removes the program and the uninstaller" \
    wait_for 60 sh -c "[ ! -e '$inst/textsnap.exe' ] && [ ! -e '$inst/uninstall.exe' ]"
  check "... and the readme" absent "$inst/readme.txt"
  check "... ends the running program, its settings window open" wait_for 20 running_is 0
  check "... removes the shortcut" absent "$shortcut"
  check "... the Run key value" test -z "$(reg_value "$run_key" "text snap")"
  check "... and the installed-programs entry" sh -c "! wine reg query '$uninstall_key' >/dev/null 2>&1"
  check "... but keeps the settings (a silent uninstall keeps them)" has_line "$inst/ini.ini" "ini_online_id=mine"
  check "... which the program saved as it closed" has_line "$inst/ini.ini" "hotkey_autocopy=1"
  end_prefix
}

# ---- signed packages: a certificate and a time-stamp server of the case's
# own, a build of the package target configured with them.
signing_publisher="pinleaf labs"
make_certificate() {  # folder, name, password file
  openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=$2/O=$2" -addext "extendedKeyUsage=codeSigning" \
    -keyout "$1/$2.key" -out "$1/$2.pem" >/dev/null 2>&1 &&
    openssl pkcs12 -export -in "$1/$2.pem" -inkey "$1/$2.key" -out "$1/$2.p12" -passout "file:$3"
}
# Verifies the signature of a file against the case's certificate and its
# time-stamp against the server's, and that it was signed as the publisher.
signed_as_publisher() {
  osslsigncode verify -CAfile "$signing/$signing_publisher.pem" -TSA-CAfile "$signing/tsa/tsa.pem" -in "$1" \
    >"$1.verify" 2>&1 &&
    grep -q "Subject: /CN=$signing_publisher/O=$signing_publisher" "$1.verify" &&
    grep -q "^Timestamp Server Signature verification: ok" "$1.verify"
}
# The value of a string of a program's version resource.
version_string() {  # file, name
  strings -el "$1" | grep -A1 -x "$2" | sed -n 2p
}
# sign.sh by itself on a copy of the program, configured by the arguments.
sign_copy() {  # VAR=value...
  cp "$exe" "$signing/copy.exe"
  env "$@" TS_SIGN_PUBLISHER="$signing_publisher" sh "$root/packaging/sign.sh" "$signing/copy.exe" >>"$signing/sign.log" 2>&1
}

case_signed() {
  echo "-- signed packages"
  signing=$work/signing
  rm -rf "$signing"
  mkdir -p "$signing"
  local secret port tsa
  secret=$(openssl rand -hex 12)
  (umask 077; printf '%s\n' "$secret" >"$signing/password")
  check "a code-signing certificate is made for '$signing_publisher'" \
    make_certificate "$signing" "$signing_publisher" "$signing/password"
  make_certificate "$signing" "someone else" "$signing/password"
  python3 "$root/tests/packaging/tsa.py" "$signing/tsa" >"$signing/tsa.out" 2>&1 &
  tsa=$!
  wait_for 30 grep -q '^port ' "$signing/tsa.out"
  port=$(sed -n 's/^port //p' "$signing/tsa.out")
  check "a time-stamp server answers on loopback" test -n "$port"
  # The password comes from the environment the build runs in.
  local sbuild=$signing/build
  check "the package target of a build configured to sign (password in the environment) ends well" sh -c "
    cmake --preset windows -S '$root' -B '$sbuild' -DTS_BUILD_TESTS=OFF '-DTEXTSNAP_PUBLISHER=$signing_publisher' \
      '-DTEXTSNAP_SIGN_PKCS12=$signing/$signing_publisher.p12' -DTEXTSNAP_SIGN_PASSWORD_ENV=TS_TEST_SIGNING_PASSWORD \
      -DTEXTSNAP_SIGN_TIMESTAMP_URL=http://127.0.0.1:$port/ >'$signing/configure.log' 2>&1 &&
    TS_TEST_SIGNING_PASSWORD='$secret' cmake --build '$sbuild' -j2 --target package >'$signing/build.log' 2>&1"
  check "... and says its packages are signed" grep -q "textsnap-setup-$version.exe: signed with" "$signing/build.log"
  local ssetup=$sbuild/packaging/textsnap-setup-$version.exe
  check "the installer's signature and time-stamp verify against the certificates" signed_as_publisher "$ssetup"
  mkdir -p "$signing/zip"
  unzip -q -o "$sbuild/packaging/textsnap-$version-portable.zip" -d "$signing/zip"
  check "... so do those of textsnap.exe in the portable zip" signed_as_publisher "$signing/zip/textsnap.exe"
  check "... not against a certificate of another name" \
    sh -c "! osslsigncode verify -CAfile '$signing/someone else.pem' -in '$ssetup' >/dev/null 2>&1"
  new_prefix signed
  check "the signed installer installs silently" timeout 120 wine "$ssetup" /S
  check "... a signed textsnap.exe" signed_as_publisher "$inst/textsnap.exe"
  check "... and the uninstaller it wrote is signed too (!uninstfinalize)" signed_as_publisher "$inst/uninstall.exe"
  check "... with the certificate's name as the publisher of the installed-programs entry" \
    test "$(reg_value "$uninstall_key" Publisher)" = "$signing_publisher"
  check "... in textsnap.exe's version resource (CompanyName)" \
    test "$(version_string "$inst/textsnap.exe" CompanyName)" = "$signing_publisher"
  check "... and in the installer's" test "$(version_string "$ssetup" CompanyName)" = "$signing_publisher"
  end_prefix
  kill "$tsa" 2>/dev/null
  wait "$tsa" 2>/dev/null

  # The signing script alone: the password from a file; refusals.
  check "the password may come from a file" \
    sign_copy TS_SIGN_PKCS12="$signing/$signing_publisher.p12" TS_SIGN_PASSWORD_FILE="$signing/password"
  check "... and the copy verifies (without a time-stamp)" \
    osslsigncode verify -CAfile "$signing/$signing_publisher.pem" -in "$signing/copy.exe" >/dev/null 2>&1
  check "a certificate issued to another name than the publisher is refused" \
    sh -c "! TS_SIGN_PKCS12='$signing/someone else.p12' TS_SIGN_PASSWORD_FILE='$signing/password' \
      TS_SIGN_PUBLISHER='$signing_publisher' sh '$root/packaging/sign.sh' '$signing/copy.exe' 2>'$signing/refused.log'"
  check "... saying why" grep -q "issued to 'someone else', not to the publisher" "$signing/refused.log"
  printf 'wrong\n' >"$signing/wrong"
  check "a wrong password fails the signing" \
    sh -c "! TS_SIGN_PKCS12='$signing/$signing_publisher.p12' TS_SIGN_PASSWORD_FILE='$signing/wrong' \
      TS_SIGN_PUBLISHER='$signing_publisher' sh '$root/packaging/sign.sh' '$signing/copy.exe' 2>/dev/null"
  # The suite's own packages come from a build configured without a certificate.
  check "a build without a certificate makes unsigned packages" \
    sh -c "! osslsigncode verify -in '$setup' >/dev/null 2>&1"
  check "... and says so" sh -c "cmake '$build' 2>&1 | grep -q 'Windows packages: not signed'"
}

# The titles of the visible windows, one a line.
shown_titles() {
  local w
  for w in $(xdotool search --onlyvisible --name . 2>/dev/null); do xdotool getwindowname "$w" 2>/dev/null; done
}
# At least N (1 unless given) visible windows whose titles begin with the
# text (xdotool's own pattern match knows no multibyte text without a locale).
window_titled() {  # text, N
  [ "$(shown_titles | awk -v text="$1" 'index($0, text) == 1' | wc -l)" -ge "${2:-1}" ]
}
# What is on the screen, when a window looked for is not.
shown_windows() {
  shown_titles | sed 's/^/       shown: /'
  echo "       running in the prefix: $(pids 'wine|\.exe' | wc -l) processes"
}
# Enter on the page shown now, and a moment for the next one.
next_page() { xdotool key Return && sleep 3; }

case_pages() {
  echo "-- installer and uninstaller with their pages"
  new_prefix pages
  # The prefix runs as Japanese Windows (see wine-prefix.sh).
  start_in "${setup%/*}" "${setup##*/}"
  if ! wait_for 60 window_titled "Installer Language" && [ -z "$(pids textsnap-setup)" ]; then
    # Under Wine a program now and then ends at once, never started: once more, said.
    echo "     (the installer ended without showing a window; started once more)"
    start_in "${setup%/*}" "${setup##*/}"
  fi
  check "the installer offers its languages" wait_for 60 window_titled "Installer Language" ||
    shown_windows
  next_page
  check "... and shows its pages in Japanese on a Japanese system" wait_for 30 window_titled "text snap セットアップ"
  # Welcome, components (both checked), folder (Install), finish (Run checked).
  next_page; next_page; next_page
  check "an install through its pages puts the program in place" wait_for 60 test -f "$inst/textsnap.exe"
  # (the start at sign-in is the last part installed)
  check "... with the start at sign-in checked" wait_for 30 sh -c "wine reg query '$run_key' /v 'text snap' >/dev/null 2>&1"
  sleep 3  # for the finish page
  next_page
  check "... and its finish page starts the program" wait_for 60 running_is 1
  wait_for 60 tray_shown
  sleep 1
  mkdir -p "$roaming/text snap"
  printf '[globalsetting]\r\nini_online_id=other-place\r\n' >"$roaming/text snap/ini.ini"
  # What a write cut short leaves (a crash between the write and the rename).
  : >"$roaming/text snap/outbox.dat"
  : >"$roaming/text snap/history.dat.tmp"
  start_in "$inst" uninstall.exe
  check "the uninstaller shows its pages in Japanese" wait_for 60 window_titled "text snap アンインストール" ||
    shown_windows
  next_page  # the confirmation page: Uninstall
  check "... ends the running program" wait_for 20 running_is 0
  # Asked whether to keep the settings (a box over the pages): No.
  wait_for 30 window_titled "text snap アンインストール" 2
  xdotool key n && sleep 3
  next_page  # Close
  check "... and, told not to keep the settings, leaves no folder of the program" \
    wait_for 30 sh -c "[ ! -e '$inst' ] && [ ! -e '$roaming/text snap' ]"
  check "... nor its shortcut" absent "$shortcut"
  check "... its Run key value" test -z "$(reg_value "$run_key" "text snap")"
  check "... or its installed-programs entry" sh -c "! wine reg query '$uninstall_key' >/dev/null 2>&1"
  stop_wine
  # The same installer on an English system.
  # shellcheck disable=SC2030  # the English locale is for this start only
  ({ export LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8; } 2>/dev/null; start_in "${setup%/*}" "${setup##*/}")
  wait_for 60 window_titled "Installer Language"
  next_page
  check "the installer shows its pages in English on an English system" window_titled "text snap Setup"
  end_prefix
}

case_portable() {
  echo "-- portable zip"
  new_prefix portable
  local dir=$WINEPREFIX/drive_c/portable
  mkdir -p "$dir"
  check "the zip unpacks" unzip -q "$portable" -d "$dir"
  # shellcheck disable=SC2012  # the names are plain; the listing is what is compared
  check "... into the program and a short readme, nothing else" \
    test "$(cd "$dir" && ls | tr '\n' ' ')" = "readme.txt textsnap.exe "
  start_in "$dir" textsnap.exe
  check "the unpacked program starts into the tray" wait_for 60 tray_shown
  sleep 1
  tray_quit
  check "... quits" wait_for 20 running_is 0
  check "... with its settings beside itself" test -f "$dir/ini.ini"
  check "... and none in the user's folder" absent "$roaming/text snap"
  end_prefix
}

case_read_only() {
  echo "-- read-only program folder"
  new_prefix read-only
  local dir=$work/read-only
  rm -rf "$dir"; mkdir -p "$dir"
  cp "$exe" "$dir/"
  printf '[globalsetting]\r\nini_online_id=preset\r\n' >"$dir/ini.ini"
  # Even root cannot write to a read-only mount.
  if ! { mount --bind "$dir" "$dir" && mount -o remount,bind,ro "$dir"; }; then check "a read-only mount" false; return; fi
  check "the folder is read-only" sh -c "! touch '$dir/probe' 2>/dev/null"
  start_in "$dir" textsnap.exe
  check "the program starts from a read-only folder" wait_for 60 tray_shown
  check "... and makes %APPDATA%\\text snap at once (for notes kept before any save)" test -d "$roaming/text snap"
  sleep 1
  tray_quit
  check "... Quit ends it (the settings could be saved)" wait_for 20 running_is 0
  check "... without an error box" sh -c "! xdotool search --onlyvisible --name '^text snap for pinleaf online\$' >/dev/null 2>&1"
  check "... into %APPDATA%\\text snap\\ini.ini, read from the file beside the program" \
    has_line "$roaming/text snap/ini.ini" "ini_online_id=preset"
  umount "$dir"
  end_prefix
}

# White pixels in the balloon's place below the tray (the screen is black).
balloon_pixels() {
  local tray
  tray=$(xdotool search --onlyvisible --name "Wine System Tray" | head -1)
  eval "$(xdotool getwindowgeometry --shell "$tray")"
  import -window root png:- 2>/dev/null |
    convert - -crop 200x80+"$X"+$((Y + 20)) +repage -fuzz 10% -fill red -opaque white txt:- 2>/dev/null |
    grep -ci '#FF0000'
}
balloon_grew() {
  local now
  now=$(balloon_pixels)
  echo "     balloon area: $1 white pixels before, $now now" >>"$work/balloon.log"
  [ "$now" -gt $(($1 + 2000)) ]
}

case_second_start() {
  echo "-- second start"
  new_prefix second
  local dir=$WINEPREFIX/drive_c/portable
  mkdir -p "$dir" && cp "$exe" "$dir/"
  start_in "$dir" textsnap.exe
  wait_for 60 tray_shown
  sleep 1
  local before
  before=$(balloon_pixels)
  check "a second start ends by itself" timeout 30 sh -c "cd '$dir' && wine ./textsnap.exe >>'$work/wine.log' 2>&1"
  # Wine shows a balloon about two seconds after it is asked for.
  check "... after the running one shows its balloon" wait_for 10 balloon_grew "$before"
  import -window root "$work/second-start.png" 2>/dev/null
  check "... leaving exactly one running program" running_is 1
  tray_quit
  wait_for 20 running_is 0
  # Two starts at once (the Run key at sign-in and a double-click): the one
  # that comes second waits for the first one's window, tells it and ends.
  start_in "$dir" textsnap.exe
  start_in "$dir" textsnap.exe
  check "two starts at once leave one program in the tray" wait_for 60 tray_shown
  sleep 6
  check "... and one process" running_is 1
  tray_quit
  check "... which Quit ends" wait_for 20 running_is 0
  end_prefix
}

case_trail_bytes() {
  echo "-- folder and program names with 0x5C trail bytes"
  new_prefix trail
  # Wine takes a file's name from the system's locale, which has no Japanese
  # one here: a private one, for this case's processes only.
  if [ ! -d "$work/locale/ja_JP.UTF-8" ]; then
    mkdir -p "$work/locale"
    localedef -i ja_JP -f UTF-8 "$work/locale/ja_JP.UTF-8" >/dev/null 2>&1
  fi
  export LOCPATH=$work/locale
  # "ソフト表" and "スナップ表": "ソ" and "表" end in 0x5C in code page 932.
  local dir=$WINEPREFIX/drive_c/ソフト表
  mkdir -p "$dir" && cp "$exe" "$dir/スナップ表.exe"
  start_in "$dir" スナップ表.exe
  check "the program starts from there" wait_for 60 tray_shown
  sleep 1
  tray_quit
  check "... quits" wait_for 20 running_is 0 '表\.exe'
  check "... with ini.ini beside itself" test -f "$dir/ini.ini"
  # shellcheck disable=SC2012  # the names are plain; the listing is what is compared
  check "... and nothing else there (no file under a cut name)" \
    test "$(cd "$dir" && ls | tr '\n' ' ')" = "ini.ini スナップ表.exe "
  end_prefix
  unset LOCPATH
}

if [ -n "$in_namespace" ]; then
  # Called by ourselves with the display and the template ready.
  "case_$1"
  echo "namespace: $passed $failed"
  exit 0
fi

mkdir -p "$work"
: >"$work/wine.log"
xvfb_pid=
cleanup() {
  [ -n "${WINEPREFIX:-}" ] && wineserver -k 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
}
trap cleanup EXIT

start_xvfb || { echo "Xvfb did not start"; failed=1; finish; }

# The template: made once per run (the first start of a prefix is the slow part).
rm -rf "$work/template"
source "$root/scripts/wine-prefix.sh" "$work/template"
stop_wine

cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(install upgrade uninstall pages portable read_only second_start trail_bytes signed)
for name in "${cases[@]}"; do
  if [ "$name" = read_only ]; then
    # The read-only mount lives in a mount namespace of its own, so that
    # nothing outside sees it and it goes with the case.
    out=$(unshare -rm bash "$0" --in-namespace read_only 2>&1)
    echo "$out" | grep -v -e '^namespace: ' -e 'setlocale'
    read -r p f < <(echo "$out" | sed -n 's/^namespace: //p')
    passed=$((passed + ${p:-0})); failed=$((failed + ${f:-1}))
  else
    "case_$name"
  fi
done
unset WINEPREFIX
rm -rf "$work"/retired-*
finish
