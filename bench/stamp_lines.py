#!/usr/bin/env python3
"""Follows a log file as a program writes it and prints every line that
matches a pattern, preceded by the time it was seen (seconds since the epoch):

    bench/stamp_lines.py FILE PATTERN

Reads from the file's beginning (it may not exist yet) and looks for new lines
every millisecond until it is stopped. A line is stamped when it is complete,
so the stamp trails the writer by at most about a millisecond."""
import os
import re
import sys
import time


def main():
    path, pattern = sys.argv[1], re.compile(sys.argv[2].encode())
    while not os.path.exists(path):
        time.sleep(0.001)
    with open(path, "rb") as log:
        pending = b""
        while True:
            chunk = log.read(65536)
            if not chunk:
                time.sleep(0.001)
                continue
            seen = time.time()
            pending += chunk
            *lines, pending = pending.split(b"\n")
            for line in lines:
                if pattern.search(line):
                    sys.stdout.write("%.6f %s\n" % (seen, line.decode("utf-8", "replace")))
                    sys.stdout.flush()


if __name__ == "__main__":
    main()
