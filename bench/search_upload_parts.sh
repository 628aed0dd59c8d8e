#!/usr/bin/env bash
# Where the PostgreSQL upload's time goes with the search index: uploads
# (bench/server_load, 8 clients x 40 notes of 300 B) on fresh schemas of one
# private cluster (scripts/pg-cluster.sh, durability at PostgreSQL's
# defaults, as bench/search.sh sets it), in turns:
#
#   before   a pinleaf-server without the index (--baseline SERVER)
#   full     the service as built
#   noindex  the service, its trigram index dropped (the search columns kept)
#   notext   the service, search_text left empty by a trigger (the index
#            kept; the trigger's own cost is counted against it)
#   option   the service, its index altered by --index-option (e.g.
#            'gin_pending_list_limit = 16384' or 'fastupdate = off')
#
#   bench/search_upload_parts.sh --baseline SERVER [--repeats R] [--index-option OPT] [--db-schema NAME]
#
# --db-schema runs full/option on an existing schema of the cluster in
# build/bench/search-data/pg instead (the notes of bench/search.sh) and the
# baseline on NAME_before_index; noindex and notext are then left out.
# Every line: uploads/s, the server's CPU ms a snap, the database's CPU ms a
# snap (the postmaster and all its children, from /proc), WAL bytes a snap
# (pg_current_wal_lsn), and the one-minute load at the run's start.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"

baseline="" repeats=4 option="" schema=""
while [ $# -gt 0 ]; do
  case "$1" in
    --baseline) baseline="$2"; shift ;;
    --repeats) repeats="$2"; shift ;;
    --index-option) option="$2"; shift ;;
    --db-schema) schema="$2"; shift ;;
    *) sed -n '2,/^set -e/p' "$0" | sed 's/^# \{0,1\}//;$d' >&2; exit 2 ;;
  esac
  shift
done
[ -x "$baseline" ] || { echo "--baseline SERVER: a pinleaf-server built without the index" >&2; exit 2; }

build="$root/build/bench"
if [ "${TS_BENCH_NO_BUILD:-}" != 1 ]; then
  (cd "$root" && cmake --preset bench >/dev/null &&
    cmake --build --preset bench -j2 --target pinleaf-server server_load >/dev/null)
fi
server="$build/service/pinleaf-server"
driver="$build/bench/server_load"
cluster="$build/search-data/pg"
mkdir -p "$cluster"
work=$(mktemp -d "$build/parts.XXXXXX")
chmod 755 "$work"
"$root/scripts/pg-cluster.sh" start "$cluster" >/dev/null
eval "$("$root/scripts/pg-cluster.sh" env "$cluster")"
psql -qAt -c "ALTER SYSTEM SET fsync = on" -c "ALTER SYSTEM SET full_page_writes = on" \
  -c "ALTER SYSTEM SET synchronous_commit = on" -c "ALTER SYSTEM SET shared_buffers = '256MB'" >/dev/null
"$root/scripts/pg-cluster.sh" stop "$cluster" >/dev/null
"$root/scripts/pg-cluster.sh" start "$cluster" >/dev/null
eval "$("$root/scripts/pg-cluster.sh" env "$cluster")"
pid=""
cleanup() {
  [ -z "$pid" ] || { kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; } || true
  "$root/scripts/pg-cluster.sh" stop "$cluster" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

hz=$(getconf CLK_TCK)
uri() { echo "$PINLEAF_PG_URI?options=-csearch_path%3D$1"; }
ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
db_ticks() {
  local postmaster p sum=0
  postmaster=$(head -1 "$cluster/data/postmaster.pid")
  for p in "$postmaster" $(pgrep -P "$postmaster"); do sum=$((sum + $(ticks "$p"))); done
  echo "$sum"
}
wal() { psql -qAt -c "SELECT pg_current_wal_lsn() - '0/0'::pg_lsn"; }

# start SCHEMA SERVER: the service on the schema; sets url and pid.
start() {
  local fifo="$work/out.$RANDOM" line
  mkfifo "$fifo"
  "$2" --bind 127.0.0.1 --port 0 --db "$(uri "$1")" --max-per-address 4096 --add-user load \
    >"$fifo" 2>>"$work/server.log" <<<"load-pw" &
  pid=$!
  exec {fd}<"$fifo"
  read -r -t 120 line <&"$fd" || true
  exec {fd}<&-
  rm -f "$fifo"
  url=${line##* }
  [[ $url == http://* ]] || { echo "the server did not start" >&2; tail -5 "$work/server.log" >&2; exit 1; }
}
stop() { kill "$pid"; wait "$pid" 2>/dev/null || true; pid=""; }

# fresh SCHEMA SERVER: an empty schema in that server's layout.
fresh() {
  psql -qAt -c "DROP SCHEMA IF EXISTS $1 CASCADE" -c "CREATE SCHEMA $1" >/dev/null 2>&1
  start "$1" "$2"
  stop
}

# run NAME SCHEMA SERVER: one upload run, one line.
run() {
  start "$2" "$3"
  local l s0 d0 w0 s1 d1 w1 n=320
  l=$(cut -d' ' -f1 /proc/loadavg)
  s0=$(ticks "$pid") d0=$(db_ticks) w0=$(wal)
  "$driver" "$url" load load-pw 8 40 300 >"$work/upload.tsv"
  s1=$(ticks "$pid") d1=$(db_ticks) w1=$(wal)
  stop
  awk -F'\t' -v name="$1" -v s=$((s1 - s0)) -v d=$((d1 - d0)) -v w=$((w1 - w0)) -v hz="$hz" -v n=$n -v l="$l" \
    '/^snaps per second/ {printf "%-8s uploads/s %5s  server CPU ms %.2f  database CPU ms %.2f  WAL B %5d  load %s\n",
       name, $3, s * 1000 / hz / n, d * 1000 / hz / n, w / n, l}' "$work/upload.tsv"
}

for _ in $(seq "$repeats"); do
  if [ -n "$schema" ]; then
    run before "${schema}_before_index" "$baseline"
    psql -qAt -c "ALTER INDEX $schema.notes_search RESET (gin_pending_list_limit, fastupdate)" >/dev/null
    run full "$schema" "$server"
    if [ -n "$option" ]; then
      psql -qAt -c "ALTER INDEX $schema.notes_search SET ($option)" >/dev/null
      run option "$schema" "$server"
      psql -qAt -c "ALTER INDEX $schema.notes_search RESET (gin_pending_list_limit, fastupdate)" >/dev/null
    fi
    continue
  fi
  fresh parts_before "$baseline"
  run before parts_before "$baseline"
  fresh parts_full "$server"
  run full parts_full "$server"
  fresh parts_noindex "$server"
  psql -qAt -c "DROP INDEX parts_noindex.notes_search" >/dev/null
  run noindex parts_noindex "$server"
  fresh parts_notext "$server"
  psql -qAt -c "SET search_path TO parts_notext" \
    -c "CREATE FUNCTION no_text() RETURNS trigger LANGUAGE plpgsql AS \$\$ BEGIN NEW.search_text := NULL; RETURN NEW; END \$\$" \
    -c "CREATE TRIGGER no_text BEFORE INSERT ON notes FOR EACH ROW EXECUTE FUNCTION no_text()" >/dev/null
  run notext parts_notext "$server"
  if [ -n "$option" ]; then
    fresh parts_option "$server"
    psql -qAt -c "ALTER INDEX parts_option.notes_search SET ($option)" >/dev/null
    run option parts_option "$server"
  fi
done
