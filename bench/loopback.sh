#!/usr/bin/env bash
# Side-by-side loopback measurements of our HTTP client against curl and a
# plain recv loop, all talking to one local nginx that this script starts on a
# free 127.0.0.1 port with a temporary configuration and stops again.
#
#   bench/loopback.sh [--smoke] [--out FILE] [--repeats N] [--only LIST] [--wine]
#
# Prints one line per figure: ours (or, where the line says so, curl's), the
# reference (curl or the recv ceiling) and the ratio, oriented so that higher
# is better for us. Every figure is taken in N repeats (default 5) and shown
# as min / median / max; the ratio is taken within each repeat (ours and the
# reference one right after the other) and its spread shown the same way. The
# one-minute load average is recorded before every repeat. --out also writes
# the lines as tab-separated values. --only runs some parts (comma-separated:
# bulk, keepalive, post, rss, snap, footprint). --wine runs our client as the
# Windows build under Wine (build/windows-bench, see bench/wine.sh) beside the
# native curl and ceiling, plus the ceiling's own Windows build under Wine.
# --smoke uses tiny sizes and one repeat, to keep the script and its programs
# working; its figures mean nothing.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"

smoke=0 out="" repeats="" only="bulk,keepalive,post,rss,snap,footprint,https" wine=0
while [ $# -gt 0 ]; do
  case "$1" in
    --smoke) smoke=1 ;;
    --out) out="$2"; shift ;;
    --repeats) repeats="$2"; shift ;;
    --only) only="$2"; shift ;;
    --wine) wine=1 ;;
    *) echo "usage: $0 [--smoke] [--out FILE] [--repeats N] [--only LIST] [--wine]" >&2; exit 2 ;;
  esac
  shift
done
part() { [[ ",$only," == *",$1,"* ]]; }

if [ $smoke -eq 1 ]; then
  bulk_mib=1 gets=20 posts=5 repeats=${repeats:-1}
else
  bulk_mib=256 gets=2000 posts=200 repeats=${repeats:-5}
fi

"$root/scripts/install-deps.sh" >/dev/null
build="$root/build/bench"
if [ "${TS_BENCH_NO_BUILD:-}" != 1 ] && { [ ! -x "$build/bench/recv_ceiling" ] || [ $smoke -eq 0 ]; }; then
  (cd "$root" && cmake --preset bench >/dev/null && cmake --build --preset bench -j2 >/dev/null)
fi
bin="$build/bench"
# Our client: the native driver, or its Windows build under Wine.
client=("$bin/loopback_client")
wine_ceiling=()
if [ $wine = 1 ]; then
  winbin="${TS_WINDOWS_BENCH_BUILD:-$root/build/windows-bench}/bench"
  [ -f "$winbin/loopback_client.exe" ] || { echo "no $winbin/loopback_client.exe: run bench/wine.sh first" >&2; exit 2; }
  export WINEPREFIX="${WINEPREFIX:-$root/build/windows-bench/wineprefix}" WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  client=(wine "$winbin/loopback_client.exe")
  wine_ceiling=(wine "$winbin/recv_ceiling.exe")
  # The Wine server and the prefix start once here, not inside a measured run.
  wine "$winbin/recv_ceiling.exe" >/dev/null 2>&1 || true
fi

