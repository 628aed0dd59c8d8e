#!/usr/bin/env bash
# What a user waits for, with the real programs on a private Xvfb display and
# pinleaf-server on loopback:
#  1. the hotkey to "complete!": the key event sent with xdotool over a
#     selection, to the notification on the session bus (the Linux client) or
#     to the balloon in Wine's tray (textsnap.exe, the balloon seen in Wine's
#     trace of its tooltips, as tests/e2e/run.sh sees it); over http and over
#     https with a pinned self-signed certificate. The first snap of each run
#     signs in and is given apart; the next ones each follow the one before
#     by six seconds (the client takes no snap within five seconds of the last).
#  2. the start-up to the tray: the Linux client to its StatusNotifierItem
#     registration on the session bus; textsnap.exe as the installer of the
#     windows preset's package target puts it into a Wine prefix of its own
#     (silently, /S), from the exec to its icon in Wine's tray, cold (Wine's
#     server and explorer stopped before) and warm (right after).
#  3. the program idle in the tray for a minute: its CPU time (utime + stime
#     of /proc/PID/stat) over that minute, and its resident set at the start
#     and at the end; the first --idle-runs start-ups are each followed by one.
#
#   bench/desktop.sh [--only linux,wine] [--repeats N] [--snaps N] [--idle SECONDS]
#                    [--idle-runs N] [--out-dir DIR] [--smoke]
#
# Builds what it needs (build/linux; build/windows-bench with the package
# target) unless TS_BENCH_NO_BUILD=1. Prints one line per figure: min / median
# / max over the runs, and the machine's load (1-minute average, min / median
# / max over the samples). --smoke: one start-up, two snaps, two seconds idle.
# Every process it starts is stopped again.
# Waits and traps call their functions by name, which shellcheck takes for
# unreachable code.
# shellcheck disable=SC2317
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"

only="linux,wine" repeats=5 snaps=8 idle=60 idle_runs=3 outdir="" session=0
while [ $# -gt 0 ]; do
  case "$1" in
    --only) only="$2"; shift ;;
    --repeats) repeats="$2"; shift ;;
    --snaps) snaps="$2"; shift ;;
    --idle) idle="$2"; shift ;;
    --idle-runs) idle_runs="$2"; shift ;;
    --out-dir) outdir="$2"; shift ;;
    --smoke) repeats=1 snaps=2 idle=2 idle_runs=1 ;;
    --linux-session) session=1 ;;
    *) echo "usage: $0 [--only linux,wine] [--repeats N] [--snaps N] [--idle SECONDS] [--idle-runs N] [--out-dir DIR] [--smoke]" >&2
       exit 2 ;;
  esac
  shift
done
part() { [[ ",$only," == *",$1,"* ]]; }

# ---- helpers of both parts ----
load1() { cut -d' ' -f1 /proc/loadavg; }
spread() { sort -g | awk '{v[NR]=$1} END {if (NR == 0) {printf "-"; exit} m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%s/%s/%s", v[1], m, v[NR]}'; }
ms_between() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.0f", (b - a) * 1000}'; }
# CPU seconds (utime + stime) of a process, and its resident set in KiB.
cpu_seconds() { awk -v hz="$(getconf CLK_TCK)" '{sub(/^.*\) /, ""); printf "%.2f", ($12 + $13) / hz}' "/proc/$1/stat"; }
rss_kib() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }
# Figures go to the file of the part: "figure<TAB>unit<TAB>min/median/max<TAB>load".
figure() {  # file, name, unit, values (newline separated), loads (newline separated)
  printf '%s\t%s\t%s\t%s\n' "$2" "$3" "$(printf '%s\n' "$4" | grep . | spread)" \
    "$(printf '%s\n' "$5" | grep . | spread)" >>"$1"
}
show() {  # file
  awk -F'\t' '{printf "%-78s %-20s %s | load %s\n", $1, $3, $2, $4}' "$1"
}
wait_until() {  # seconds, command...: polls every 5 ms
  local until=$((SECONDS + $1)); shift
  until "$@"; do
    [ $SECONDS -ge $until ] && return 1
    sleep 0.005
  done
}
make_certificate() {  # folder: a self-signed certificate for localhost; prints its SHA-256 pin
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=localhost \
    -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" -keyout "$1/key.pem" -out "$1/cert.pem" 2>/dev/null
  openssl x509 -in "$1/cert.pem" -noout -fingerprint -sha256 | sed 's/.*=//'
}
account=bench-user password='bench pass&word'

