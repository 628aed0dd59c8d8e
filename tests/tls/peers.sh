#!/usr/bin/env bash
# Real TLS peers for the TLS suites, native and under Wine:
#   peers.sh COMMAND [ARGS...]
# makes a test CA and server certificates with the openssl command, starts
# nginx (one server per certificate, a TLS 1.0/1.1-only one, a plain one),
# tinyproxy and danted on free loopback ports, runs COMMAND with TS_TLS_*
# variables naming the folder and ports, and stops everything again. The
# COMMAND's exit status is the script's.
set -u
dir=$(mktemp -d /tmp/ts-tls-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "peers.sh: $*" >&2; [ -f "$dir/error.log" ] && cat "$dir/error.log" >&2; exit 1; }
# Bash's own /dev/tcp keeps this quick (a Python start costs a second on a
# busy machine): a port is free when nothing answers on it.
answers() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
taken=""
free_port() {  # sets port_NAME
  local port
  while :; do
    port=$((12000 + RANDOM % 20000))  # below the ephemeral range
    case " $taken " in *" $port "*) continue ;; esac
    answers "$port" || break
  done
  taken="$taken $port"
  eval "port_$1=$port"
}
wait_port() {
  for _ in $(seq 500); do
    answers "$1" && return 0
    sleep 0.02
  done
  return 1
}
# A program on a free port: `write` writes its configuration for port_NAME,
# then the command runs in the background. Started again on another port when
# it ends before it answers (the port was taken meanwhile).
start_on_free_port() {  # name, write, command...
  local name=$1 write=$2 pid
  shift 2
  for _ in 1 2 3; do
    free_port "$name"
    "$write"
    "$@" >/dev/null 2>&1 &
    pid=$!
    if wait_port "$(eval echo "\$port_$name")" && kill -0 "$pid" 2>/dev/null; then
      pids+=("$pid")
      return 0
    fi
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  return 1
}
ossl() { openssl "$@" >>"$dir/openssl.log" 2>&1 || fail "openssl $1 failed: $(tail -5 "$dir/openssl.log")"; }

# ---- certificates: nothing private outlives the run.
cd "$dir" || exit 1
mkdir -p www tmp ca
: >ca/index.txt
echo 01 >ca/serial
cat >ca.cnf <<CNF
[ca]
default_ca = test
[test]
database = $dir/ca/index.txt
new_certs_dir = $dir/ca
serial = $dir/ca/serial
default_md = sha256
policy = any
copy_extensions = copy
unique_subject = no
[any]
commonName = supplied
CNF
ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
ossl req -x509 "${ec[@]}" -keyout ca.key -out ca.pem -days 30 -subj "/CN=text snap test CA" \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
leaf() {  # name, subjectAltName, openssl ca date options...
  local name=$1 san=$2; shift 2
  ossl req "${ec[@]}" -keyout "$name.key" -out "$name.csr" -subj "/CN=$name" -addext "subjectAltName=$san"
  ossl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -in "$name.csr" -out "$name.pem" -notext "$@"
}
leaf good "DNS:localhost,IP:127.0.0.1" -days 30
leaf expired "DNS:localhost,IP:127.0.0.1" -startdate 20200101000000Z -enddate 20200201000000Z
leaf future "DNS:localhost,IP:127.0.0.1" -startdate 20400101000000Z -enddate 20400201000000Z
leaf otherhost "DNS:other.example" -days 30
for name in self other-self; do
  ossl req -x509 "${ec[@]}" -keyout "$name.key" -out "$name.pem" -days 30 -subj "/CN=$name" \
    -addext "subjectAltName=DNS:localhost,IP:127.0.0.1"
done
fingerprint() { openssl x509 -in "$1" -noout -fingerprint -sha256 | sed 's/.*=//'; }