work=$(mktemp -d)
nginx_pid="" server_pid="" shm="" cmp_pids=()
cleanup() {
  for pid in $nginx_pid $server_pid "${cmp_pids[@]}"; do
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
cat > "$work/nginx.conf.in" <<CONF
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
    listen 127.0.0.1:@PORT@;
    root $work/www;
    # The form target answers like the note service: a short text, whatever came.
    location = /posts/addpinleaf { return 200 "====\n"; }
    # Canned answers of the note service for the snap: no sign-in form, upload stored.
    location = /pinleaf2/posts/nop/ { return 200 "<p>hello</p>\n"; }
    location = /pinleaf2/posts/addpinleaf { return 200 "<p>====</p>\n"; }
  }
}
CONF

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# nginx on nginx.conf.in with free ports for @PORT@ (and @TLS_PORT@), waited
# for until it answers. A port free when picked may be taken before nginx
# binds it: nginx then ends at once and is started again on others.
start_nginx() {
  [ -n "$nginx_pid" ] && { kill "$nginx_pid"; wait "$nginx_pid" 2>/dev/null || true; nginx_pid=""; }
  for _ in 1 2 3; do
    port=$(free_port) tls_port=$(free_port)
    sed -e "s/@PORT@/$port/" -e "s/@TLS_PORT@/$tls_port/" "$work/nginx.conf.in" >"$work/nginx.conf"
    nginx -p "$work" -c "$work/nginx.conf" &
    nginx_pid=$!
    for _ in $(seq 100); do
      curl -s -o /dev/null "http://127.0.0.1:$port/page.html" && return 0
      kill -0 "$nginx_pid" 2>/dev/null || break
      sleep 0.05
    done
    kill "$nginx_pid" 2>/dev/null; wait "$nginx_pid" 2>/dev/null; nginx_pid=""
  done
  echo "nginx did not start: $(cat "$work/error.log" 2>/dev/null)" >&2
  exit 1
}
start_nginx
base="http://127.0.0.1:$port"

# ---- helpers ----
# Every figure is the wall time of one whole process (ours, curl's, the
# ceiling's), process start included, so no side gains from where it starts
# its clock.
load1() { cut -d' ' -f1 /proc/loadavg; }
loads=()
# "min median max" of numbers on standard input.
spread() { sort -g | awk '{v[NR]=$1} END {if (NR == 0) exit; m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%s %s %s\n", v[1], m, v[NR]}'; }
fmt() { awk -v p="$1" '{printf "%." p "f/%." p "f/%." p "f\n", $1, $2, $3}'; }
# Wall, user and system seconds of one run of a command: the shell's own
# clock, and the children's CPU times as the shell counts them. The command's
# output is kept in $work/out (our client and the ceiling print the seconds
# they measured themselves, first on the line).
timed() {
  (
    t0=$EPOCHREALTIME
    "$@" >"$work/out"
    t1=$EPOCHREALTIME
    times >"$work/times"  # a builtin: no process of its own, so the children are ours
    read -r user sys < <(tail -1 "$work/times" | sed 's/m/ /g; s/s//g' | awk '{print $1 * 60 + $2, $3 * 60 + $4}')
    echo "$(echo "$t1 - $t0" | bc -l) $user $sys"
  )
}

# The seconds the last timed run of our client or the ceiling measured from
# inside, without its process start (under Wine that start is seconds).
inside() { tr -d '\r' <"$work/out" | cut -d' ' -f1; }

