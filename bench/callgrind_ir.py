#!/usr/bin/env python3
"""Instruction counts per call of chosen functions, from one benchmark run under
callgrind. Deterministic where wall time on a shared machine is not.

  callgrind_ir.py BINARY FILTER FUNCTION [FUNCTION...]

runs BINARY --benchmark_filter=FILTER under callgrind and prints, for each
FUNCTION (a prefix of its demangled name), "FUNCTION calls Ir-per-call".
"""
import os
import re
import subprocess
import sys
import tempfile


def run(binary, bench_filter):
    fd, out = tempfile.mkstemp(prefix="callgrind.", suffix=".out")
    os.close(fd)
    subprocess.run(["valgrind", "--tool=callgrind", "--compress-strings=no", "--compress-pos=no",
                    f"--callgrind-out-file={out}", binary, f"--benchmark_filter={bench_filter}",
                    "--benchmark_min_time=0.002"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   # Symbols bound at start-up, so a first call carries no lazy binding.
                   env=dict(os.environ, LD_BIND_NOW="1"))
    return out


def per_call(out_file, prefixes):
    """Sums the inclusive cost of every call into a function named by a prefix,
    from callers outside it (recursion and self-calls are not counted twice)."""
    calls = {p: 0 for p in prefixes}
    cost = {p: 0 for p in prefixes}
    current_fn = None
    pending = None  # (prefix, count) of a "calls=" line whose cost line follows
    target = None
    with open(out_file, errors="replace") as f:
        for line in f:
            if line.startswith("fn="):
                current_fn = line[3:].strip()
            elif line.startswith("cfn="):
                target = line[4:].strip()
            elif line.startswith("calls="):
                count = int(line[6:].split()[0])
                pending = None
                for p in prefixes:
                    if target.startswith(p) and not (current_fn or "").startswith(p):
                        pending = (p, count)
                        break
            elif pending and re.match(r"^[+-]?\d", line):
                p, count = pending
                fields = line.split()
                calls[p] += count
                cost[p] += int(fields[1]) if len(fields) > 1 else 0
                pending = None
    return [(p, calls[p], cost[p] // calls[p] if calls[p] else 0) for p in prefixes]


def main():
    if len(sys.argv) < 4:
        print(__doc__, file=sys.stderr)
        return 2
    out = run(sys.argv[1], sys.argv[2])
    try:
        for name, calls, ir in per_call(out, sys.argv[3:]):
            print(f"{name}\t{calls}\t{ir}")
    finally:
        os.unlink(out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