# =============================== the Linux client ===============================
# Runs inside a D-Bus session of its own (dbus-run-session), on its own display.
linux_session() {
  build=${TS_LINUX_BUILD:-$root/build/linux}
  exe=$build/app/textsnap
  server=$build/service/pinleaf-server
  work=$build/desktop-bench
  out=$work/figures.tsv
  # shellcheck source=../scripts/wine-snap.sh
  source "$root/scripts/wine-snap.sh"  # the server helpers
  rm -rf "$work"; mkdir -p "$work"
  : >"$out"
  xvfb_pid='' rec_pid='' sni_pid='' app_pid='' entry_pid=''
  cleanup() {
    for p in $entry_pid $app_pid $sni_pid $rec_pid $xvfb_pid; do kill "$p" 2>/dev/null || true; done
    snap_stop_server || true
    wait 2>/dev/null || true
  }
  trap cleanup EXIT
  exec 5<> <(:)
  Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  read -r -t 20 number <&5 || { echo "Xvfb did not start" >&2; return 1; }
  export DISPLAY=:$number XDG_SESSION_TYPE=x11 GDK_BACKEND=x11 NO_AT_BRIDGE=1 LC_ALL=C.UTF-8
  export XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/runtime
  mkdir -m 700 "$XDG_RUNTIME_DIR"
  ini=$XDG_CONFIG_HOME/textsnap/ini.ini
  mkdir -p "$(dirname "$ini")"
  notes=$work/notifications.jsonl
  : >"$notes"
  /usr/bin/python3 "$root/tests/linux/notifications.py" "$notes" >"$work/recorder.out" 2>&1 &
  rec_pid=$!
  /usr/bin/python3 "$root/tests/linux/sniwatcher.py" --times >"$work/sni.out" 2>&1 &
  sni_pid=$!
  wait_until 20 grep -q ready "$work/recorder.out" || { echo "no notification service" >&2; return 1; }
  wait_until 20 grep -q ready "$work/sni.out" || { echo "no StatusNotifierItem host" >&2; return 1; }

  registrations() { grep -c '^registered ' "$work/sni.out" || true; }
  registered_more() { [ "$(registrations)" -gt "$1" ]; }
  app_stop() {
    [ -n "$app_pid" ] || return 0
    kill "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
    app_pid=
  }
  # Starts the client; started_ms is the milliseconds from the exec to its
  # item's registration ("-" when it did not register within 30 s).
  app_start() {
    local before t0 t1
    before=$(registrations)
    t0=$EPOCHREALTIME
    "$exe" >>"$work/textsnap.log" 2>&1 &
    app_pid=$!
    started_ms=-
    wait_until 30 registered_more "$before" || return 0
    t1=$(grep '^registered ' "$work/sni.out" | tail -1 | cut -d' ' -f3)
    started_ms=$(ms_between "$t0" "$t1")
  }
  # The account, at the service's address (or the pinned https one).
  write_ini() {  # url [pin]
    local extra=()
    [ -n "${2:-}" ] && extra=(--cert-sha256 "$2")
    python3 "$root/scripts/write-ini.py" "$ini" --codepage utf-8 --url "$1" --id "$account" \
      --password "$password" --hotkey 120 --modifiers 6 --autocopy 1 "${extra[@]}"
  }

  # ---- start-up and idle ----
  mkdir -p "$work/idle"
  (umask 077; printf '%s\n' "$password" >"$work/password")
  snap_start_server "$server" "$work/idle/pinleaf.db" "$work/idle" --add-user "$account" --password-file "$work/password" ||
    { echo "pinleaf-server did not start" >&2; return 1; }
  write_ini "$snap_url"
  local starts='' loads='' cpu='' rss0='' rss1='' iloads='' boot='' r c0 c1
  for r in $(seq "$repeats"); do
    loads+="$(load1)"$'\n'
    app_start
    starts+="$started_ms"$'\n'
    if [ "$started_ms" != - ] && [ "$r" -le "$idle_runs" ]; then
      iloads+="$(load1)"$'\n'
      c0=$(cpu_seconds "$app_pid") rss0+="$(rss_kib "$app_pid")"$'\n' boot+="$c0"$'\n'
      sleep "$idle"
      c1=$(cpu_seconds "$app_pid") rss1+="$(rss_kib "$app_pid")"$'\n'
      cpu+="$(awk -v a="$c0" -v b="$c1" 'BEGIN {printf "%.2f", b - a}')"$'\n'
      iloads+="$(load1)"$'\n'
    fi
    app_stop
    sleep 0.5
  done
  snap_stop_server || true
  figure "$out" "Linux client start-up to its StatusNotifierItem registration" ms "$starts" "$loads"
  figure "$out" "Linux client CPU time used to reach the tray" s "$boot" "$iloads"
  figure "$out" "Linux client idle in the tray: CPU time over ${idle} s" s "$cpu" "$iloads"
  figure "$out" "Linux client idle in the tray: resident set at the start" KiB "$rss0" "$iloads"
  figure "$out" "Linux client idle in the tray: resident set after ${idle} s" KiB "$rss1" "$iloads"

  # ---- the hotkey to "complete!" ----
  zenity --entry --title "snap target" --width 500 >/dev/null 2>&1 &
  entry_pid=$!
  entry_window() { entry=$(xdotool search --onlyvisible --name '^snap target$' 2>/dev/null | head -1); [ -n "$entry" ]; }
  wait_until 20 entry_window || { echo "zenity did not start" >&2; return 1; }
  completes() { grep -c '"summary": "complete!"' "$notes" || true; }
  completed_more() { [ "$(completes)" -gt "$1" ]; }
  # One snap of a fresh text: prints the milliseconds from the key event to the
  # "start" and to the "complete!" notification ("- -" when none came in 30 s).
  snap_once() {  # text
    local X Y WIDTH HEIGHT SCREEN WINDOW before t0
    eval "$(xdotool getwindowgeometry --shell "$entry")"
    xdotool mousemove $((X + 40)) $((Y + 20)) windowfocus --sync "$entry"
    xdotool key ctrl+a BackSpace
    xdotool type --delay 20 "$1"
    xdotool key ctrl+a
    sleep 0.3
    before=$(completes)
    t0=$EPOCHREALTIME
    xdotool key ctrl+shift+F9
    if ! wait_until 30 completed_more "$before"; then echo "- -"; return; fi
    python3 - "$notes" "$t0" <<'EOF'
import json, sys
rows = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
t0 = float(sys.argv[2])
after = [r for r in rows if r["time"] >= t0]
start = next((r["time"] for r in after if r["summary"] == "start"), None)
done = next(r["time"] for r in after if r["summary"] == "complete!")
print("-" if start is None else "%.0f" % ((start - t0) * 1000), "%.0f" % ((done - t0) * 1000))
EOF
  }
  local scheme pin first='' steady='' starts_at='' sloads='' i a b
  for scheme in http https; do
    local dir=$work/$scheme
    mkdir -p "$dir"
    local tls=()
    pin=
    if [ $scheme = https ]; then
      pin=$(make_certificate "$dir")
      tls=(--tls-cert "$dir/cert.pem" --tls-key "$dir/key.pem")
    fi
    snap_start_server "$server" "$dir/pinleaf.db" "$dir" "${tls[@]}" --add-user "$account" --password-file "$work/password" ||
      { echo "pinleaf-server ($scheme) did not start" >&2; return 1; }
    local url=$snap_url
    [ $scheme = https ] && url=https://localhost:${snap_url#https://127.0.0.1:}
    write_ini "$url" "$pin"
    app_start
    sleep 1
    first='' steady='' starts_at='' sloads=''
    for i in $(seq "$snaps"); do
      sloads+="$(load1)"$'\n'
      read -r a b < <(snap_once "snap $i over $scheme $RANDOM")
      if [ "$i" = 1 ]; then first=$b; else steady+="$b"$'\n' starts_at+="$a"$'\n'; fi
      sleep 6
    done
    app_stop
    snap_stop_server || true
    figure "$out" "Linux client hotkey to \"complete!\" notification, $scheme, first snap (signs in)" ms "$first" "$sloads"
    figure "$out" "Linux client hotkey to \"complete!\" notification, $scheme" ms "$steady" "$sloads"
    figure "$out" "Linux client hotkey to \"start\" notification, $scheme" ms "$starts_at" "$sloads"
  done
  echo "linux-session: done"
}

