#!/usr/bin/env bash
# Snaps per second of one pinleaf-server with its SQLite database on disk,
# with many clients at once (bench/server_load.cpp), and the median and p99 of
# one snap. Starts the server on a free 127.0.0.1 port with a database in a
# temporary folder under build/ (on the disk, not in memory) and stops it.
#
#   bench/server_load.sh [--clients "1 8 32"] [--snaps N] [--repeats R] [--smoke] [--out FILE]
#
# Each figure is shown as min/median/max of the repeats with the one-minute
# load average beside it. --smoke: one client, a few snaps, one repeat.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"

clients="1 8 32" snaps=100 repeats=5 out=""
while [ $# -gt 0 ]; do
  case "$1" in
    --clients) clients="$2"; shift ;;
    --snaps) snaps="$2"; shift ;;
    --repeats) repeats="$2"; shift ;;
    --smoke) clients=2 snaps=5 repeats=1 ;;
    --out) out="$2"; shift ;;
    *) echo "usage: $0 [--clients LIST] [--snaps N] [--repeats R] [--smoke] [--out FILE]" >&2; exit 2 ;;
  esac
  shift
done

build="$root/build/bench"
if [ "${TS_BENCH_NO_BUILD:-}" != 1 ]; then
  (cd "$root" && cmake --preset bench >/dev/null && cmake --build --preset bench -j2 --target server_load pinleaf-server >/dev/null)
fi
server="$build/service/pinleaf-server"
driver="$build/bench/server_load"

mkdir -p "$build"
work=$(mktemp -d "$build/server-load.XXXXXX")
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  exec 3<&- 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkfifo "$work/server.out"
# Every client of the bench comes from 127.0.0.1: the limit of connections
# from one address (64, against a single abusive peer) would refuse the bench's
# own clients beyond it, so it is raised here.
"$server" --bind 127.0.0.1 --port 0 --db "$work/pinleaf.db" --max-per-address 4096 --add-user load \
  >"$work/server.out" 2>/dev/null <<<"load-pw" &
server_pid=$!
exec 3<"$work/server.out"  # held open until the server stops
read -r -t 30 listening <&3 || true
url=${listening##* }
[[ $url == http://* ]] || { echo "the server did not start" >&2; exit 1; }
echo "pinleaf-server at $url, database $work/pinleaf.db ($(df -P "$work" | awk 'NR == 2 {print $1}'))"

spread() { sort -g | awk '{v[NR]=$1} END {if (NR == 0) exit; m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%s/%s/%s", v[1], m, v[NR]}'; }
lines=()
for c in $clients; do
  rate=() p50=() p99=() loads=() failed=0
  for _ in $(seq "$repeats"); do
    loads+=("$(cut -d' ' -f1 /proc/loadavg)")
    if ! "$driver" "$url" load load-pw "$c" "$snaps" >"$work/run.tsv"; then failed=$((failed + 1)); fi
    rate+=("$(awk -F'\t' '/^snaps per second/ {print $3}' "$work/run.tsv")")
    p50+=("$(awk -F'\t' '/^snap median/ {print $3}' "$work/run.tsv")")
    p99+=("$(awk -F'\t' '/^snap p99/ {print $3}' "$work/run.tsv")")
  done
  load=$(printf '%s\n' "${loads[@]}" | spread)
  for figure in "snaps/s:rate" "median ms:p50" "p99 ms:p99"; do
    name=${figure%%:*} var=${figure##*:}
    declare -n values=$var
    line=$(printf '%s clients, %s snaps each\t%s\t%s\t%s\t%s' "$c" "$snaps" "$name" "$(printf '%s\n' "${values[@]}" | spread)" "$load" "$failed")
    unset -n values
    lines+=("$line")
    echo "$line" | awk -F'\t' '{printf "%-28s %-10s %-26s load %-18s runs with failures %s\n", $1, $2, $3, $4, $5}'
  done
done
if [ -n "$out" ]; then
  { printf 'clients\tfigure\tmin/median/max\tload min/median/max\truns with failures\n'; printf '%s\n' "${lines[@]}"; } >"$out"
fi
