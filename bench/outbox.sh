#!/usr/bin/env bash
# What the outbox costs a snap. Before a snap's note leaves it is appended to
# outbox.dat as waiting and flushed to the disk; once the service stored it,
# it leaves the outbox and joins the history (both files rewritten through a
# temporary file and a rename, each flushed).
#  1. BM_OutboxWriteAhead (bench/app_bench.cpp): those steps alone, in a
#     folder on the disk (TS_BENCH_DIR, or the system's temporary folder),
#     with 0, 10 and 100 other notes waiting;
#  2. whole snaps (bench/snap_bench: the program's window over the in-process
#     desktop, hotkey to "complete!") against pinleaf-server on loopback, its
#     database in memory, with the client's folder (settings, outbox, history)
#     on the disk and in memory (/dev/shm), one after the other in each repeat.
#
#   bench/outbox.sh [--repeats N] [--snaps N] [--out FILE] [--smoke]
#
# Prints min / median / max over the repeats and the one-minute load beside.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"

repeats=5 snaps=100 out="" smoke=0
while [ $# -gt 0 ]; do
  case "$1" in
    --repeats) repeats="$2"; shift ;;
    --snaps) snaps="$2"; shift ;;
    --out) out="$2"; shift ;;
    --smoke) smoke=1 repeats=1 snaps=5 ;;
    *) echo "usage: $0 [--repeats N] [--snaps N] [--out FILE] [--smoke]" >&2; exit 2 ;;
  esac
  shift
done

build=$root/build/bench
if [ "${TS_BENCH_NO_BUILD:-}" != 1 ]; then
  (cd "$root" && cmake --preset bench >/dev/null &&
    cmake --build "$build" -j2 --target bench_app snap_bench pinleaf-server >/dev/null)
fi
bin=$build/bench
server=${TS_BENCH_SERVER:-$build/service/pinleaf-server}
for f in "$bin/bench_app" "$bin/snap_bench" "$server"; do
  [ -x "$f" ] || { echo "no $f" >&2; exit 1; }
done

load1() { cut -d' ' -f1 /proc/loadavg; }
spread() { sort -g | awk '{v[NR]=$1} END {if (NR == 0) {printf "-"; exit} m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%s/%s/%s", v[1], m, v[NR]}'; }
lines=()
report() {  # name, unit, values (newline separated), loads (newline separated)
  lines+=("$1"$'\t'"$2"$'\t'"$(printf '%s\n' "$3" | grep . | spread)"$'\t'"$(printf '%s\n' "$4" | grep . | spread)")
}

# ---- 1. the steps alone ----
reps=$([ $smoke = 1 ] && echo 1 || echo "$repeats")
min_time=$([ $smoke = 1 ] && echo 0.0001 || echo 0.5)
load_before=$(load1)
json=$(mktemp)
shm=$(mktemp -d /dev/shm/textsnap-outbox.XXXXXX)
server_pid=""
cleanup() {
  [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$json" "$shm"
}
trap cleanup EXIT
"$bin/bench_app" --benchmark_filter='BM_OutboxWriteAhead' --benchmark_repetitions="$reps" \
  --benchmark_min_time="$min_time" --benchmark_format=json >"$json" 2>/dev/null
load_after=$(load1)
for waiting in 0 10 100; do
  for stored in 0 1; do
    values=$(python3 - "$json" "BM_OutboxWriteAhead/$waiting/$stored/" <<'EOF'
import json, sys
rows = json.load(open(sys.argv[1]))["benchmarks"]
for r in rows:
    if r["name"].startswith(sys.argv[2]) and r.get("run_type") == "iteration":
        print("%.3f" % r["real_time"])
EOF
)
    what=$([ $stored = 1 ] && echo "write-ahead + stored step" || echo "write-ahead alone")
    report "outbox $what, $waiting notes waiting" ms "$values" "$load_before"$'\n'"$load_after"
  done
done

# ---- 2. whole snaps, the client's folder on the disk and in memory ----
"$server" --bind 127.0.0.1 --port 0 --db "$shm/pinleaf.db" --add-user bench >"$shm/server.out" 2>/dev/null <<<"bench-pw" &
server_pid=$!
for _ in $(seq 100); do grep -q "listening on" "$shm/server.out" && break; sleep 0.1; done
url=$(sed -n 's/^pinleaf-server listening on //p' "$shm/server.out" | head -1)
[ -n "$url" ] || { echo "pinleaf-server did not start" >&2; exit 1; }
disk_m='' disk_c='' mem_m='' mem_c='' loads=''
median_of() { sed -n "s/^snap .*median\tms\t//p" "$1"; }
cpu_of() { sed -n "s/^snap .*client CPU mean\tms\t//p" "$1"; }
for _ in $(seq "$repeats"); do
  loads+="$(load1)"$'\n'
  TMPDIR=${TS_BENCH_DIR:-/tmp} "$bin/snap_bench" "$url" bench bench-pw "$snaps" >"$shm/disk.tsv"
  TMPDIR=$shm "$bin/snap_bench" "$url" bench bench-pw "$snaps" >"$shm/memory.tsv"
  disk_m+="$(median_of "$shm/disk.tsv")"$'\n' disk_c+="$(cpu_of "$shm/disk.tsv")"$'\n'
  mem_m+="$(median_of "$shm/memory.tsv")"$'\n' mem_c+="$(cpu_of "$shm/memory.tsv")"$'\n'
done
loads+="$(load1)"$'\n'
report "snap median, client's folder on the disk" ms "$disk_m" "$loads"
report "snap median, client's folder in memory (/dev/shm)" ms "$mem_m" "$loads"
report "snap client CPU mean, client's folder on the disk" ms "$disk_c" "$loads"
report "snap client CPU mean, client's folder in memory (/dev/shm)" ms "$mem_c" "$loads"

printf '%s\n' "${lines[@]}" | awk -F'\t' '{printf "%-66s %-26s %s | load %s\n", $1, $3, $2, $4}'
if [ -n "$out" ]; then
  { printf 'figure\tunit\tmin/median/max\tload min/median/max\n'; printf '%s\n' "${lines[@]}"; } >"$out"
fi
