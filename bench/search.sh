#!/usr/bin/env bash
# Search, uploads and downloads of pinleaf-server with one account of many
# notes (bench/search_data.cpp: about 300 bytes each, every second one
# Japanese, written straight into the database in one transaction), on SQLite
# and on PostgreSQL (a private cluster, scripts/pg-cluster.sh, durability
# settings back at PostgreSQL's defaults).
#
#   bench/search.sh [--db sqlite|postgresql|both] [--notes N] [--repeats R] [--upload-repeats U]
#                   [--baseline SERVER] [--skip search,upload,export] [--smoke] [--out FILE]
#
# search  each word of 1, 2, 3 and 8 characters (bench/search_query.py) R times
#         through the API: p50, p99 and max per length of word
# upload  snaps per second (bench/server_load, 8 clients, notes of 300 bytes),
#         the service as built against --baseline SERVER (a pinleaf-server
#         built from an earlier commit, without the index), alternately, U
#         times each, each on a fresh database; then with the N notes, the
#         baseline on a copy of them in its own layout and the service with
#         its index of them, alternately
# export  the server's peak resident size while the JSON and the zip of an
#         account of 10,000 and of 100,000 notes are downloaded
# Every figure comes with the one-minute load average at its start. The data
# of N notes is made once and kept under build/bench/search-data/.
# --smoke: 20,000 notes, 3 repeats, one upload run.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"

backends=both notes=1000000 repeats=30 upload_repeats=5 baseline="" skip="" out=""
while [ $# -gt 0 ]; do
  case "$1" in
    --db) backends="$2"; shift ;;
    --notes) notes="$2"; shift ;;
    --repeats) repeats="$2"; shift ;;
    --upload-repeats) upload_repeats="$2"; shift ;;
    --baseline) baseline="$2"; shift ;;
    --skip) skip="$2"; shift ;;
    --smoke) notes=20000 repeats=3 upload_repeats=1 ;;
    --out) out="$2"; shift ;;
    *) sed -n '2,/^set -e/p' "$0" | sed 's/^# \{0,1\}//;$d' >&2; exit 2 ;;
  esac
  shift
done
[ "$backends" = both ] && backends="sqlite postgresql"

build="$root/build/bench"
if [ "${TS_BENCH_NO_BUILD:-}" != 1 ]; then
  (cd "$root" && cmake --preset bench >/dev/null &&
    cmake --build --preset bench -j2 --target pinleaf-server server_load search_data >/dev/null)