if [ $session = 1 ]; then
  linux_session
  exit
fi

all=$(mktemp)
trap 'rm -f "$all"' EXIT
if part linux; then
  build=${TS_LINUX_BUILD:-$root/build/linux}
  if [ "${TS_BENCH_NO_BUILD:-}" != 1 ]; then
    (cd "$root" && cmake --preset linux >/dev/null && cmake --build "$build" -j2 --target textsnap pinleaf-server >/dev/null)
  fi
  for tool in dbus-run-session Xvfb xdotool zenity openssl; do
    command -v $tool >/dev/null || { echo "missing $tool" >&2; exit 1; }
  done
  # A home of its own for the session: the keyring the client asks for is
  # started by the bus, and keeps its files there.
  home=$build/desktop-bench-home
  rm -rf "$home"; mkdir -p "$home"
  HOME=$home XDG_CACHE_HOME=$home/cache XDG_DATA_HOME=$home/data \
    timeout 1800 dbus-run-session -- bash "$0" --repeats "$repeats" --snaps "$snaps" --idle "$idle" \
      --idle-runs "$idle_runs" --linux-session >"$build/desktop-bench.log" 2>&1 ||
    { tail -20 "$build/desktop-bench.log" >&2; exit 1; }
  cat "$build/desktop-bench/figures.tsv" >>"$all"
