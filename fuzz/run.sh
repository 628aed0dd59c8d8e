#!/usr/bin/env bash
# Runs the harnesses of the fuzz build one after the other, each for the given
# number of seconds, starting from the seeds in fuzz/corpus/<harness>/. New
# inputs go to a scratch corpus under build/fuzz/work (the seeds stay as they
# are); a crash leaves its input in build/fuzz/work/<harness>/crash-*.
#
#   fuzz/run.sh SECONDS [HARNESS...]     (default: every harness)
# Prints one line per harness, "<harness>: ok|FAILED <execs> execs in <s> s",
# and exits non-zero when any harness failed.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
seconds=${1:?usage: fuzz/run.sh SECONDS [HARNESS...]}
shift
bin=build/fuzz/fuzz
if [ $# -gt 0 ]; then harnesses=("$@"); else mapfile -t harnesses <"$bin/harnesses.txt"; fi
status=0
for h in "${harnesses[@]}"; do
  work=build/fuzz/work/$h
  mkdir -p "$work/corpus"
  log=$work/last.log
  "$bin/$h" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/corpus" "fuzz/corpus/$h" >"$log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ $rc -eq 0 ]; then
    echo "$h: ok ${execs:-0} execs in $seconds s"
  else
    echo "$h: FAILED ${execs:-?} execs (see $log)"
    grep -m5 -E 'ERROR|invariant|SUMMARY|terminate|what\(\)' "$log" | sed 's/^/    /'
    status=1
  fi
done
exit $status