fi
server="$build/service/pinleaf-server"
driver="$build/bench/server_load"
data="$build/search-data"
mkdir -p "$data"
work=$(mktemp -d "$build/search.XXXXXX")
chmod 755 "$work"
pids=() pg_dir=""
stop_servers() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  pids=()
}
cleanup() {
  stop_servers
  [ -z "$pg_dir" ] || "$root/scripts/pg-cluster.sh" stop "$pg_dir" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
skipped() { [[ ",$skip," == *",$1,"* ]]; }
load() { cut -d' ' -f1 /proc/loadavg; }
lines=()
say() {  # one result line: backend, figure, value, load
  lines+=("$(printf '%s\t%s\t%s\t%s' "$@")")
  printf '%-10s %-62s %-28s load %s\n' "$@"
}

# start_server DB [SERVER]: sets url; the process goes into pids.
start_server() {
  local listening fifo="$work/server.$RANDOM.out"
  mkfifo "$fifo"
  "${2:-$server}" --bind 127.0.0.1 --port 0 --db "$1" --max-per-address 4096 --add-user load >"$fifo" 2>>"$work/server.log" <<<"load-pw" &
  pids+=($!)
  exec {fd}<"$fifo"
  read -r -t 60 listening <&"$fd" || true
  rm -f "$fifo"
  url=${listening##* }
  [[ $url == http://* ]] || { echo "the server did not start on $1" >&2; tail -5 "$work/server.log" >&2; exit 1; }
}

pg_start() {
  [ -n "$pg_dir" ] && return 0
  pg_dir=$data/pg
  "$root/scripts/pg-cluster.sh" start "$pg_dir" >/dev/null
  eval "$("$root/scripts/pg-cluster.sh" env "$pg_dir")"
  psql -qAt -c "ALTER SYSTEM SET fsync = on" -c "ALTER SYSTEM SET full_page_writes = on" \
    -c "ALTER SYSTEM SET synchronous_commit = on" -c "ALTER SYSTEM SET shared_buffers = '256MB'" >/dev/null
  "$root/scripts/pg-cluster.sh" stop "$pg_dir" >/dev/null
  "$root/scripts/pg-cluster.sh" start "$pg_dir" >/dev/null
  eval "$("$root/scripts/pg-cluster.sh" env "$pg_dir")"
}

# dataset BACKEND N: sets db and token for an account of N notes, made once.
dataset() {
  local name="notes_$2"
  if [ "$1" = sqlite ]; then
    db="$data/$name.db"
  else
    pg_start
    db="$PINLEAF_PG_URI?options=-csearch_path%3D$name"
    if ! psql -qAt -c "SELECT 1 FROM pg_namespace WHERE nspname = '$name'" | grep -q 1; then
      rm -f "$data/$name.pg.token"
      psql -qAt -c "CREATE SCHEMA $name" >/dev/null
    fi
  fi
  local token_file="$data/$name.$1.token"
  if [ ! -s "$token_file" ]; then
    [ "$1" = sqlite ] && rm -f "$db" "$db-wal" "$db-shm"
    echo "making $2 notes on $1 ..." >&2
    local t0=$SECONDS
    "$build/bench/search_data" --db "$db" --notes "$2" >"$token_file.part"
    mv "$token_file.part" "$token_file"
    echo "  made in $((SECONDS - t0)) s" >&2
  fi
  token=$(cat "$token_file")
}

echo "pinleaf-server search bench: $(nproc) cores, $(free -g | awk '/Mem:/ {print $2}') GiB; $notes notes"
for backend in $backends; do
  if ! skipped search; then
    dataset "$backend" "$notes"
    start_server "$db"
    # Warm the caches once, as a service that has run a while has them.
    python3 "$here/search_query.py" "$url" "$token" 1 >/dev/null
    l=$(load)
    while IFS=$'\t' read -r chars words count p50 p99 max found; do
      say "$backend" "search, words of $chars characters ($count searches: $words)" "p50 $p50 p99 $p99 max $max ms" "$l"
      echo "             first page found $found"
    done < <(python3 "$here/search_query.py" "$url" "$token" "$repeats")
    stop_servers
  fi

  if ! skipped upload; then
    snaps_of() { awk -F'\t' '/^snaps per second/ {print $3}' "$1"; }
    # The server's own CPU time (user and system) in clock ticks: what an
    # upload costs it, whatever else the machine is doing meanwhile.
    ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
    hz=$(getconf CLK_TCK)
    upload_run() {  # DB SERVER: appends "rate cpu_ms_per_upload" to the named array
      start_server "$1" "$2"
      local pid=${pids[-1]} t0
      t0=$(ticks "$pid")
      "$driver" "$url" load load-pw 8 40 300 >"$work/upload.tsv"
      echo "$(snaps_of "$work/upload.tsv") $(awk -v d=$(($(ticks "$pid") - t0)) -v hz="$hz" 'BEGIN {printf "%.2f", d * 1000 / hz / 320}')"
      stop_servers
    }
    rates_new=() rates_old=() cpu_new=() cpu_old=()
    for r in $(seq "$upload_repeats"); do
      for which in old new; do
        [ "$which" = old ] && [ -z "$baseline" ] && continue
        if [ "$backend" = sqlite ]; then
          fresh="$work/upload-$which-$r.db"
        else
          pg_start
          psql -qAt -c "DROP SCHEMA IF EXISTS upload_$which CASCADE" -c "CREATE SCHEMA upload_$which" >/dev/null 2>&1
          fresh="$PINLEAF_PG_URI?options=-csearch_path%3Dupload_$which"
        fi
        read -r rate cpu < <(upload_run "$fresh" "$([ "$which" = old ] && echo "$baseline" || echo "$server")")
        if [ "$which" = old ]; then
          rates_old+=("$rate") cpu_old+=("$cpu")
        else
          rates_new+=("$rate") cpu_new+=("$cpu")
        fi
      done
    done
    spread() { sort -g | awk '{v[NR]=$1} END {m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%s/%s/%s", v[1], m, v[NR]}'; }
    l=$(load)
    if [ -n "$baseline" ]; then
      say "$backend" "uploads/s, 8 clients x 40 notes of 300 B, fresh database, before" "$(printf '%s\n' "${rates_old[@]}" | spread) min/med/max" "$l"
      say "$backend" "server CPU ms an upload, the same runs, before" "$(printf '%s\n' "${cpu_old[@]}" | spread) min/med/max" "$l"
    fi
    say "$backend" "uploads/s, 8 clients x 40 notes of 300 B, fresh database, with index" "$(printf '%s\n' "${rates_new[@]}" | spread) min/med/max" "$l"
    say "$backend" "server CPU ms an upload, the same runs, with index" "$(printf '%s\n' "${cpu_new[@]}" | spread) min/med/max" "$l"
    if ! skipped search; then
      dataset "$backend" "$notes"
      # The same account in the layout before the index (its notes copied
      # into a database the baseline made), for the baseline at that size.
      old_db=""
      if [ -n "$baseline" ]; then
        if [ "$backend" = sqlite ]; then
          old_db="$data/notes_${notes}_before_index.db"
          if [ ! -s "$old_db" ]; then
            cp "$db" "$old_db.part"
            sqlite3 "$old_db.part" "DROP TRIGGER notes_fts_added; DROP TRIGGER notes_fts_removed;
              DROP TRIGGER notes_fts_changed; DROP TABLE notes_fts; DROP TABLE note_tags; DROP TABLE tag_counts;
              DROP TABLE access_tokens; DROP TABLE IF EXISTS device_grants; DELETE FROM schema_version WHERE version > 3;
              PRAGMA journal_mode = DELETE;" >/dev/null
            mv "$old_db.part" "$old_db"
          fi
        else
          old_schema="notes_${notes}_before_index"
          old_db="$PINLEAF_PG_URI?options=-csearch_path%3D$old_schema"
          if ! psql -qAt -c "SELECT 1 FROM pg_namespace WHERE nspname = '$old_schema'" | grep -q 1; then
            psql -qAt -c "CREATE SCHEMA $old_schema" >/dev/null
            start_server "$old_db" "$baseline"  # makes the old layout
            stop_servers
            psql -qAt -c "SET search_path TO $old_schema" -c "DELETE FROM users" \
              -c "INSERT INTO users SELECT id, name, password_hash, created_ms FROM notes_$notes.users" \
              -c "INSERT INTO notes(id, user_id, title, body, color, paper_id, received_ms, body_hash)
                  SELECT id, user_id, title, body, color, paper_id, received_ms, body_hash FROM notes_$notes.notes" \
              -c "SELECT setval(pg_get_serial_sequence('notes', 'id'), (SELECT MAX(id) FROM notes))" \
              -c "SELECT setval(pg_get_serial_sequence('users', 'id'), (SELECT MAX(id) FROM users))" \
              -c "ANALYZE" >/dev/null
          fi
        fi
      fi
      full=() full_cpu=() before=() before_cpu=()
      l=$(load)
      for r in $(seq "$upload_repeats"); do
        if [ -n "$old_db" ]; then
          read -r rate cpu < <(upload_run "$old_db" "$baseline")
          before+=("$rate") before_cpu+=("$cpu")
        fi
        read -r rate cpu < <(upload_run "$db" "$server")
        full+=("$rate") full_cpu+=("$cpu")
      done
      if [ -n "$old_db" ]; then
        say "$backend" "uploads/s, 8 clients x 40 notes of 300 B, $notes notes, before" "$(printf '%s\n' "${before[@]}" | spread) min/med/max" "$l"
        say "$backend" "server CPU ms an upload, the same runs, before" "$(printf '%s\n' "${before_cpu[@]}" | spread) min/med/max" "$l"
      fi
      say "$backend" "uploads/s, 8 clients x 40 notes of 300 B, index of $notes notes" "$(printf '%s\n' "${full[@]}" | spread) min/med/max" "$l"
      say "$backend" "server CPU ms an upload, the same runs" "$(printf '%s\n' "${full_cpu[@]}" | spread) min/med/max" "$l"
    fi
  fi

  if ! skipped export; then
    for n in 10000 100000; do
      dataset "$backend" "$n"
      start_server "$db"
      pid=${pids[-1]}
      for format in json zip; do
        echo 5 >"/proc/$pid/clear_refs"
        at_start=$(awk '/VmHWM/ {print $2}' "/proc/$pid/status")
        bytes=$(curl -sf -H "Authorization: Bearer $token" "$url/api/v1/export?format=$format" | wc -c)
        peak=$(awk '/VmHWM/ {print $2}' "/proc/$pid/status")
        say "$backend" "download of $n notes as $format ($((bytes / 1024)) KiB)" "peak $peak KiB (at start $at_start)" "$(load)"
      done
      stop_servers
    done
  fi
done
if [ -n "$out" ]; then
  { printf 'database\tfigure\tvalue\tload\n'; printf '%s\n' "${lines[@]}"; } >"$out"
fi
