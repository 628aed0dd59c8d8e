#!/usr/bin/env bash
# Side-by-side loopback measurements of our HTTP client against curl and a
# plain recv loop, all talking to one local nginx that this script starts on a
# free 127.0.0.1 port with a temporary configuration and stops again.
#
#   bench/loopback.sh [--smoke] [--out FILE]
#
# Prints one line per figure: ours (or, where the line says so, curl's), the
# reference (curl or the recv ceiling) and the ratio, oriented so that higher
# is better for us. --out also writes the
# lines as tab-separated values. --smoke uses tiny sizes and one repeat, to
# keep the script and its programs working; its figures mean nothing.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"

smoke=0 out=""
while [ $# -gt 0 ]; do
  case "$1" in
    --smoke) smoke=1 ;;
    --out) out="$2"; shift ;;
    *) echo "usage: $0 [--smoke] [--out FILE]" >&2; exit 2 ;;
  esac
  shift
done

if [ $smoke -eq 1 ]; then
  bulk_mib=1 gets=20 posts=5 repeats=1
else
  bulk_mib=256 gets=2000 posts=200 repeats=5
fi

"$root/scripts/install-deps.sh" >/dev/null
build="$root/build/bench"
if [ ! -x "$build/bench/recv_ceiling" ] || [ $smoke -eq 0 ]; then
  (cd "$root" && cmake --preset bench >/dev/null && cmake --build --preset bench -j2 >/dev/null)
fi
bin="$build/bench"

work=$(mktemp -d)
nginx_pid="" server_pid="" shm=""
cleanup() {
  for pid in $nginx_pid $server_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work" ${shm:+"$shm"}
}
trap cleanup EXIT

# ---- the server ----
mkdir -p "$work/www" "$work/tmp"
truncate -s "${bulk_mib}M" "$work/www/big.bin"
head -c 1024 /dev/zero | tr '\0' 'p' > "$work/www/page.html"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat > "$work/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log warn;
events { worker_connections 256; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  tcp_nodelay on;
  keepalive_requests 100000;
  keepalive_timeout 60s;
  client_body_temp_path $work/tmp/body;
  proxy_temp_path $work/tmp/proxy;
  fastcgi_temp_path $work/tmp/fastcgi;
  uwsgi_temp_path $work/tmp/uwsgi;
  scgi_temp_path $work/tmp/scgi;
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$port;
    root $work/www;
    # The form target answers like the note service: a short text, whatever came.
    location = /posts/addpinleaf { return 200 "====\n"; }
    # Canned answers of the note service for the snap: no sign-in form, upload stored.
    location = /pinleaf2/posts/nop/ { return 200 "<p>hello</p>\n"; }
    location = /pinleaf2/posts/addpinleaf { return 200 "<p>====</p>\n"; }
  }
}
CONF
nginx -p "$work" -c "$work/nginx.conf" &
nginx_pid=$!
for _ in $(seq 100); do
  curl -s -o /dev/null "http://127.0.0.1:$port/page.html" && break
  sleep 0.05
done
base="http://127.0.0.1:$port"

# ---- helpers ----
# Every figure is the wall time of one whole process (ours, curl's, the
# ceiling's), process start included, so no side gains from where it starts
# its clock.
# The best of the repeats: on a machine shared with other work, interference
# only ever adds time, so the fastest run is the most faithful one.
best() { sort -g | head -1; }
# Seconds of one run of a command (its output dropped); the shell's own clock,
# so no extra process sits inside the measured span.
seconds_of() {
  local t0 t1
  t0=$EPOCHREALTIME
  "$@" >/dev/null
  t1=$EPOCHREALTIME
  echo "$t1 - $t0" | bc -l
}

results=()
report() {  # name unit ours reference reference-name [higher-is-better: 1/0]
  local name=$1 unit=$2 ours=$3 ref=$4 refname=$5 higher=${6:-1} ratio="-"
  if [[ $ours =~ ^[0-9.]+$ && $ref =~ ^[0-9.]+$ ]]; then
    if [ "$higher" = 1 ]; then ratio=$(echo "$ours / $ref" | bc -l); else ratio=$(echo "$ref / $ours" | bc -l); fi
    ratio=$(printf '%.2f' "$ratio")
  fi
  local line shown_ours="$ours $unit" shown_ref="$ref $unit"
  [[ $ours == "not measured"* ]] && shown_ours=$ours
  [[ $ref == "not measured"* || $ref == "-" ]] && shown_ref=$ref
  line=$(printf '%-58s %-22s | %-8s %-18s | ratio %s' "$name" "$shown_ours" "$refname" "$shown_ref" "$ratio")
  echo "$line"
  results+=("$name"$'\t'"$unit"$'\t'"$ours"$'\t'"$refname"$'\t'"$ref"$'\t'"$ratio")
}
have_client=0
[ -x "$bin/loopback_client" ] && have_client=1
not_built="not measured (no HTTP request engine yet)"

