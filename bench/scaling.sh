#!/usr/bin/env bash
# Runs every CPU benchmark of the bench build, keeps the results as JSON (and
# the console tables) in OUT_DIR and draws the scaling chart.
#
#   bench/scaling.sh OUT_DIR [BUILD_DIR] [MIN_TIME] [CHART]
# MIN_TIME is Google Benchmark's minimum seconds per case (default 0.1; a
# smoke run passes something tiny); CHART defaults to OUT_DIR/scaling.png.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
out="$1"
build="${2:-$here/../build/bench}/bench"
min_time="${3:-0.1}"
chart="${4:-$out/scaling.png}"
mkdir -p "$out"
for b in bench_http bench_net bench_storage bench_app; do
  [ -x "$build/$b" ] || continue
  "$build/$b" --benchmark_min_time="$min_time" --benchmark_out="$out/$b.json" --benchmark_out_format=json >"$out/$b.txt"
done
inputs=()
for f in "$out"/bench_*.json; do inputs+=("latest=$f"); done
python3 "$here/plot.py" "$chart" "${inputs[@]}"