results=()
# name unit "ours-runs" "reference-runs" reference-name [higher-is-better: 1/0]
# The runs are space-separated values of the same repeats, in the same order,
# so each ratio is taken within one repeat.
report() {
  local name=$1 unit=$2 ours=$3 ref=$4 refname=$5 higher=${6:-1} ratio="-" shown_ours shown_ref ratios=()
  read -r -a o <<<"$ours"
  read -r -a r <<<"$ref"
  if [[ ${o[0]:-x} =~ ^[0-9.]+$ && ${r[0]:-x} =~ ^[0-9.]+$ ]]; then
    for i in "${!o[@]}"; do
      local rv=${r[$i]:-${r[0]}} divisor
      if [ "$higher" = 1 ]; then divisor=$rv; else divisor=${o[$i]}; fi
      # A time below the clock's resolution gives no ratio for that repeat.
      [ "$(echo "$divisor > 0" | bc -l)" = 1 ] || continue
      if [ "$higher" = 1 ]; then ratios+=("$(echo "${o[$i]} / $rv" | bc -l)"); else ratios+=("$(echo "$rv / ${o[$i]}" | bc -l)"); fi
    done
    [ ${#ratios[@]} -gt 0 ] && ratio=$(printf '%s\n' "${ratios[@]}" | spread | fmt 2)
  fi
  local digits=0
  [[ $unit == ms || $unit == ms/MiB ]] && digits=3
  if [[ ${o[0]:-x} =~ ^[0-9.]+$ ]]; then shown_ours="$(printf '%s\n' "${o[@]}" | spread | fmt $digits) $unit"; else shown_ours=$ours; fi
  if [[ ${r[0]:-x} =~ ^[0-9.]+$ ]]; then shown_ref="$(printf '%s\n' "${r[@]}" | spread | fmt $digits) $unit"; else shown_ref=$ref; fi
  local load="-"
  [ ${#loads[@]} -gt 0 ] && load=$(printf '%s\n' "${loads[@]}" | spread | fmt 2)
  printf '%-52s %-30s | %-8s %-30s | ratio %-14s | load %s\n' "$name" "$shown_ours" "$refname" "$shown_ref" "$ratio" "$load"
  results+=("$name"$'\t'"$unit"$'\t'"$shown_ours"$'\t'"$refname"$'\t'"$shown_ref"$'\t'"$ratio"$'\t'"$load"$'\t'"${#o[@]}")
}
have_client=0
[ -x "$bin/loopback_client" ] && have_client=1
[ $wine = 1 ] && have_client=1
not_built="not measured (no HTTP request engine yet)"

echo "loopback on 127.0.0.1:$port, nginx $(nginx -v 2>&1 | sed 's/.*\///'), $(curl --version | head -1 | cut -d' ' -f1-2)"

# ---- 1. bulk download ----
bytes=$((bulk_mib * 1024 * 1024))
mibps() { echo "$bytes / 1048576 / $1" | bc -l | xargs printf '%.0f'; }
cpu_per_mib() { echo "($1) * 1000 / ($bytes / 1048576)" | bc -l | xargs printf '%.4f'; }
if part bulk; then
  ours_r="" curl_r="" ceil_r="" wceil_r="" ours_u="" curl_u="" ours_s="" curl_s=""
  loads=()
  for _ in $(seq "$repeats"); do
    loads+=("$(load1)")
    read -r w _ _ < <(timed "$bin/recv_ceiling" "$port" /big.bin 1); ceil_r+=" $(mibps "$w")"
    read -r w u k < <(timed curl -s -o /dev/null "$base/big.bin")
    curl_r+=" $(mibps "$w")" curl_u+=" $(cpu_per_mib "$u")" curl_s+=" $(cpu_per_mib "$k")"
    if [ $have_client = 1 ]; then
      read -r w u k < <(timed "${client[@]}" bulk "$base/big.bin")
      ours_r+=" $(mibps "$w")" ours_u+=" $(cpu_per_mib "$u")" ours_s+=" $(cpu_per_mib "$k")"
    fi
    if [ ${#wine_ceiling[@]} -gt 0 ]; then
      read -r w _ _ < <(timed "${wine_ceiling[@]}" "$port" /big.bin 1); wceil_r+=" $(mibps "$w")"
    fi
  done
  [ $have_client = 1 ] || { ours_r=$not_built ours_u=$not_built ours_s=$not_built; }
  report "bulk ${bulk_mib} MiB GetToStream" MiB/s "$ours_r" "$curl_r" curl
  report "bulk ${bulk_mib} MiB GetToStream" MiB/s "$ours_r" "$ceil_r" ceiling
  report "bulk ${bulk_mib} MiB (curl itself)" MiB/s "$curl_r" "$ceil_r" ceiling
  report "bulk ${bulk_mib} MiB user CPU" ms/MiB "$ours_u" "$curl_u" curl 0
  report "bulk ${bulk_mib} MiB system CPU" ms/MiB "$ours_s" "$curl_s" curl 0
  if [ -n "$wceil_r" ]; then
    report "bulk ${bulk_mib} MiB GetToStream" MiB/s "$ours_r" "$wceil_r" "ceiling under Wine"
    report "bulk ${bulk_mib} MiB (ceiling under Wine)" MiB/s "$wceil_r" "$ceil_r" ceiling
  fi
fi

# ---- 2. keep-alive: sequential GETs on one connection ----
rps() { echo "$gets / $1" | bc -l | xargs printf '%.0f'; }
if part keepalive; then
  for _ in $(seq $gets); do printf 'url = "%s/page.html"\noutput = "/dev/null"\n' "$base"; done > "$work/gets.curl"
  ours_r="" curl_r="" ceil_r="" wceil_r="" ours_in="" ceil_in="" wceil_in=""
  loads=()
  for _ in $(seq "$repeats"); do
    loads+=("$(load1)")
    read -r w _ _ < <(timed curl -s -K "$work/gets.curl"); curl_r+=" $(rps "$w")"
    read -r w _ _ < <(timed "$bin/recv_ceiling" "$port" /page.html "$gets"); ceil_r+=" $(rps "$w")"
    ceil_in+=" $(rps "$(inside)")"
    if [ $have_client = 1 ]; then
      read -r w _ _ < <(timed "${client[@]}" keepalive "$base/page.html" "$gets"); ours_r+=" $(rps "$w")"
      ours_in+=" $(rps "$(inside)")"
    fi
    if [ ${#wine_ceiling[@]} -gt 0 ]; then
      read -r w _ _ < <(timed "${wine_ceiling[@]}" "$port" /page.html "$gets"); wceil_r+=" $(rps "$w")"
      wceil_in+=" $(rps "$(inside)")"
    fi
  done
  [ $have_client = 1 ] || ours_r=$not_built
  report "keep-alive ${gets} GETs" req/s "$ours_r" "$curl_r" curl
  report "keep-alive ${gets} GETs" req/s "$ours_r" "$ceil_r" ceiling
  # Both as they time themselves, their process starts left out (ours loads
  # the TLS libraries too, some tens of ms under load).
  [ $wine = 1 ] || report "keep-alive ${gets} GETs (in process)" req/s "$ours_in" "$ceil_in" "ceiling, in process"
  if [ -n "$wceil_r" ]; then
    report "keep-alive ${gets} GETs" req/s "$ours_r" "$wceil_r" "ceiling under Wine"
    report "keep-alive ${gets} GETs (ceiling under Wine)" req/s "$wceil_r" "$ceil_r" ceiling
    report "keep-alive ${gets} GETs (in process)" req/s "$ours_in" "$wceil_in" "ceiling under Wine, in process"
  fi
fi

# ---- 3. form posts of a 1 KiB note ----
pps() { echo "$posts / $1" | bc -l | xargs printf '%.0f'; }
if part post; then
  head -c 1024 /dev/zero | tr '\0' 'n' > "$work/note.txt"
  note=$(cat "$work/note.txt")
  for i in $(seq $posts); do
    [ "$i" -gt 1 ] && echo next
    printf 'url = "%s/posts/addpinleaf"\ndata = "note=%s"\noutput = "/dev/null"\n' "$base" "$note"
  done > "$work/posts.curl"
  note_arg=$work/note.txt
  [ $wine = 1 ] && note_arg="Z:$work/note.txt"
  ours_r="" curl_r="" ours_in="" start_ms=""
  loads=()
  for _ in $(seq "$repeats"); do
    loads+=("$(load1)")
    read -r w _ _ < <(timed curl -s -K "$work/posts.curl"); curl_r+=" $(pps "$w")"
    if [ $have_client = 1 ]; then
      read -r w _ _ < <(timed "${client[@]}" post "$base/posts/addpinleaf" "$posts" "$note_arg"); ours_r+=" $(pps "$w")"
      ours_in+=" $(pps "$(inside)")"
    fi
    if [ $wine = 1 ]; then
      # The same process with nothing to send: what Wine's start alone costs.
      read -r w _ _ < <(timed "${client[@]}" post "$base/posts/addpinleaf" 0 "$note_arg")
      start_ms+=" $(printf '%.0f' "$(echo "$w * 1000" | bc -l)")"
    fi
  done
  [ $have_client = 1 ] || ours_r=$not_built
  report "form posts ${posts} x 1 KiB" posts/s "$ours_r" "$curl_r" curl
  if [ $wine = 1 ]; then
    report "form posts ${posts} x 1 KiB (in process)" posts/s "$ours_in" "$curl_r" curl
    report "Wine process start and exit (no request)" ms "$start_ms" "-" "-"
  fi
fi

# ---- peak memory of the bulk download ----
curl_rss=$(/usr/bin/time -f '%M' curl -s -o /dev/null "$base/big.bin" 2>&1 >/dev/null | tail -1)
if part rss; then
  loads=("$(load1)")
  if [ $have_client = 1 ]; then
    ours_rss=$("${client[@]}" bulk "$base/big.bin" | tr -d '\r' | cut -d' ' -f3)
  else
    ours_rss=$not_built
  fi
  report "peak RSS during bulk download" KiB "$ours_rss" "$curl_rss" curl 0
fi

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
# pinleaf-server on a port it picks, with the account "bench" and the further
# arguments given; its address in service_url ("" when it did not start).
start_service() {
  rm -f "$work/server.out"
  mkfifo "$work/server.out"
  "$server" --bind 127.0.0.1 --port 0 "$@" --add-user bench >"$work/server.out" 2>/dev/null <<<"bench-pw" &
  server_pid=$!
  # Held open until the server stops, so its later output never meets a closed pipe.
  exec 3<"$work/server.out"
  listening=""
  read -r -t 20 listening <&3 || true
  service_url=${listening##* }
}
# snap_bench against service_url when it has the scheme given, reported
# under the label.
snap_service() {  # scheme, label, file
  if [[ $service_url == "$1"://* ]] &&
     "$bin/snap_bench" "$service_url" bench bench-pw "$snaps" "$2" >"$work/$3"; then
    report_snap "$work/$3"
  else
    report "snap $2" ms "not measured (the server or the snap run failed)" "-" "-"
  fi
}
stop_service() {
  kill "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
  exec 3<&-
}
loads=("$(load1)")
if ! part snap || [ $wine = 1 ]; then
  :
elif [ -x "$bin/snap_bench" ]; then
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
    start_service --db "$db"
    label="(pinleaf-server, database in memory)"
    [ $place = disk ] && label="(pinleaf-server, database on disk)"
    snap_service http "$label" "snap-$place.tsv"
    stop_service
  done
  rm -rf "$shm"
else
  report "snap overhead median / p99" ms "not measured (no HTTP request engine yet)" "-" "-"
fi

# ---- 5. the footprint of the client ----
# Its start-up over the in-process desktop, as the program starts, until the
# message loop first waits with the icon in the tray; then it quits.
if ! part footprint || [ $wine = 1 ]; then
  :
elif [ -x "$bin/footprint" ]; then
  ready_t=() whole_t=() rss=()
  loads=()
  for i in $(seq "$repeats"); do
    loads+=("$(load1)")
    "$bin/footprint" "$work/ini-$i.ini" >"$work/footprint.tsv"
    ready_t+=("$(sed -n 's/^client start-up to tray icon (in process)\tms\t//p' "$work/footprint.tsv")")
    read -r w _ _ < <(timed "$bin/footprint" "$work/ini-w$i.ini"); whole_t+=("$w")
    rss+=("$(/usr/bin/time -f '%M' "$bin/footprint" "$work/ini-r$i.ini" 2>&1 >/dev/null | tail -1)")
  done
  report "client start-up to tray icon (in process)" ms "${ready_t[*]}" "-" "-"
  whole_ms=()
  for t in "${whole_t[@]}"; do whole_ms+=("$(printf '%.3f' "$(echo "$t * 1000" | bc -l)")"); done
  report "client start-up to tray icon (whole process)" ms "${whole_ms[*]}" "-" "-"
  report "client peak RSS at start-up (whole process)" KiB "${rss[*]}" "$curl_rss" "curl" 0
else
  report "client peak RSS, start-up to tray icon" KiB/ms "not measured (no client window yet)" "-" "-"
fi

# ---- 6. HTTPS ----
# The same nginx over TLS (a self-signed certificate the clients trust for
# this run): the bulk download against curl, the cost of a new connection
# (TCP and TLS handshakes and one small GET), and the snap against
# pinleaf-server over https. Under Wine our client is the Windows build over
# Schannel: it adds the run's certificate to the Root store of the bench's own
# Wine prefix (TS_BENCH_TRUST_CA), so it verifies the chain and the name as the
# program does; the snap stays native.
if part https; then
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=localhost \
    -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" -keyout "$work/tls.key" -out "$work/tls.pem" 2>/dev/null
  sed -i "s|^  server {|  server {\n    listen 127.0.0.1:@TLS_PORT@ ssl;\n    ssl_certificate $work/tls.pem;\n    ssl_certificate_key $work/tls.key;\n    ssl_protocols TLSv1.2 TLSv1.3;|" "$work/nginx.conf.in"
  start_nginx
  base="http://127.0.0.1:$port"
  export SSL_CERT_FILE=$work/tls.pem
  [ $wine = 1 ] && export TS_BENCH_TRUST_CA="Z:$work/tls.pem"
  tls_base="https://localhost:$tls_port"
  for _ in $(seq 100); do
    curl -s --cacert "$work/tls.pem" -o /dev/null "$tls_base/page.html" && break
    sleep 0.05
  done
  ours_r="" ours_in="" curl_r=""
  loads=()
  for _ in $(seq "$repeats"); do
    loads+=("$(load1)")
    read -r w _ _ < <(timed curl -s --cacert "$work/tls.pem" -o /dev/null "$tls_base/big.bin"); curl_r+=" $(mibps "$w")"
    if [ $have_client = 1 ]; then
      read -r w _ _ < <(timed "${client[@]}" bulk "$tls_base/big.bin"); ours_r+=" $(mibps "$w")" ours_in+=" $(mibps "$(inside)")"
      # A refused certificate would be a very fast "download".
      got=$(tr -d '\r' <"$work/out" | cut -d' ' -f2)
      [ "$got" = "$bytes" ] || { echo "our client received ${got:-nothing} of $bytes bytes over TLS" >&2; exit 1; }
    fi
  done
  [ $have_client = 1 ] || ours_r=$not_built
  report "https bulk ${bulk_mib} MiB GetToStream" MiB/s "$ours_r" "$curl_r" curl
  # Under Wine the process start is seconds of its own: the figure inside the process too.
  [ $wine = 1 ] && report "https bulk ${bulk_mib} MiB GetToStream (in process)" MiB/s "$ours_in" "$curl_r" curl
  connects=$([ $smoke -eq 1 ] && echo 5 || echo 200)
  for _ in $(seq "$connects"); do printf 'url = "%s/page.html"\noutput = "/dev/null"\nheader = "Connection: close"\n' "$tls_base"; done >"$work/connects.curl"
  per_ms() { echo "$1 * 1000 / $connects" | bc -l | xargs printf '%.3f'; }
  ours_r="" ours_in="" curl_r=""
  loads=()
  for _ in $(seq "$repeats"); do
    loads+=("$(load1)")
    read -r w _ _ < <(timed curl -s --cacert "$work/tls.pem" -K "$work/connects.curl"); curl_r+=" $(per_ms "$w")"
    if [ $have_client = 1 ]; then
      read -r w _ _ < <(timed "${client[@]}" connect "$tls_base/page.html" "$connects")
      ours_r+=" $(per_ms "$w")" ours_in+=" $(per_ms "$(inside)")"
    fi
  done
  [ $have_client = 1 ] || ours_r=$not_built
  report "https new connection + GET (${connects} in a row)" ms "$ours_r" "$curl_r" curl 0
  [ $wine = 1 ] && report "https new connection + GET (${connects} in a row, in process)" ms "$ours_in" "$curl_r" curl 0
  if [ $wine = 0 ] && [ -x "$bin/snap_bench" ] && [ -x "$server" ]; then
    loads=("$(load1)")
    start_service --db "$work/pinleaf-tls.db" --tls-cert "$work/tls.pem" --tls-key "$work/tls.key"
    service_url=${service_url/127.0.0.1/localhost}
    snap_service https "(pinleaf-server over https)" snap-tls.tsv
    stop_service
  fi
  # The snap's exchange over http and over https side by side: two
  # pinleaf-servers (databases on disk), one plain, one with TLS; in each
  # repeat our client signs in, then makes N snaps against one, then against
  # the other. The ratio is https over http (the median of a repeat, and the
  # client's CPU per snap), each taken within one repeat.
  if [ -x "$server" ] && [ $have_client = 1 ]; then
    cmp_pids=()
    cmp_server() {  # name, arguments...: its URL in cmp_url_NAME
      local name=$1 url=""
      shift
      "$server" --bind 127.0.0.1 --port 0 --db "$work/cmp-$name.db" "$@" --add-user bench \
        >"$work/cmp-$name.out" 2>/dev/null <<<"bench-pw" &
      cmp_pids+=($!)
      for _ in $(seq 400); do
        url=$(sed -n 's/^pinleaf-server listening on //p' "$work/cmp-$name.out")
        [ -n "$url" ] && break
        sleep 0.05
      done
      printf -v "cmp_url_$name" '%s' "${url/127.0.0.1/localhost}"
    }
    cmp_url_plain="" cmp_url_tls=""
    cmp_server plain
    cmp_server tls --tls-cert "$work/tls.pem" --tls-key "$work/tls.key"
    snapn=$([ $smoke -eq 1 ] && echo 5 || echo 200)
    plain_m="" tls_m="" plain_c="" tls_c="" plain_p="" tls_p=""
    loads=()
    failed=""
    for _ in $(seq "$repeats"); do
      loads+=("$(load1)")
      # shellcheck disable=SC2154  # set by cmp_server through eval
      "${client[@]}" snap "$cmp_url_plain" bench bench-pw "$snapn" >"$work/cmp.out" || failed=1
      read -r _ pm pp pc < <(tr -d '\r' <"$work/cmp.out") || failed=1
      # shellcheck disable=SC2154  # the same
      "${client[@]}" snap "$cmp_url_tls" bench bench-pw "$snapn" >"$work/cmp.out" || failed=1
      read -r _ tm tp tc < <(tr -d '\r' <"$work/cmp.out") || failed=1
      [ -n "$failed" ] && break
      plain_m+=" $pm" tls_m+=" $tm" plain_p+=" $pp" tls_p+=" $tp" plain_c+=" $pc" tls_c+=" $tc"
    done
    for pid in "${cmp_pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
    cmp_pids=()
    if [ -n "$failed" ]; then
      report "snap exchange http vs https" ms "not measured (a snap failed)" "-" "-"
    else
      # higher=0: the ratio shown is http over https, so 1/ratio is the slowdown.
      report "snap exchange median, https (http as reference)" ms "$tls_m" "$plain_m" http 0
      report "snap exchange p99, https (http as reference)" ms "$tls_p" "$plain_p" http 0
      report "snap exchange client CPU per snap, https (http as reference)" ms "$tls_c" "$plain_c" http 0
    fi
  fi
fi

if [ -n "$out" ]; then
  { printf 'figure\tunit\tours\treference\treference_value\tratio\tload\truns\n'; printf '%s\n' "${results[@]}"; } > "$out"
fi