echo "loopback on 127.0.0.1:$port, nginx $(nginx -v 2>&1 | sed 's/.*\///'), $(curl --version | head -1 | cut -d' ' -f1-2)"

# ---- 1. bulk download ----
bytes=$((bulk_mib * 1024 * 1024))
mibps() { echo "$bytes / 1048576 / $1" | bc -l | xargs printf '%.0f'; }
ours_t=() curl_t=() ceil_t=()
for _ in $(seq $repeats); do
  ceil_t+=("$(seconds_of "$bin/recv_ceiling" "$port" /big.bin 1)")
  curl_t+=("$(seconds_of curl -s -o /dev/null "$base/big.bin")")
  if [ $have_client = 1 ]; then ours_t+=("$(seconds_of "$bin/loopback_client" bulk "$base/big.bin")"); fi
done
curl_rate=$(mibps "$(printf '%s\n' "${curl_t[@]}" | best)")
ceil_rate=$(mibps "$(printf '%s\n' "${ceil_t[@]}" | best)")
if [ $have_client = 1 ]; then ours_rate=$(mibps "$(printf '%s\n' "${ours_t[@]}" | best)"); else ours_rate=$not_built; fi
report "bulk ${bulk_mib} MiB GetToStream" MiB/s "$ours_rate" "$curl_rate" curl
report "bulk ${bulk_mib} MiB GetToStream" MiB/s "$ours_rate" "$ceil_rate" ceiling
report "bulk ${bulk_mib} MiB (curl itself)" MiB/s "$curl_rate" "$ceil_rate" ceiling

# ---- 2. keep-alive: sequential GETs on one connection ----
for _ in $(seq $gets); do printf 'url = "%s/page.html"\noutput = "/dev/null"\n' "$base"; done > "$work/gets.curl"
ours_t=() curl_t=() ceil_t=()
for _ in $(seq $repeats); do
  curl_t+=("$(seconds_of curl -s -K "$work/gets.curl")")
  ceil_t+=("$(seconds_of "$bin/recv_ceiling" "$port" /page.html "$gets")")
  if [ $have_client = 1 ]; then ours_t+=("$(seconds_of "$bin/loopback_client" keepalive "$base/page.html" "$gets")"); fi
done
rps() { echo "$gets / $1" | bc -l | xargs printf '%.0f'; }
curl_rate=$(rps "$(printf '%s\n' "${curl_t[@]}" | best)")
ceil_rate=$(rps "$(printf '%s\n' "${ceil_t[@]}" | best)")
if [ $have_client = 1 ]; then ours_rate=$(rps "$(printf '%s\n' "${ours_t[@]}" | best)"); else ours_rate=$not_built; fi
report "keep-alive ${gets} GETs" req/s "$ours_rate" "$curl_rate" curl
report "keep-alive ${gets} GETs" req/s "$ours_rate" "$ceil_rate" ceiling

# ---- 3. form posts of a 1 KiB note ----
head -c 1024 /dev/zero | tr '\0' 'n' > "$work/note.txt"
note=$(cat "$work/note.txt")
for i in $(seq $posts); do
  [ "$i" -gt 1 ] && echo next
  printf 'url = "%s/posts/addpinleaf"\ndata = "note=%s"\noutput = "/dev/null"\n' "$base" "$note"
done > "$work/posts.curl"
ours_t=() curl_t=()
for _ in $(seq $repeats); do
  curl_t+=("$(seconds_of curl -s -K "$work/posts.curl")")
  if [ $have_client = 1 ]; then ours_t+=("$(seconds_of "$bin/loopback_client" post "$base/posts/addpinleaf" "$posts" "$work/note.txt")"); fi
done
pps() { echo "$posts / $1" | bc -l | xargs printf '%.0f'; }
curl_rate=$(pps "$(printf '%s\n' "${curl_t[@]}" | best)")
if [ $have_client = 1 ]; then ours_rate=$(pps "$(printf '%s\n' "${ours_t[@]}" | best)"); else ours_rate=$not_built; fi
report "form posts ${posts} x 1 KiB" posts/s "$ours_rate" "$curl_rate" curl

