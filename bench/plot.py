#!/usr/bin/env python3
"""Turns Google Benchmark JSON results into a gnuplot chart of cost per input
unit against input size: a flat line is linear growth, a rising one is worse.

  plot.py [--only REGEX] [--title TEXT] OUT.png LABEL=RESULTS.json [LABEL=RESULTS.json ...]

Every benchmark family with at least three sizes is drawn; a family measured
under two labels (say "before" and "after") is drawn once per label.
"""
import json
import os
import re
import subprocess
import sys
import tempfile


def families(path):
    with open(path) as f:
        data = json.load(f)
    out = {}
    for b in data.get("benchmarks", []):
        if b.get("run_type") != "iteration" or b.get("error_occurred"):
            continue
        m = re.match(r"^(BM_\w+)/(\d+)(/\d+)?$", b["name"])
        if not m:
            continue
        family = m.group(1) + (m.group(3) or "")
        n = int(m.group(2))
        scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
        out.setdefault(family, []).append((n, b["cpu_time"] * scale))
    return {k: sorted(v) for k, v in out.items() if len(v) >= 3}


def main():
    args = sys.argv[1:]
    only, title_text = None, "Cost per unit of input against input size (CPU time; flat = linear, rising = superlinear)"
    while args and args[0].startswith("--"):
        if args[0] == "--only":
            only = re.compile(args[1])
        elif args[0] == "--title":
            title_text = args[1]
        args = args[2:]
    if len(args) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    png = args[0]
    inputs = args[1:]
    several_labels = len({a.split("=", 1)[0] for a in inputs}) > 1
    series = []
    work = tempfile.mkdtemp(prefix="plot.")
    for arg in inputs:
        label, path = arg.split("=", 1)
        for family, points in sorted(families(path).items()):
            if only and not only.search(family):
                continue
            dat = os.path.join(work, f"{label}{family.replace('/', '_')}.dat")
            with open(dat, "w") as f:
                for n, ns in points:
                    f.write(f"{n} {ns / n}\n")
            title = family.replace("BM_", "").replace("_", " ")
            series.append((dat, f"{title} ({label})" if several_labels else title, label, family))
    labels = sorted({s[2] for s in series})
    names = sorted({s[3] for s in series})
    plots = []
    for dat, title, label, family in series:
        # One colour per benchmark, one dash pattern per label.
        dash = 1 + labels.index(label)
        colour = 1 + names.index(family)
        plots.append(f"'{dat}' using 1:2 with linespoints dt {dash} lc {colour} pt {colour} lw 2 title '{title}'")
    script = f"""
set terminal pngcairo size 1400,900 font ',10' noenhanced
set output '{png}'
set title '{title_text}'
set logscale xy
set xlabel 'input size n (bytes, lines, headers or cookies)'
set ylabel 'CPU ns per unit of n'
set key outside right top
set grid
plot {', '.join(plots)}
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
