#!/usr/bin/env python3
"""Fails when a CTest test of the build has no TIMEOUT property.

A test without a timeout that hangs on a fault stalls the whole run instead of failing.
Usage: check_test_timeouts.py CTEST BUILD_DIR
"""
import json
import subprocess
import sys


def main():
    ctest, build = sys.argv[1], sys.argv[2]
    listing = subprocess.run([ctest, "--test-dir", build, "--show-only=json-v1"],
                             check=True, capture_output=True, text=True).stdout
    tests = json.loads(listing).get("tests", [])
    missing = []
    for test in tests:
        timeouts = [p for p in test.get("properties", []) if p.get("name") == "TIMEOUT"]
        if not timeouts or float(timeouts[0].get("value", 0)) <= 0:
            missing.append(test["name"])
    for name in missing:
        print("no ctest timeout:", name)
    print(f"{len(tests)} tests, {len(missing)} without a timeout")
    return 1 if missing or not tests else 0


if __name__ == "__main__":
    sys.exit(main())
