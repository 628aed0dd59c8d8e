#!/usr/bin/env python3
"""Checks the #include lines of the product code against the layer map.

A layer includes only itself and the layers below it; above the platform
layer only the platform's front headers (platform/*.h) are seen, never a
backend folder; a backend includes the fronts, its own folder and the
backends its set builds on (a Linux desktop builds on posix). The note
service is a program of its own and includes none of the client's layers.

Usage: check-layers.py [SOURCE_ROOT]   (exit status 1 on any violation)
"""
import pathlib
import re
import sys

# Bottom first: a layer may include those before it in this list ...
LAYERS = ["platform", "runtime", "ui", "net", "http", "storage", "tray", "app"]
# ... except these: the transport never sees the window toolkit.
NEVER = {("net", "ui")}
# What each backend folder may include besides the fronts and itself.
BACKEND_BASES = {"win32": set(), "posix": set(), "core": set(), "headless": {"posix", "core"}, "linux": {"posix", "core"}}
PROGRAMS = ["service"]

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def check(root):
    faults = []
    for top in LAYERS + PROGRAMS:
        for path in sorted((root / top).rglob("*")):
            if path.suffix not in (".h", ".cpp"):
                continue
            rel = path.relative_to(root)
            for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
                m = INCLUDE.match(line)
                if not m:
                    continue
                fault = judge(rel.parts, m.group(1))
                if fault:
                    faults.append(f"{rel}:{number}: {m.group(1)}: {fault}")
    return faults


def judge(parts, included):
    target = included.split("/")
    if len(target) == 1:
        return None  # a file beside the includer
    layer, into = parts[0], target[0]
    if layer in PROGRAMS:
        return None if into == layer else "the service includes nothing of the client"
    if into not in LAYERS:
        return f"'{into}' is not a layer of the client"
    if LAYERS.index(into) > LAYERS.index(layer):
        return f"{layer}/ is below {into}/"
    if (layer, into) in NEVER:
        return f"{layer}/ never sees {into}/"
    if into == "platform" and len(target) > 2:
        backend = target[1]
        if layer != "platform":
            return "only the platform's front headers are seen above it"
        if len(parts) == 2:
            return "a front header includes no backend"
        own = parts[1]
        if backend != own and backend not in BACKEND_BASES.get(own, set()):
            return f"the {own} backend does not build on the {backend} backend"
    return None


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent)
    faults = check(root)
    for fault in faults:
        print(fault)
    print(f"layer check: {len(faults)} fault(s)")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
