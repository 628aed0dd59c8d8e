#!/usr/bin/env bash
# Snaps per second of pinleaf-server with many clients at once
# (bench/server_load.cpp), and the median and p99 of one snap: instances on
# one SQLite file (on disk, in a temporary folder under build/; several
# instances only on one machine), or on one PostgreSQL database (a private cluster,
# scripts/pg-cluster.sh, with its durability settings back at PostgreSQL's
# defaults), the driver sending each request to the next instance in turn.
# Starts and stops everything itself on free 127.0.0.1 ports.
#
#   bench/server_load.sh [--db sqlite|postgresql] [--instances "1 2 3"] [--clients "1 8 32"]
#                        [--snaps N] [--repeats R] [--smoke] [--out FILE]
#
# Each figure is shown as min/median/max of the repeats with the one-minute
# load average beside it; after every run the notes the database gained are
# counted and compared with the snaps the driver saw answered "saved".
# --smoke: one instance, two clients, a few snaps, one repeat.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"

backend=sqlite instance_counts=1 clients="1 8 32" snaps=100 repeats=5 out=""
while [ $# -gt 0 ]; do
  case "$1" in
    --db) backend="$2"; shift ;;
    --instances) instance_counts="$2"; shift ;;
    --clients) clients="$2"; shift ;;
    --snaps) snaps="$2"; shift ;;
    --repeats) repeats="$2"; shift ;;
    --smoke) clients=2 snaps=5 repeats=1 instance_counts=1 ;;
    --out) out="$2"; shift ;;
    *) echo "usage: $0 [--db sqlite|postgresql] [--instances LIST] [--clients LIST] [--snaps N] [--repeats R] [--smoke] [--out FILE]" >&2; exit 2 ;;
  esac
  shift
done
case $backend in sqlite | postgresql) ;; *) echo "--db is sqlite or postgresql" >&2; exit 2 ;; esac

build="$root/build/bench"
if [ "${TS_BENCH_NO_BUILD:-}" != 1 ]; then
  (cd "$root" && cmake --preset bench >/dev/null && cmake --build --preset bench -j2 --target server_load pinleaf-server >/dev/null)
fi
server="$build/service/pinleaf-server"
driver="$build/bench/server_load"

mkdir -p "$build"
work=$(mktemp -d "$build/server-load.XXXXXX")
server_pids=() pg_dir=""
stop_servers() {
  local p
  for p in "${server_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${server_pids[@]}"; do wait "$p" 2>/dev/null || true; done
  server_pids=()
}
cleanup() {
  stop_servers
  [ -z "$pg_dir" ] || "$root/scripts/pg-cluster.sh" stop "$pg_dir" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

if [ "$backend" = postgresql ]; then
  # The cluster's own user must reach its folder: not under a private mktemp folder.
  chmod 755 "$work"
  pg_dir=$work/pg
  "$root/scripts/pg-cluster.sh" start "$pg_dir" >/dev/null
  eval "$("$root/scripts/pg-cluster.sh" env "$pg_dir")"
  # The test cluster trades durability for speed; measure with PostgreSQL's
  # defaults, so that a saved note is on the disk as with SQLite's FULL sync.
  psql -qAt -c "ALTER SYSTEM SET fsync = on" -c "ALTER SYSTEM SET full_page_writes = on" \
    -c "ALTER SYSTEM SET synchronous_commit = on" -c "SELECT pg_reload_conf()" >/dev/null
  db=$PINLEAF_PG_URI
  note_count() { psql -qAt -c "SELECT count(*) FROM notes"; }
  where="PostgreSQL $(psql -qAt -c 'SHOW server_version') at $PGHOST (fsync $(psql -qAt -c 'SHOW fsync'), synchronous_commit $(psql -qAt -c 'SHOW synchronous_commit'))"
else
  db=$work/pinleaf.db
  note_count() { sqlite3 -cmd ".timeout 5000" "$db" "SELECT count(*) FROM notes"; }
  where="SQLite $work/pinleaf.db"
fi

start_servers() {  # count: sets urls (comma-separated)
  local i listening
  urls=""
  for i in $(seq "$1"); do
    mkfifo "$work/server$i.out"
    # Every client of the bench comes from 127.0.0.1: the limit of connections
    # from one address (64, against a single abusive peer) would refuse the
    # bench's own clients beyond it, so it is raised here.
    "$server" --bind 127.0.0.1 --port 0 --db "$db" --max-per-address 4096 --add-user load >"$work/server$i.out" 2>/dev/null <<<"load-pw" &
    server_pids+=($!)
    exec {fd}<"$work/server$i.out"  # held open until the server stops
    read -r -t 30 listening <&"$fd" || true
    rm -f "$work/server$i.out"
    listening=${listening##* }
    [[ $listening == http://* ]] || { echo "instance $i did not start" >&2; exit 1; }
    urls+="${urls:+,}$listening"
  done
}

echo "pinleaf-server on $where ($(df -P "$work" | awk 'NR == 2 {print $1}')); $(nproc) cores"
spread() { sort -g | awk '{v[NR]=$1} END {if (NR == 0) exit; m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%s/%s/%s", v[1], m, v[NR]}'; }
figure() { awk -F'\t' -v f="$1" 'index($1, f) == 1 {print $3}' "$work/run.tsv"; }
lines=() mismatch=0
for n in $instance_counts; do
  start_servers "$n"
  for c in $clients; do
    rate=() p50=() p99=() loads=() failed=0 saved=0 stored=0
    for _ in $(seq "$repeats"); do
      loads+=("$(cut -d' ' -f1 /proc/loadavg)")
      before=$(note_count)
      if ! "$driver" "$urls" load load-pw "$c" "$snaps" >"$work/run.tsv"; then failed=$((failed + 1)); fi
      stored=$((stored + $(note_count) - before))
      got=$(figure "snaps saved")
      saved=$((saved + ${got:-0}))
      rate+=("$(figure "snaps per second")")
      p50+=("$(figure "snap median")")
      p99+=("$(figure "snap p99")")
    done
    load=$(printf '%s\n' "${loads[@]}" | spread)
    for figure in "snaps/s:rate" "median ms:p50" "p99 ms:p99"; do
      name=${figure%%:*} var=${figure##*:}
      declare -n values=$var
      line=$(printf '%s\t%s instances\t%s clients, %s snaps each\t%s\t%s\t%s\t%s\t%s/%s' "$backend" "$n" "$c" "$snaps" "$name" \
        "$(printf '%s\n' "${values[@]}" | spread)" "$load" "$failed" "$saved" "$stored")
      unset -n values
      lines+=("$line")
      echo "$line" | awk -F'\t' '{printf "%-10s %-11s %-26s %-10s %-22s load %-16s runs with failures %s, saved/stored %s\n", $1, $2, $3, $4, $5, $6, $7, $8}'
    done
    if [ "$saved" != "$stored" ]; then
      echo "  saved $saved snaps but the database gained $stored notes" >&2
      mismatch=1
    fi
  done
  stop_servers
done
if [ -n "$out" ]; then
  { printf 'database\tinstances\tclients\tfigure\tmin/median/max\tload min/median/max\truns with failures\tsaved/stored\n'; printf '%s\n' "${lines[@]}"; } >"$out"
fi
[ "$mismatch" = 0 ]
