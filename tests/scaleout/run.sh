#!/usr/bin/env bash
# Several pinleaf-server instances on one database behind nginx, with the real
# Linux client (`textsnap send`) snapping through it:
#  - a private PostgreSQL cluster (scripts/pg-cluster.sh) and three instances
#    started at once on it (migrations and the account made side by side);
#  - a private nginx on free loopback ports running the shipped site
#    (deploy/nginx/pinleaf.conf) with only its addresses, name and
#    certificate replaced: TLS ends there, round robin over the instances;
#  - snaps one after the other: each note stored once, a sign-in answered by
#    one instance serves an upload stored by another, the notes page read
#    through every instance shows the same notes;
#  - many snaps at once while one instance is killed (kill -9): every snap
#    whose send exited 0 is stored, and only once; no note twice; the others
#    keep answering.
# Needs the linux preset built (build/linux). Prints "scaleout: N passed, N failed" last.
# Checks and waits call their functions by name (check NAME FUNCTION, wait_for
# N FUNCTION, trap), which shellcheck takes for unreachable code.
# shellcheck disable=SC2317
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
export LC_ALL=C.UTF-8
source "$root/scripts/checks.sh"
use_linux_build scaleout-test
finish() { finish_checks scaleout; }

for f in "$exe" "$server"; do
  [ -x "$f" ] || { echo "no $f: build the linux preset first"; failed=1; finish; }
done
for tool in nginx openssl curl psql; do
  command -v $tool >/dev/null || { echo "  FAIL  missing $tool"; failed=1; finish; }
done

instances=3
pids=() ports=() nginx_pid='' pg_dir=''
cleanup() {
  for p in "${pids[@]}" $nginx_pid; do [ -n "$p" ] && kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  [ -n "$pg_dir" ] && "$root/scripts/pg-cluster.sh" stop "$pg_dir" >/dev/null 2>&1
}
trap cleanup EXIT
# The cluster's folder must be reachable by its own unprivileged user: keep
# the whole work folder out of anything private.
rm -rf "$work"; mkdir -p "$work"

# ---- the database: a private PostgreSQL cluster ---------------------------------
pg_dir=$work/pg
check "a private PostgreSQL cluster starts" "$root/scripts/pg-cluster.sh" start "$pg_dir"
eval "$("$root/scripts/pg-cluster.sh" env "$pg_dir")" || { failed=$((failed + 1)); finish; }
db=$PINLEAF_PG_URI  # the password comes from PGPASSWORD
sql() { psql -qAt -v ON_ERROR_STOP=1 -c "$1"; }
bytes() { printf "convert_to('%s', 'UTF8')" "${1//\'/\'\'}"; }  # bodies are kept as bytes

user=scale-スナップ password='p&ss+w= 秘密'
(umask 077; printf '%s\n' "$password" >"$work/password")
quote() { printf '%s' "${1//\'/\'\'}"; }
notes_of_user="FROM notes JOIN users ON users.id = notes.user_id WHERE users.name = '$(quote "$user")'"

