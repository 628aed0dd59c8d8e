#!/usr/bin/env bash
# A private PostgreSQL cluster for the tests: scripts/pg-cluster.sh start|stop|env DIR
#   start  initdb into DIR/data (first time), then run it: Unix socket in DIR,
#          a free TCP port on 127.0.0.1, role and database "pinleaf" with a
#          random password (kept in DIR/password). Run as root (CI), the
#          cluster runs as the unprivileged system user pinleaf-test.
#   env    prints the export lines for libpq (PGHOST PGPORT PGUSER PGDATABASE
#          PGPASSWORD) and PINLEAF_PG_URI, a TCP URI without the password.
#   stop   stops it (fast shutdown); the data stays for the next start.
# Nothing of the machine's own PostgreSQL service is used or changed.
set -euo pipefail

usage() { echo "usage: $0 start|stop|env DIR" >&2; exit 2; }
[ $# -eq 2 ] || usage
cmd=$1
[ "$cmd" != start ] || mkdir -p "$2"
[ -d "$2" ] || { echo "pg-cluster: no cluster in $2" >&2; [ "$cmd" = stop ] && exit 0; exit 1; }
dir=$(cd "$2" && pwd)
data=$dir/data
user=pinleaf-test
role=pinleaf

bin=$(printf '%s\n' /usr/lib/postgresql/*/bin | sort -V | tail -1)
[ -x "$bin/initdb" ] || { echo "pg-cluster: no PostgreSQL server binaries under /usr/lib/postgresql (package postgresql)" >&2; exit 1; }

# The server refuses to run as root: as root, run it as a system user of its own.
as_owner() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u "$user" -- "$@"; else "$@"; fi
}

prepare_owner() {
  [ "$(id -u)" -eq 0 ] || return 0
  id -u "$user" >/dev/null 2>&1 ||
    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$user"
  chown "$user:" "$dir"
  chmod 700 "$dir"
  # Every parent folder must be traversable for the server to reach DIR.
  local p=$dir
  while [ "$p" != / ]; do
    p=$(dirname "$p")
    if ! runuser -u "$user" -- test -x "$p"; then
      echo "pg-cluster: letting $user traverse $p (o+x)" >&2
      chmod o+x "$p"
    fi
  done
}

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

running() { [ -f "$data/postmaster.pid" ] && as_owner "$bin/pg_ctl" -D "$data" status >/dev/null 2>&1; }

start() {
  prepare_owner
  if [ ! -f "$data/PG_VERSION" ]; then
    rm -rf "$data"
    umask 077
    head -c 18 /dev/urandom | base64 | tr '+/' 'xy' >"$dir/password"
    chmod 600 "$dir/password"
    local pwfile="$dir/password.init"
    cp "$dir/password" "$pwfile"
    [ "$(id -u)" -ne 0 ] || chown "$user:" "$pwfile"
    as_owner "$bin/initdb" -D "$data" -U "$role" --pwfile="$pwfile" -A scram-sha-256 \
      -E UTF8 --locale=C -N >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
    rm -f "$pwfile"
    # A throwaway test cluster: no durability cost, small memory.
    as_owner tee -a "$data/postgresql.conf" >/dev/null <<CONF
listen_addresses = '127.0.0.1'
unix_socket_directories = '$dir'
fsync = off
full_page_writes = off
synchronous_commit = off
shared_buffers = 32MB
max_connections = 200
log_min_messages = warning
CONF
  fi
  if running; then echo "pg-cluster: already running in $dir"; return 0; fi
  local port tries=0
  while :; do
    port=$(free_port)
    if as_owner "$bin/pg_ctl" -D "$data" -l "$dir/server.log" -w -t 60 -o "-p $port" start >/dev/null 2>&1; then break; fi
    tries=$((tries + 1))
    if [ $tries -ge 3 ]; then tail -20 "$dir/server.log" >&2; echo "pg-cluster: could not start" >&2; exit 1; fi
  done
  echo "$port" >"$dir/port"
  PGPASSWORD=$(cat "$dir/password") "$bin/psql" -h "$dir" -p "$port" -U "$role" -d postgres -qAt \
    -c "SELECT 1 FROM pg_database WHERE datname = '$role'" | grep -q 1 ||
    PGPASSWORD=$(cat "$dir/password") "$bin/createdb" -h "$dir" -p "$port" -U "$role" "$role"
  echo "pg-cluster: running in $dir on port $port"
}

stop() {
  if running; then as_owner "$bin/pg_ctl" -D "$data" -m fast -w stop >/dev/null; echo "pg-cluster: stopped"; fi
}

env_lines() {
  if [ ! -f "$dir/port" ] || ! running; then echo "pg-cluster: not running in $dir" >&2; exit 1; fi
  local port
  port=$(cat "$dir/port")
  echo "export PGHOST=$dir"
  echo "export PGPORT=$port"
  echo "export PGUSER=$role"
  echo "export PGDATABASE=$role"
  echo "export PGPASSWORD=$(cat "$dir/password")"
  echo "export PINLEAF_PG_URI=postgresql://$role@127.0.0.1:$port/$role"
}

case $cmd in
  start) start ;;
  stop) stop ;;
  env) env_lines ;;
  *) usage ;;
esac
