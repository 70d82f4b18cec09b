#!/usr/bin/env bash
# Builds and tests all three configurations: Linux, Linux with sanitizers, and
# Windows (cross-compiled, tests under Wine).
set -eu
cd "$(dirname "$0")/.."
for preset in native asan windows; do
  echo "=== $preset"
  cmake --workflow --preset "$preset"
done
