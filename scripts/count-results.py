#!/usr/bin/env python3
"""Sums the gtest XML results of one ctest run.

Usage: count-results.py RESULTS_DIR TEST_NAME...
A suite that left no result file (it crashed or never started) counts as one failure.
Prints "passed failed skipped".
"""
import os
import sys
import xml.etree.ElementTree as ET

results, names = sys.argv[1], sys.argv[2:]
passed = failed = skipped = 0
for name in names:
    # A value-parameterised case is listed as "Suite.Case/Param  # GetParam() = ..."
    # and writes its results under the name before the comment.
    path = os.path.join(results, name.split("  # ")[0] + ".xml")
    try:
        root = ET.parse(path).getroot()
    except (OSError, ET.ParseError):
        print(f"{name}: no results (crashed or did not run)", file=sys.stderr)
        failed += 1
        continue
    for case in root.iter("testcase"):
        if case.find("failure") is not None or case.find("error") is not None:
            failed += 1
        elif case.get("result") == "skipped" or case.find("skipped") is not None or case.get("status") == "notrun":
            skipped += 1
        else:
            passed += 1
print(passed, failed, skipped)
