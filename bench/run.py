"""Benchmarks of tolvex; see the README."""

import sys

print("no benchmarks yet", file=sys.stderr)