fi

# =============================== textsnap.exe under Wine ===============================
if part wine; then
  wbuild=${TS_WINDOWS_BENCH_BUILD:-$root/build/windows-bench}
  lbuild=${TS_LINUX_BUILD:-$root/build/linux}
  if [ "${TS_BENCH_NO_BUILD:-}" != 1 ]; then
    (cd "$root" && cmake --preset windows -B "$wbuild" -DTS_BUILD_TESTS=OFF -DTS_BUILD_bench=ON >/dev/null &&
      cmake --build "$wbuild" -j2 --target textsnap package >/dev/null)
    (cd "$root" && cmake --preset linux >/dev/null && cmake --build "$lbuild" -j2 --target pinleaf-server >/dev/null)
  fi
  for tool in Xvfb xdotool wine openssl; do
    command -v $tool >/dev/null || { echo "missing $tool" >&2; exit 1; }
  done
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$wbuild/CMakeCache.txt")
  setup=$wbuild/packaging/textsnap-setup-$version.exe
  server=$lbuild/service/pinleaf-server
  for f in "$setup" "$server"; do
    [ -f "$f" ] || { echo "no $f" >&2; exit 1; }
  done
  work=$wbuild/desktop-bench
  out=$work/figures.tsv
  rm -rf "$work"; mkdir -p "$work"
  : >"$out"
  # shellcheck source=../scripts/wine-snap.sh
  source "$root/scripts/wine-snap.sh"
  xvfb_pid='' app_pid='' stamp_pid=''
  cleanup() {
    for p in $app_pid $stamp_pid; do kill "$p" 2>/dev/null || true; done
    snap_stop_server || true
    wineserver -k 2>/dev/null || true
    [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -f "$all"
  }
  trap cleanup EXIT
  # shellcheck source=../scripts/xvfb.sh
  source "$root/scripts/xvfb.sh"
  start_xvfb 1024x768x24 || { echo "Xvfb did not start" >&2; exit 1; }

  # A prefix of the benchmark's own (made once: that takes a while), and the
  # program installed into it as a user installs it (over the last run's).
  # shellcheck source=../scripts/wine-prefix.sh
  source "$root/scripts/wine-prefix.sh" "$wbuild/desktop-bench-prefix"
  timeout 120 wine "$setup" /S >>"$work/wine.log" 2>&1 || { echo "the silent install failed" >&2; exit 1; }
  wineserver -w 2>/dev/null || true
  me=$(id -un)
  inst="$WINEPREFIX/drive_c/users/$me/AppData/Local/Programs/text snap"
  winst="C:\\users\\$me\\AppData\\Local\\Programs\\text snap"
  [ -f "$inst/textsnap.exe" ] || { echo "the installer put no textsnap.exe into $inst" >&2; exit 1; }

  tray_shown() { xdotool search --onlyvisible --name "Wine System Tray" >/dev/null 2>&1; }
  # shellcheck source=../scripts/wait.sh
  source "$root/scripts/wait.sh"  # descendant_named
  # Starts the installed program as its Run key does; started_ms is the
  # milliseconds from the exec to its icon in Wine's tray ("-" after 60 s).
  wine_start() {  # log
    local t0
    t0=$EPOCHREALTIME
    (cd "$inst" && exec wine "$winst\\textsnap.exe" >>"$1" 2>&1) &
    app_pid=$!
    started_ms=-
    wait_until 60 tray_shown || return 0
    started_ms=$(ms_between "$t0" "$EPOCHREALTIME")
  }
  wine_stop() {
    local pid
    pid=$(descendant_named "$app_pid" 'textsnap\.exe' || true)
    if [ -n "$pid" ] && [ "$pid" != "$app_pid" ]; then kill "$pid" 2>/dev/null || true; fi
    kill "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
    app_pid=
    # The tray window goes when its last icon does.
    for _ in $(seq 100); do tray_shown || break; sleep 0.05; done
  }
  wine_fresh() { wineserver -k 2>/dev/null || true; wineserver -w 2>/dev/null || true; }

  # ---- start-up of the installed program, and idle ----
  cold='' warm='' loads='' cpu='' rss0='' rss1='' iloads='' boot=''
  for r in $(seq "$repeats"); do
    loads+="$(load1)"$'\n'
    wine_fresh
    wine_start "$work/wine.log"
    cold+="$started_ms"$'\n'
    wine_stop
    wine_start "$work/wine.log"
    warm+="$started_ms"$'\n'
    if [ "$started_ms" != - ] && [ "$r" -le "$idle_runs" ]; then
      pid=$(descendant_named "$app_pid" 'textsnap\.exe')
      iloads+="$(load1)"$'\n'
      c0=$(cpu_seconds "$pid") rss0+="$(rss_kib "$pid")"$'\n' boot+="$c0"$'\n'
      sleep "$idle"
      c1=$(cpu_seconds "$pid") rss1+="$(rss_kib "$pid")"$'\n'
      cpu+="$(awk -v a="$c0" -v b="$c1" 'BEGIN {printf "%.2f", b - a}')"$'\n'
      iloads+="$(load1)"$'\n'
    fi
    wine_stop
  done
  figure "$out" "installed textsnap.exe start-up to tray icon, Wine cold" ms "$cold" "$loads"
  figure "$out" "installed textsnap.exe start-up to tray icon, Wine warm" ms "$warm" "$loads"
  figure "$out" "textsnap.exe CPU time used to reach the tray (warm start)" s "$boot" "$iloads"
  figure "$out" "textsnap.exe idle in the tray: CPU time over ${idle} s" s "$cpu" "$iloads"
  figure "$out" "textsnap.exe idle in the tray: resident set at the start" KiB "$rss0" "$iloads"
  figure "$out" "textsnap.exe idle in the tray: resident set after ${idle} s" KiB "$rss1" "$iloads"

  # ---- the hotkey to the "complete!" balloon ----
  # Wine's explorer draws the balloons: the program's request reaches it as a
  # change of the icon (its trace: modify_icon), and it shows the newest
  # balloon asked for on a timer of its own (the tooltip's SetTitleT). Both
  # are taken; a snap whose first balloon is not "complete!" (a key lost on
  # a loaded machine: "same data!") is typed and pressed again, up to 3 times.
  (umask 077; printf '%s\n' "$password" >"$work/password")
  balloons() { grep -c 'SetTitleT' "$1" 2>/dev/null || true; }
  balloon_more() { [ "$(balloons "$1")" -gt "$2" ]; }
  dismiss_error_box() {
    # shellcheck disable=SC2034  # set by the eval of xdotool's --shell output
    local box X Y WIDTH HEIGHT SCREEN WINDOW
    box=$(xdotool search --onlyvisible --name "^text snap for pinleaf online\$" 2>/dev/null | head -1 || true)
    [ -n "$box" ] || return 0
    eval "$(xdotool getwindowgeometry --shell "$box")"
    xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) sleep 0.3 key Return
    sleep 0.5
  }
  misses=0
  for scheme in http https; do
    dir=$work/$scheme
    mkdir -p "$dir"
    tls=() pin=
    if [ $scheme = https ]; then
      pin=$(make_certificate "$dir")
      tls=(--tls-cert "$dir/cert.pem" --tls-key "$dir/key.pem")
    fi
    snap_start_server "$server" "$dir/pinleaf.db" "$dir" "${tls[@]}" --add-user "$account" --password-file "$work/password" ||
      { echo "pinleaf-server ($scheme) did not start" >&2; exit 1; }
    url=$snap_url
    [ $scheme = https ] && url=https://localhost:${snap_url#https://127.0.0.1:}
    extra=()
    [ -n "$pin" ] && extra=(--cert-sha256 "$pin")
    python3 "$root/scripts/write-ini.py" "$inst/ini.ini" --url "$url" --id "$account" --password "$password" \
      --hotkey 120 --modifiers 6 --autocopy 1 "${extra[@]}"
    # Started anew by the program, Wine's explorer inherits the traces.
    wine_fresh
    : >"$dir/wine.log"
    python3 "$here/stamp_lines.py" "$dir/wine.log" 'SetTitleT.*title = L"|modify_icon' >"$dir/balloons.txt" &
    stamp_pid=$!
    WINEDEBUG=+tooltips,+systray wine_start "$dir/wine.log"
    snap_start_notepad "$work/notepad.log" || { echo "notepad did not start" >&2; exit 1; }
    first='' firstreq='' shown='' asked='' sloads=''
    for i in $(seq "$snaps"); do
      sloads+="$(load1)"$'\n'
      for try in 1 2 3; do
        snap_type "snap $i.$try over $scheme $RANDOM" || true
        snap_focus_notepad
        xdotool key ctrl+a
        sleep 0.3
        before=$(balloons "$dir/balloons.txt")
        t0=$EPOCHREALTIME
        xdotool key ctrl+shift+F9
        wait_until 30 balloon_more "$dir/balloons.txt" "$before" || true
        sleep 0.2
        # The first balloon after the key, and the last request before it.
        read -r a b < <(awk -v t0="$t0" '$1 >= t0 && /modify_icon/ {req = $1}
          $1 >= t0 && /SetTitleT/ {if ($0 ~ /L"complete!"/ && req) printf "%.0f %.0f\n", (req - t0) * 1000, ($1 - t0) * 1000;
                                   else print "- -"; done = 1; exit}
          END {if (!done) print "- -"}' "$dir/balloons.txt")
        [ "$b" != - ] && break
        misses=$((misses + 1))
        dismiss_error_box
        sleep 6
      done
      if [ "$i" = 1 ]; then first=$b firstreq=$a; else shown+="$b"$'\n' asked+="$a"$'\n'; fi
      sleep 6
    done
    kill "$snap_notepad_pid" 2>/dev/null || true
    wine_stop
    kill "$stamp_pid" 2>/dev/null || true
    wait "$stamp_pid" 2>/dev/null || true
    stamp_pid=
    snap_stop_server || true
    figure "$out" "textsnap.exe hotkey to \"complete!\" balloon shown, $scheme, first snap (signs in)" ms "$first" "$sloads"
    figure "$out" "textsnap.exe hotkey to \"complete!\" asked of the tray, $scheme, first snap (signs in)" ms "$firstreq" "$sloads"
    figure "$out" "textsnap.exe hotkey to \"complete!\" balloon shown, $scheme" ms "$shown" "$sloads"
    figure "$out" "textsnap.exe hotkey to \"complete!\" asked of the tray, $scheme" ms "$asked" "$sloads"
  done
  echo "textsnap.exe: $misses snap(s) typed and pressed again (a key lost, or \"same data!\")" >&2
  wine_fresh
  cat "$out" >>"$all"
fi

show "$all"
if [ -n "$outdir" ]; then
  mkdir -p "$outdir"
  { printf 'figure\tunit\tmin/median/max\tload min/median/max\n'; cat "$all"; } >"$outdir/desktop.tsv"
fi
