#!/usr/bin/env bash
# The figures of the program as shipped: the Windows build under Wine.
#
#   bench/wine.sh [--repeats N] [--out-dir DIR] [--smoke]
#
# 1. Builds the Windows loopback drivers and textsnap.exe (build/windows-bench,
#    Release, no tests) and runs bench/loopback.sh --wine: bulk, keep-alive and
#    form posts of our client under Wine against the same nginx, with curl, the
#    native ceiling and the ceiling's own Windows build under Wine in the same run;
#    then the HTTPS download and new connections over Schannel against curl.
# 2. Starts the real textsnap.exe N times on a private Xvfb display and takes
#    the time from the exec to its icon in Wine's tray, and the peak resident
#    set of the program's process (VmHWM: what Wine reports as the peak working
#    set) a second later. Each start is a cold one for Wine (its server and
#    explorer stopped before), and a second start right after shows the warm one.
# Every process it starts is stopped again.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"

repeats=5 outdir="" smoke=0
while [ $# -gt 0 ]; do
  case "$1" in
    --repeats) repeats="$2"; shift ;;
    --out-dir) outdir="$2"; shift ;;
    --smoke) smoke=1 repeats=1 ;;
    *) echo "usage: $0 [--repeats N] [--out-dir DIR] [--smoke]" >&2; exit 2 ;;
  esac
  shift
done

build="$root/build/windows-bench"
if [ "${TS_BENCH_NO_BUILD:-}" != 1 ]; then
  (cd "$root" && cmake --preset windows -B "$build" -DTS_BUILD_TESTS=OFF -DTS_BUILD_bench=ON >/dev/null &&
    cmake --build "$build" -j2 --target loopback_client recv_ceiling textsnap >/dev/null)
fi
# shellcheck source=../scripts/wine-prefix.sh
source "$root/scripts/wine-prefix.sh" "$build/wineprefix"

# ---- 1. the loopback runs ----
loopback_args=(--wine --repeats "$repeats" --only "bulk,keepalive,post,rss,https")
[ $smoke = 1 ] && loopback_args+=(--smoke)
[ -n "$outdir" ] && loopback_args+=(--out "$outdir/loopback-wine.tsv")
TS_WINDOWS_BENCH_BUILD="$build" "$here/loopback.sh" "${loopback_args[@]}"

# ---- 2. start-up to the tray icon, peak working set ----
for tool in Xvfb xdotool; do
  command -v $tool >/dev/null || { echo "missing $tool" >&2; exit 1; }
done
run=$(mktemp -d "$build/startup.XXXXXX")
cp "$build/app/textsnap.exe" "$run/"
xvfb_pid="" app_pid=""
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
  wineserver -k 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null || true
  rm -rf "$run"
}
trap cleanup EXIT
# shellcheck source=../scripts/xvfb.sh
source "$root/scripts/xvfb.sh"
start_xvfb 1024x768x24 || { echo "Xvfb did not start" >&2; exit 1; }

# shellcheck source=../scripts/wait.sh
source "$root/scripts/wait.sh"  # descendant_named
tray_shown() { xdotool search --onlyvisible --name "Wine System Tray" >/dev/null 2>&1; }
# One start: prints "milliseconds-to-tray peak-KiB", then ends the program.
start_once() {
  local t0 t1 pid hwm
  t0=$EPOCHREALTIME
  (cd "$run" && exec wine ./textsnap.exe >/dev/null 2>&1) &
  app_pid=$!
  local until=$((SECONDS + 60))
  until tray_shown; do
    [ $SECONDS -ge $until ] && { echo "timeout -"; return; }
    sleep 0.005
  done
  t1=$EPOCHREALTIME
  sleep 1
  # The program's own process: the one we started or a descendant of it
  # whose command line names it (never another user's).
  pid=$(descendant_named "$app_pid" 'textsnap\.exe')
  hwm=$(awk '/^VmHWM/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo -)
  [ -n "$pid" ] && [ "$pid" != "$app_pid" ] && kill "$pid" 2>/dev/null
  kill "$app_pid" 2>/dev/null || true
  wait "$app_pid" 2>/dev/null || true
  app_pid=""
  echo "$(echo "($t1 - $t0) * 1000" | bc -l | xargs printf '%.0f') ${hwm:--}"
}
spread() { sort -g | awk '{v[NR]=$1} END {if (NR == 0) exit; m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%s/%s/%s", v[1], m, v[NR]}'; }
cold_t=() cold_m=() warm_t=() warm_m=() loads=()
for _ in $(seq "$repeats"); do
  loads+=("$(cut -d' ' -f1 /proc/loadavg)")
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  read -r t m < <(start_once)
  cold_t+=("$t") cold_m+=("$m")
  # The tray window goes when its last icon does; wait for that before the warm start.
  for _ in $(seq 100); do tray_shown || break; sleep 0.05; done
  read -r t m < <(start_once)
  warm_t+=("$t") warm_m+=("$m")
done
load=$(printf '%s\n' "${loads[@]}" | spread)
lines=(
  "textsnap.exe start-up to tray icon, Wine cold (server and explorer start too)"$'\t'ms$'\t'"$(printf '%s\n' "${cold_t[@]}" | spread)"$'\t'"$load"
  "textsnap.exe start-up to tray icon, Wine warm"$'\t'ms$'\t'"$(printf '%s\n' "${warm_t[@]}" | spread)"$'\t'"$load"
  "textsnap.exe peak working set (VmHWM), cold start"$'\t'KiB$'\t'"$(printf '%s\n' "${cold_m[@]}" | spread)"$'\t'"$load"
  "textsnap.exe peak working set (VmHWM), warm start"$'\t'KiB$'\t'"$(printf '%s\n' "${warm_m[@]}" | spread)"$'\t'"$load"
)
printf '%s\n' "${lines[@]}" | awk -F'\t' '{printf "%-72s %-22s %s | load %s\n", $1, $3, $2, $4}'
if [ -n "$outdir" ]; then
  { printf 'figure\tunit\tmin/median/max\tload min/median/max\n'; printf '%s\n' "${lines[@]}"; } >"$outdir/startup-wine.tsv"
fi