# ---- nginx: one server per certificate, each with its own access log, so a
# test can tell that a refused handshake carried no request.
page="TLS page from nginx"
printf '%s\n' "$page" >www/page.txt
head -c 1048576 /dev/urandom >www/mib.bin
# shellcheck disable=SC2154  # port_NAME are set through eval by free_port
tls_server() {  # name, certificate, extra directives
  cat <<CONF
  server {
    listen 127.0.0.1:$(eval echo "\$port_$1") ssl;
    ssl_certificate $dir/$2.pem;
    ssl_certificate_key $dir/$2.key;
    access_log $dir/$1.access.log;
    $3
    location = /form { proxy_set_header X-Body \$request_body; proxy_pass http://127.0.0.1:$port_plain/echo-body; }
    location = /secure-cookie { add_header Set-Cookie "tls=secret; path=/; secure"; add_header Set-Cookie "both=plain; path=/"; return 302 http://127.0.0.1:$port_plain/cookies; }
    location = /relative { return 302 /page.txt; }
    location = /form-to-plain { return 307 http://127.0.0.1:$port_plain/form; }
    location = /cookies { return 200 "cookies: \$http_cookie"; }
    location = /sni { return 200 "sni: \$ssl_server_name"; }
  }
CONF
}
# shellcheck disable=SC2154  # port_NAME are set through eval by free_port
write_nginx_conf() {
cat >nginx.conf <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log info;
events { worker_connections 64; }
http {
  default_type text/plain;
  keepalive_timeout 30;
  root $dir/www;
  client_body_temp_path $dir/tmp/body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  # The plain server logs the cookies each request brought, so a test can see
  # that a secure cookie never reached it.
  log_format with_cookies '\$request "\$http_cookie"';
  server {
    listen 127.0.0.1:$port_plain;
    access_log $dir/plain.access.log with_cookies;
    location = /echo-body { return 200 "posted: \$http_x_body"; }
    location = /cookies { return 200 "cookies: \$http_cookie"; }
    location = /to-tls { return 301 https://127.0.0.1:$port_good/page.txt; }
  }
$(tls_server good good "ssl_protocols TLSv1.2 TLSv1.3;")
$(tls_server expired expired "")
$(tls_server future future "")
$(tls_server otherhost otherhost "")
$(tls_server self self "")
$(tls_server tls10 good "ssl_protocols TLSv1 TLSv1.1; ssl_ciphers DEFAULT:@SECLEVEL=0;")
}
CONF
}
# Ports are picked free but may be taken by the time nginx binds them (other
# test runs share the machine): a few fresh tries.
start_nginx() {
  for name in plain good expired future otherhost self tls10; do
    free_port "$name"
    : >"$dir/$name.access.log"
  done
  write_nginx_conf
  nginx -p "$dir" -c "$dir/nginx.conf" >>"$dir/error.log" 2>&1 &
  nginx_pid=$!
  for name in plain good expired future otherhost self tls10; do
    wait_port "$(eval echo "\$port_$name")" || { kill "$nginx_pid" 2>/dev/null; wait "$nginx_pid" 2>/dev/null; return 1; }
  done
  pids+=("$nginx_pid")
}
started=
for _ in 1 2 3; do start_nginx && { started=1; break; }; done
[ -n "$started" ] || fail "nginx did not start"

# ---- proxies: tinyproxy for the CONNECT tunnel, danted for SOCKS 5.
# shellcheck disable=SC2154  # port_NAME are set through eval by free_port
tinyproxy_conf() {
  cat >tinyproxy.conf <<CONF
Port $port_tinyproxy
Listen 127.0.0.1
Timeout 30
MaxClients 16
Allow 127.0.0.1
LogLevel Info
LogFile "$dir/tinyproxy.log"
PidFile "$dir/tinyproxy.pid"
CONF
}
start_on_free_port tinyproxy tinyproxy_conf tinyproxy -d -c "$dir/tinyproxy.conf" ||
  fail "tinyproxy did not start: $(cat "$dir/tinyproxy.log")"
# shellcheck disable=SC2154  # port_NAME are set through eval by free_port
danted_conf() {
  {
    echo "logoutput: $dir/danted.log"
    echo "internal: 127.0.0.1 port = $port_socks"
    echo "external: 127.0.0.1"
    echo "clientmethod: none"
    echo "socksmethod: none"
    [ "$(id -u)" = 0 ] && printf 'user.privileged: root\nuser.unprivileged: nobody\n'
    printf 'client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n'
    printf 'socks pass {\n  from: 127.0.0.0/8 to: 127.0.0.0/8\n  command: connect\n  protocol: tcp\n}\n'
  } >danted.conf
}
danted=$(command -v danted || echo /usr/sbin/danted)
start_on_free_port socks danted_conf "$danted" -f "$dir/danted.conf" -p "$dir/danted.pid" -N 1 ||
  fail "danted did not start: $(cat "$dir/danted.log" 2>/dev/null)"

# ---- pinleaf-server over HTTPS with the CA's certificate, when it is built
# (TS_PINLEAF_SERVER names it).
if [ -x "${TS_PINLEAF_SERVER:-}" ]; then
  "$TS_PINLEAF_SERVER" --port 0 --db "$dir/pinleaf.db" --tls-cert "$dir/good.pem" --tls-key "$dir/good.key" \
    --add-user snap >"$dir/pinleaf.out" 2>"$dir/pinleaf.log" <<<"pass-1" &
  pids+=($!)
  for _ in $(seq 500); do grep -q "listening on" "$dir/pinleaf.out" && break; sleep 0.02; done
  url=$(sed -n 's/^pinleaf-server listening on //p' "$dir/pinleaf.out")
  [ -n "$url" ] || fail "pinleaf-server did not start: $(cat "$dir/pinleaf.log")"
  export TS_TLS_PINLEAF_URL=${url/127.0.0.1/localhost}
fi

# ---- tls_peer (TS_TLS_PEER names it, when built): cut answers, key updates
# and renegotiation, one instance speaking up to TLS 1.3, one up to TLS 1.2.
peers=""
if [ -x "${TS_TLS_PEER:-}" ]; then
  # shellcheck disable=SC2154  # port_NAME are set through eval by free_port
  run_peer13() { exec "$TS_TLS_PEER" "$port_peer13" "$dir/good.pem" "$dir/good.key" 1.3 "$dir/self.pem" "$dir/self.key"; }
  # shellcheck disable=SC2154  # port_NAME are set through eval by free_port
  run_peer12() { exec "$TS_TLS_PEER" "$port_peer12" "$dir/good.pem" "$dir/good.key" 1.2 "$dir/self.pem" "$dir/self.key"; }
  start_on_free_port peer13 : run_peer13 || fail "tls_peer did not start"
  start_on_free_port peer12 : run_peer12 || fail "tls_peer did not start"
  peers="peer13 peer12"
fi

export TS_TLS_DIR=$dir TS_TLS_PAGE=$page
TS_TLS_GOOD_SHA256=$(fingerprint good.pem)
TS_TLS_SELF_SHA256=$(fingerprint self.pem)
TS_TLS_OTHER_SELF_SHA256=$(fingerprint other-self.pem)
export TS_TLS_CA=$dir/ca.pem TS_TLS_GOOD_SHA256 TS_TLS_SELF_SHA256 TS_TLS_OTHER_SELF_SHA256
for name in plain good expired future otherhost self tls10 tinyproxy socks $peers; do
  var=port_$name
  export "TS_TLS_PORT_${name^^}=${!var}"
done
cd - >/dev/null || exit 1
"$@"
