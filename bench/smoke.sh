#!/usr/bin/env bash
# Keeps the benchmarks building and running: the bench build, one pass of
# every CPU benchmark at its smallest sizes, and the loopback and abuse scripts
# with tiny sizes. Prints no figures worth reading and asserts nothing about speed.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
cd "$root"
cmake --preset bench >/dev/null
targets=()
for t in bench_http bench_net bench_storage bench_app recv_ceiling loopback_client snap_bench pinleaf-server footprint server_load; do
  grep -q "^$t:" build/bench/Makefile 2>/dev/null && targets+=(--target "$t")
done
cmake --build --preset bench -j"$(nproc 2>/dev/null || echo 2)" "${targets[@]}" >/dev/null
bin=build/bench/bench
# The smallest size of each benchmark (the first argument of its range).
smallest='/(0|1|8|10|16|64|256|4096)(/[0-9]+)?$'
for b in bench_http bench_net bench_storage bench_app; do
  [ -x "$bin/$b" ] || continue
  if ! out=$("$bin/$b" --benchmark_filter="$smallest" --benchmark_min_time=0.0001 2>&1); then
    echo "$out"
    echo "$b: failed"
    exit 1
  fi
  echo "$b: $(echo "$out" | grep -c '^BM_') cases ran"
done
"$here/loopback.sh" --smoke
# The outbox's writes per snap, and a few snaps with the client's folder on
# the disk and in memory.
[ -x build/bench/service/pinleaf-server ] && TS_BENCH_NO_BUILD=1 "$here/outbox.sh" --smoke
# Two clients at once against the server, a few snaps each.
if [ -x build/bench/bench/server_load ] && [ -x build/bench/service/pinleaf-server ]; then
  TS_BENCH_NO_BUILD=1 "$here/server_load.sh" --smoke
  # Two instances on one PostgreSQL database, each request to the next.
  TS_BENCH_NO_BUILD=1 "$here/server_load.sh" --smoke --db postgresql --instances 2
fi
# The load-and-abuse run, tiny: two clients, a few snaps, ten trickling
# sockets, one sender of oversized bodies, two timed failed sign-ins of each kind.
if [ -x build/bench/service/pinleaf-server ]; then
  python3 "$here/abuse.py" build/bench/service/pinleaf-server --clients 2 --snaps 3 --trickle 10 --oversize 1 \
    --seconds 20 --timing 2
fi