# ---- peak memory of the bulk download ----
curl_rss=$(/usr/bin/time -f '%M' curl -s -o /dev/null "$base/big.bin" 2>&1 >/dev/null | tail -1)
if [ $have_client = 1 ]; then
  ours_rss=$("$bin/loopback_client" bulk "$base/big.bin" | cut -d' ' -f3)
else
  ours_rss=$not_built
fi
report "peak RSS during bulk download" KiB "$ours_rss" "$curl_rss" curl 0

# ---- 4. the snap ----
# Twice: against canned pages from nginx (what the client itself costs), and
# against pinleaf-server (the real service, its storage included).
snaps=$([ $smoke -eq 1 ] && echo 5 || echo 200)
report_snap() {  # file
  while IFS=$'\t' read -r name unit value; do
    case "$name" in
      *first*) report "$name" "$unit" "$value" "-" "-" ;;
      *CPU*) report "$name" "$unit" "$value" "-" "-" ;;
      *) report "$name" "$unit" "$value" 5 target 0 ;;
    esac
  done <"$1"
}
server="$build/service/pinleaf-server"
if [ -x "$bin/snap_bench" ]; then
  if "$bin/snap_bench" "$base/pinleaf2" bench bench-pw "$snaps" "(canned pages)" >"$work/snap-canned.tsv"; then
    report_snap "$work/snap-canned.tsv"
  else
    report "snap (canned pages)" ms "not measured (the snap run failed)" "-" "-"
  fi
  # The service keeps its database in memory (tmpfs) for the client's figures,
  # and on disk as a user's service would, where every stored note waits for
  # the disk.
  shm=$(mktemp -d /dev/shm/textsnap-bench.XXXXXX 2>/dev/null || mktemp -d)
  for place in memory disk; do
    [ -x "$server" ] || break
    db="$work/pinleaf-$place.db"
    [ $place = memory ] && db="$shm/pinleaf.db"
    rm -f "$work/server.out"
    mkfifo "$work/server.out"
    "$server" --bind 127.0.0.1 --port 0 --db "$db" --add-user bench >"$work/server.out" 2>/dev/null <<<"bench-pw" &
    server_pid=$!
    # Held open until the server stops, so its later output never meets a closed pipe.
    exec 3<"$work/server.out"
    read -r -t 20 listening <&3 || true
    service_url=${listening##* }
    label="(pinleaf-server, database in memory)"
    [ $place = disk ] && label="(pinleaf-server, database on disk)"
    if [[ $service_url == http://* ]] &&
       "$bin/snap_bench" "$service_url" bench bench-pw "$snaps" "$label" >"$work/snap-$place.tsv"; then
      report_snap "$work/snap-$place.tsv"
    else
      report "snap $label" ms "not measured (the server or the snap run failed)" "-" "-"
    fi
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
    exec 3<&-
  done
  rm -rf "$shm"
else
  report "snap overhead median / p99" ms "not measured (no HTTP request engine yet)" "-" "-"
fi

# ---- 5. the footprint of the client ----
# Its start-up over the in-process desktop, as the program starts, until the
# message loop first waits with the icon in the tray; then it quits.
if [ -x "$bin/footprint" ]; then
  ready_t=() whole_t=() rss=()
  for i in $(seq $repeats); do
    "$bin/footprint" "$work/ini-$i.ini" >"$work/footprint.tsv"
    ready_t+=("$(sed -n 's/^client start-up to tray icon (in process)\tms\t//p' "$work/footprint.tsv")")
    whole_t+=("$(seconds_of "$bin/footprint" "$work/ini-w$i.ini")")
    rss+=("$(/usr/bin/time -f '%M' "$bin/footprint" "$work/ini-r$i.ini" 2>&1 >/dev/null | tail -1)")
  done
  report "client start-up to tray icon (in process)" ms "$(printf '%s\n' "${ready_t[@]}" | best)" "-" "-"
  report "client start-up to tray icon (whole process)" ms \
    "$(printf '%.3f' "$(echo "$(printf '%s\n' "${whole_t[@]}" | best) * 1000" | bc -l)")" "-" "-"
  report "client peak RSS at start-up (whole process)" KiB "$(printf '%s\n' "${rss[@]}" | sort -g | tail -1)" "$curl_rss" "curl" 0
else
  report "client peak RSS, start-up to tray icon" KiB/ms "not measured (no client window yet)" "-" "-"
fi

if [ -n "$out" ]; then
  { printf 'figure\tunit\tours\treference\treference_value\tratio\n'; printf '%s\n' "${results[@]}"; } > "$out"
fi
