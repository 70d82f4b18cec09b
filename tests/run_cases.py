"""Runs a Python test's cases and says which skipped, how many and why.

CTest shows a passing test as one line, so cases that skip would go unseen; the
lines this prints ("cli_test.py: 2 of 40 cases skipped: why") stand in the test's
output (ctest -V, Testing/Temporary/LastTest.log), and tools/test-all.sh shows
them after each build's tests.
"""
import collections
import os
import sys
import unittest


def run_cases(argv, **options):
    """unittest.main over argv; returns the exit code."""
    result = unittest.main(argv=argv, verbosity=2, exit=False, **options).result
    name = os.path.basename(argv[0])
    reasons = collections.Counter(reason for _, reason in result.skipped)
    for reason, count in sorted(reasons.items()):
        print("%s: %d of %d cases skipped: %s" % (name, count, result.testsRun, reason),
              file=sys.stderr)
    return 0 if result.wasSuccessful() else 1
