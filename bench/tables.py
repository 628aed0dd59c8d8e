#!/usr/bin/env python3
"""Markdown tables for docs/PERFORMANCE.md from the result files:

  tables.py callgrind BEFORE.tsv AFTER.tsv    instruction counts before and after
  tables.py loopback LOOPBACK.tsv             the loopback comparison
  tables.py scaling RESULTS.json              fitted growth of each benchmark
"""
import csv
import json
import sys


def read_tsv(path):
    with open(path) as f:
        return list(csv.DictReader(f, delimiter="\t"))


def callgrind(before, after):
    b = {(r["benchmark"], r["function"]): r for r in read_tsv(before)}
    print("| benchmark | function | Ir per call before | Ir per call after | factor |")
    print("|---|---|---:|---:|---:|")
    for r in read_tsv(after):
        key = (r["benchmark"], r["function"])
        old = int(b[key]["Ir_per_call"]) if key in b else None
        new = int(r["Ir_per_call"])
        factor = f"{old / new:.1f}x" if old and new else "-"
        print(f"| {r['benchmark']} | `{r['function'].replace('ts::', '')}` | "
              f"{old:,} | {new:,} | {factor} |" if old is not None else
              f"| {r['benchmark']} | `{r['function']}` | - | {new:,} | - |")


def loopback(path):
    print("| figure | ours (min/median/max) | reference | reference's figure | ratio in one run (min/median/max) | load (1 min) |")
    print("|---|---|---|---|---|---|")
    for r in read_tsv(path):
        print(f"| {r['figure']} | {r['ours']} | {r['reference']} | {r['reference_value']} | {r['ratio']} | "
              f"{r.get('load', '-')} |")


def scaling(path):
    with open(path) as f:
        data = json.load(f)
    print("| benchmark | fitted growth | RMS of the fit |")
    print("|---|---|---:|")
    rms = {}
    for b in data["benchmarks"]:
        if b.get("aggregate_name") == "RMS":
            rms[b["run_name"]] = b.get("rms", 0)
    for b in data["benchmarks"]:
        if b.get("aggregate_name") == "BigO":
            print(f"| {b['run_name']} | {b['cpu_coefficient']:.2f} ns x {b['big_o']} | "
                  f"{100 * rms.get(b['run_name'], 0):.0f} % |")


if __name__ == "__main__":
    kind = sys.argv[1]
    if kind == "callgrind":
        callgrind(sys.argv[2], sys.argv[3])
    elif kind == "loopback":
        loopback(sys.argv[2])
    elif kind == "scaling":
        scaling(sys.argv[2])
