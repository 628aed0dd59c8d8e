#!/usr/bin/env python3
"""Turns Google Benchmark JSON results into a gnuplot chart of cost per input
unit against input size: a flat line is linear growth, a rising one is worse.

  plot.py [--only REGEX] [--title TEXT] OUT.png LABEL=RESULTS.json [LABEL=RESULTS.json ...]

Every benchmark family with at least three sizes is drawn; a family measured
under two labels (say "before" and "after") is drawn once per label.

  plot.py --server-load OUT.png RESULTS.tsv [RESULTS.tsv ...]

draws the figures of bench/server_load.sh --out: snaps per second (median,
with min and max as the error bar) against the number of instances, one line
per database and client count.
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


def server_load(png, paths):
    rows = {}
    for path in paths:
        with open(path) as f:
            for line in f.read().splitlines()[1:]:
                cells = line.split("\t")
                if len(cells) < 5 or cells[3] != "snaps/s":
                    continue
                n = int(cells[1].split()[0])
                clients = int(cells[2].split()[0])
                low, mid, high = (float(v) for v in cells[4].split("/"))
                rows.setdefault((cells[0], clients), []).append((n, mid, low, high))
    work = tempfile.mkdtemp(prefix="plot.")
    plots = []
    for i, ((db, clients), points) in enumerate(sorted(rows.items())):
        dat = os.path.join(work, f"{db}-{clients}.dat")
        # Each series a little to the side, so that error bars do not hide each other.
        shift = (i - (len(rows) - 1) / 2) * 0.04
        with open(dat, "w") as f:
            for n, mid, low, high in sorted(points):
                f.write(f"{n + shift} {mid} {low} {high}\n")
        style = "yerrorlines" if len(points) > 1 else "yerrorbars"
        plots.append(f"'{dat}' using 1:2:3:4 with {style} lw 2 pt {7 if db == 'sqlite' else 5} ps 1.5 "
                     f"lc {1 + i} title '{db}, {clients} clients'")
    script = f"""
set terminal pngcairo size 1100,700 font ',10' noenhanced
set output '{png}'
set title 'pinleaf-server: snaps per second against instances (median, bar = min..max of the runs; 2 cores)'
set xlabel 'instances on one database'
set ylabel 'snaps per second'
set xrange [0.5:3.5]
set xtics 1
set yrange [0:*]
set key outside right top
set grid
plot {', '.join(plots)}
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    return 0


def main():
    args = sys.argv[1:]
    if args and args[0] == "--server-load":
        if len(args) < 3:
            print(__doc__, file=sys.stderr)
            return 2
        return server_load(args[1], args[2:])
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
