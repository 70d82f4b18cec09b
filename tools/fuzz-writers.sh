#!/usr/bin/env bash
# Runs a writer's differential fuzz target: tools/fuzz-writers.sh jpeg|png [seconds]
# (default 1800 s). Any stream that differs from the reference writer's aborts
# the run and leaves its input in build/fuzz/artifacts-WRITER/; the log with the
# executions is build/fuzz/fuzz-WRITER-writer.log.
set -euo pipefail
cd "$(dirname "$0")/.."
writer="$1"
seconds="${2:-1800}"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${writer}_writer_fuzzer"
work=build/fuzz
mkdir -p "$work/corpus-$writer-writer" "$work/artifacts-$writer/"
export ASAN_OPTIONS="detect_leaks=1"
"$work/tests/fuzz/${writer}_writer_fuzzer" "$work/corpus-$writer-writer" \
  -max_total_time="$seconds" -max_len=4096 -timeout=60 -rss_limit_mb=2048 \
  -artifact_prefix="$work/artifacts-$writer/" -print_final_stats=1 \
  >"$work/fuzz-$writer-writer.log" 2>&1
grep -h "stat::number_of_executed_units" "$work/fuzz-$writer-writer.log"
