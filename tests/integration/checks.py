# What the Python integration tests share: need() imports the modules a test cannot run without
# (exit 77, skipped, when one is missing; a failure when CI is set), check() prints an ok or FAIL
# line and counts it, finish() prints the counts and gives the exit status.

import importlib
import os
import sys

counts = {"passed": 0, "failed": 0}


def need(packages, *modules):
    try:
        return [importlib.import_module(module) for module in modules]
    except ImportError as missing:
        print(f"{missing.name} is missing: apt-get install {packages}")
        sys.exit(1 if os.environ.get("CI") else 77)


def check(ok, what, detail=""):
    counts["passed" if ok else "failed"] += 1
    print(f"{'ok  ' if ok else 'FAIL'} - {what}{': ' + str(detail) if detail and not ok else ''}")


def finish():
    print(f"{counts['passed']} passed, {counts['failed']} failed")
    return 1 if counts["failed"] else 0