# ---- the instances, all started at once --------------------------------------
start_instance() {  # index
  local i=$1 dir=$work/instance$1
  mkdir -p "$dir"
  "$server" --bind 127.0.0.1 --port "${ports[$i]:-0}" --db "$db" --public-name localhost --max-per-address 1000 \
    --trusted-proxy 127.0.0.1 --add-user "$user" --password-file "$work/password" >"$dir/server.out" 2>"$dir/server.log" &
  pids[i]=$!
}
listening() {  # index: sets ports[index] once the instance says where it listens
  local line
  line=$(sed -n 's/^pinleaf-server listening on //p' "$work/instance$1/server.out" | head -1)
  [ -n "$line" ] || return 1
  line=${line#http://127.0.0.1:}
  ports[$1]=${line%%/*}
}
for i in $(seq $instances); do start_instance "$i"; done
for i in $(seq $instances); do
  check "instance $i starts beside the others (schema and account made at once)" wait_for 30 listening "$i"
done
for i in $(seq $instances); do
  [ -n "${ports[$i]:-}" ] || { echo "instance $i did not start:"; tail -5 "$work/instance$i/server.log"; finish; }
done
check "the account exists once" test "$(sql "SELECT count(*) FROM users WHERE name = '$(quote "$user")'")" = 1

# ---- nginx with the shipped site ---------------------------------------------
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
tls_port=$(free_port) http_port=$(free_port)
ngx=$work/nginx
mkdir -p "$ngx/tmp" "$ngx/logs"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=localhost \
  -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" -keyout "$ngx/key.pem" -out "$ngx/cert.pem" 2>/dev/null
pin=$(openssl x509 -in "$ngx/cert.pem" -noout -fingerprint -sha256 | sed 's/.*=//')
upstreams=
for i in $(seq $instances); do upstreams+="    server 127.0.0.1:${ports[$i]} max_fails=1 fail_timeout=5s;\\n"; done
sed -e '/^ *server 127\.0\.0\.1:[0-9]* /d' \
  -e "s|^upstream pinleaf {|&\\n$upstreams|" \
  -e '/listen \[::\]/d' \
  -e "s|listen 80;|listen 127.0.0.1:$http_port;|" \
  -e "s|listen 443 ssl;|listen 127.0.0.1:$tls_port ssl;|" \
  -e "s|server_name notes.example.org;|server_name localhost;|" \
  -e "s|ssl_certificate .*|ssl_certificate $ngx/cert.pem;|" \
  -e "s|ssl_certificate_key .*|ssl_certificate_key $ngx/key.pem;|" \
  "$root/deploy/nginx/pinleaf.conf" >"$ngx/site.conf"
site_ok() {
  [ "$(grep -c "server 127.0.0.1:" "$ngx/site.conf")" = "$instances" ] && grep -q "listen 127.0.0.1:$tls_port ssl;" "$ngx/site.conf" &&
    grep -q "listen 127.0.0.1:$http_port;" "$ngx/site.conf" && grep -q "ssl_certificate_key $ngx/key.pem;" "$ngx/site.conf"
}
check "the shipped site takes this run's addresses, name and certificate" site_ok
cat >"$ngx/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $ngx/nginx.pid;
error_log $ngx/logs/error.log warn;
events { worker_connections 512; }
http {
  log_format upstream '\$request_method \$uri \$status \$upstream_addr';
  access_log $ngx/logs/access.log upstream;
  client_body_temp_path $ngx/tmp/body;
  proxy_temp_path $ngx/tmp/proxy;
  fastcgi_temp_path $ngx/tmp/fastcgi;
  uwsgi_temp_path $ngx/tmp/uwsgi;
  scgi_temp_path $ngx/tmp/scgi;
  include $ngx/site.conf;
}
CONF
nginx -p "$ngx" -c "$ngx/nginx.conf" -e "$ngx/logs/error.log" >"$ngx/logs/stdout" 2>&1 &
nginx_pid=$!
base=https://localhost:$tls_port/pinleaf2
nginx_answers() { curl -s -o /dev/null --cacert "$ngx/cert.pem" "$base/posts/nop/"; }
check "nginx starts with the site" wait_for 15 nginx_answers
check "plain http is sent to https" \
  test "$(curl -s -o /dev/null -w '%{http_code} %{redirect_url}' "http://localhost:$http_port/pinleaf2/posts/nop/")" = \
  "301 https://localhost/pinleaf2/posts/nop/"

export XDG_CONFIG_HOME=$work/config
mkdir -p "$XDG_CONFIG_HOME/textsnap"
write_ini() {  # pinned certificate
  python3 "$root/scripts/write-ini.py" "$XDG_CONFIG_HOME/textsnap/ini.ini" --codepage utf-8 --url "$base" \
    --id "$user" --password "$password" --cert-sha256 "$1"
}

# Requests an instance logged: "METHOD PATH STATUS ADDRESS", one a line.
served() { grep -c "^$2 $3 " "$work/instance$1/server.log"; }  # index, method, path[ status]
stored_once() {  # text: exactly one note holds it
  [ "$(sql "SELECT count(*) $notes_of_user AND notes.body = $(bytes "$1")")" = 1 ]
}
note_count() { sql "SELECT count(*) $notes_of_user"; }
no_note_twice() { [ -z "$(sql "SELECT body $notes_of_user GROUP BY body HAVING count(*) > 1")" ]; }

# ---- snaps one after the other -----------------------------------------------
echo "snaps through nginx, one after the other"
# Another certificate pinned: nothing may be sent to this one.
write_ini "$(printf '%s' "$pin" | tr 0-9A-F 1-9A-F0)"
echo "not for this service" | "$exe" send >"$work/send-pin.out" 2>&1
pin_status=$?
check "a send that pins another certificate is refused (status $pin_status), nothing stored" \
  test $pin_status -ne 0 -a "$(note_count)" = 0
write_ini "$pin"
login_path="/pinleaf2/users/login" upload_path="/pinleaf2/posts/addpinleaf"
sequential=6 ok=0 crossed=0
for n in $(seq $sequential); do
  before_login=() before_upload=()
  for i in $(seq $instances); do
    before_login[i]=$(served "$i" POST "$login_path")
    before_upload[i]=$(served "$i" POST "$upload_path 200")
  done
  text="note $n through the balancer ✓ 日本語"
  printf '%s' "$text" | "$exe" send >"$work/send-$n.out" 2>&1 && stored_once "$text" && ok=$((ok + 1))
  signed_in='' stored_by=''
  for i in $(seq $instances); do
    [ "$(served "$i" POST "$login_path")" -gt "${before_login[$i]}" ] && signed_in+=" $i"
    [ "$(served "$i" POST "$upload_path 200")" -gt "${before_upload[$i]}" ] && stored_by+=" $i"
  done
  # One sign-in and one upload each, on different instances.
  [[ $signed_in =~ ^\ [0-9]$ && $stored_by =~ ^\ [0-9]$ && $signed_in != "$stored_by" ]] && crossed=$((crossed + 1))
done
check "every snap exits 0 and its note is stored once ($ok of $sequential)" test $ok = $sequential
check "nothing else was stored" test "$(note_count)" = $sequential
check "a sign-in answered by one instance served an upload stored by another ($crossed of $sequential snaps)" \
  test $crossed -gt 0
spread=0
for i in $(seq $instances); do [ "$(served "$i" POST "$upload_path 200")" -gt 0 ] && spread=$((spread + 1)); done
check "uploads were stored by more than one instance ($spread of $instances)" test $spread -gt 1

# The notes page, read through each instance in turn with one browser sign-in.
jar=$work/cookies
curl -s -o /dev/null -D "$work/login.head" --cacert "$ngx/cert.pem" -c "$jar" --data-urlencode "data[User][username]=$user" \
  --data-urlencode "data[User][password]=$password" "$base/users/login"
check "the sign-in's session cookie is marked Secure at the front" \
  grep -qiE '^set-cookie: pinleaf_session=[^;]+;.*; *secure' "$work/login.head"
check "... and the answer tells browsers to keep to https" grep -qi '^strict-transport-security: max-age=' "$work/login.head"
pages_ok=0
before_pages=()
for i in $(seq $instances); do before_pages[i]=$(served "$i" GET "/pinleaf2/notes 200"); done
for n in $(seq $instances); do
  page=$(curl -s --cacert "$ngx/cert.pem" -b "$jar" "$base/notes")
  all=1
  for k in $(seq $sequential); do grep -qF "note $k through the balancer ✓ 日本語" <<<"$page" || all=0; done
  pages_ok=$((pages_ok + all))
done
pages_by=0
for i in $(seq $instances); do [ "$(served "$i" GET "/pinleaf2/notes 200")" -gt "${before_pages[$i]}" ] && pages_by=$((pages_by + 1)); done
check "the notes page shows every note each time ($pages_ok of $instances)" test $pages_ok = $instances
check "... answered by every instance in turn ($pages_by of $instances)" test $pages_by = $instances

# ---- failed sign-ins count the client's address, not nginx's -------------------
# Twenty wrong passwords from 127.0.0.2 hold that address back (on every
# instance: the counts are in the database); a client at another address,
# behind the same nginx, signs in as before. Each request names a made-up
# address of its own in X-Forwarded-For, which must not count.
echo "failed sign-ins from another address"
sign_in_from() {  # address, name, password: prints the answer
  curl -s --interface "$1" --cacert "$ngx/cert.pem" -H "X-Forwarded-For: 10.9.$((RANDOM % 250)).$((RANDOM % 250))" \
    --data-urlencode "data[User][username]=$2" \
    --data-urlencode "data[User][password]=$3" "$base/users/login"
}
held_back() { sign_in_from 127.0.0.2 "$user" "$password" | grep -q "Too many failed sign-ins"; }
fail_twenty() { for k in $(seq 20); do sign_in_from 127.0.0.2 "nobody-$k" wrong >/dev/null; done; }
fail_twenty
check "a right password from the address with twenty failures is held back" held_back
# The hold lasts 2 s: the send must fall inside it, which the address still
# being held afterwards shows. (A try that missed the hold adds twenty more
# failures, which hold the address longer.)
held_during_send=no
for try in 1 2 3; do
  [ $try = 1 ] || fail_twenty
  throttle_text="from another address, try $try ✓"
  printf '%s' "$throttle_text" | "$exe" send >"$work/send-throttle.out" 2>&1
  throttle_status=$?
  if held_back; then held_during_send=yes; break; fi
done
check "... while textsnap send behind the same nginx signs in and stores (status $throttle_status, address held meanwhile: $held_during_send)" \
  test "$throttle_status" = 0 -a "$held_during_send" = yes
check "... its note once" stored_once "$throttle_text"

# ---- many snaps at once, one instance killed in the middle ---------------------
echo "snaps at once while instance 2 is killed (kill -9)"
streams=4 per_stream=10
results=$work/results
mkdir -p "$results"
victim_before=$(served 2 POST "$upload_path 200")
snap_stream() {  # stream: its snaps one after the other, each result in a file
  local s=$1 k text
  local started
  for k in $(seq $per_stream); do
    text="burst $s-$k ✓ 日本語"
    started=$(date +%s.%N)
    printf '%s' "$text" | "$exe" send >"$results/$s-$k.out" 2>&1
    echo "$? $started" >"$results/$s-$k.status"
  done
}
stream_pids=()
for s in $(seq $streams); do snap_stream "$s" & stream_pids+=($!); done
# Kill once about a quarter of the snaps are done, while the others run on.
quarter() { [ "$(compgen -G "$results/*.status" | wc -l)" -ge $((streams * per_stream / 4)) ]; }
wait_for 60 quarter
{
  kill -9 "${pids[2]}"
  killed_at=$(date +%s.%N)
  wait "${pids[2]}"
  pids[2]=
  wait "${stream_pids[@]}"
} 2>/dev/null

acked=0 lost=0 failed_sends=0 after_kill=0 after_kill_ok=0
for f in "$results"/*.status; do
  read -r status started <"$f"
  name=$(basename "$f" .status)
  text="burst ${name%-*}-${name#*-} ✓ 日本語"
  if [ "$status" = 0 ]; then
    acked=$((acked + 1))
    stored_once "$text" || { lost=$((lost + 1)); echo "    acknowledged but not stored once: $text"; }
  else
    failed_sends=$((failed_sends + 1))
  fi
  if [ "$(echo "$started > $killed_at" | bc)" = 1 ]; then
    after_kill=$((after_kill + 1))
    [ "$status" = 0 ] && after_kill_ok=$((after_kill_ok + 1))
  fi
done
echo "    $acked of $((streams * per_stream)) snaps acknowledged, $failed_sends reported failed;" \
  "$(grep -c ', ' "$ngx/logs/access.log") requests passed on to another instance by nginx"
check "the killed instance had stored notes of this run" test "$(served 2 POST "$upload_path 200")" -gt "$victim_before"
check "every acknowledged snap is stored exactly once ($lost not)" test $lost = 0
check "no note is stored twice (retried uploads included)" no_note_twice
check "the remaining instances kept answering: snaps begun after the kill succeed ($after_kill_ok of $after_kill)" \
  test $after_kill -gt 0 -a $after_kill_ok = $after_kill
check "the notes page still answers through nginx" \
  bash -c "curl -s --cacert '$ngx/cert.pem' -b '$jar' '$base/notes' | grep -qF 'burst 1-$per_stream'"
finish
