#!/usr/bin/env python3
"""Runs the end-to-end suites against a server command.

Usage: run.py --server CMD... [-k PATTERN]
  e.g. run.py --server build/debug/dirhttp
       run.py --server tests/windows/wine-dirhttp build/mingw-x64/dirhttp.exe"""
import argparse
import os
import signal
import sys
import unittest

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)

import harness  # noqa: E402


def main():
    # A runner told to end (a time-out, Ctrl+C) stops its servers on the way out (harness's exit
    # hook); a runner killed outright takes them with it (their parent-death signal).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", nargs="+", required=True, help="the server command")
    parser.add_argument("-k", dest="patterns", action="append", help="only tests matching")
    parser.add_argument("--suite", default="test_*.py", help="file pattern of the suites")
    args = parser.parse_args()
    words = [os.path.abspath(w) if os.path.exists(w) else w for w in args.server]
    harness.configure(words)
    loader = unittest.TestLoader()
    if args.patterns:
        loader.testNamePatterns = ["*%s*" % p for p in args.patterns]
    suite = loader.discover(here, pattern=args.suite)
    # One hold of the port for the whole run (the suites' own holds nest inside it).
    with harness.PortLock(600):
        result = unittest.TextTestRunner(verbosity=2).run(suite)
    return 0 if result.wasSuccessful() and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
