#!/usr/bin/env bash
# Runs the JPEG decoder's differential fuzz target: tools/fuzz-jpeg-decoder.sh
# [seconds] (default 1800 s). Seeded with every JPEG the tests use; the first
# input on which our decoder and the library's differ aborts the run and stays
# in build/fuzz/artifacts-jpeg-decoder/; the log with the executions is
# build/fuzz/fuzz-jpeg-decoder.log.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-1800}"
corpus_dir="${QUILLMAR_CORPUS:-tests/corpus}"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target jpeg_decoder_fuzzer
work=build/fuzz
seeds="$work/seeds-jpeg-decoder"
mkdir -p "$work/corpus-jpeg-decoder" "$seeds" "$work/artifacts-jpeg-decoder/"
for file in tests/data/*.jpg tests/data/jpeg-decoder/*.jpg tests/regression/*.jpg \
            "$corpus_dir"/jpeg/*.jpg "$corpus_dir"/stb-issues/*.jpg; do
  [ -f "$file" ] && cp "$file" "$seeds/"
done
export ASAN_OPTIONS="allocator_may_return_null=1:detect_leaks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
"$work/tests/fuzz/jpeg_decoder_fuzzer" "$work/corpus-jpeg-decoder" "$seeds" \
  -max_total_time="$seconds" -max_len=65536 -timeout=60 -rss_limit_mb=4096 \
  -artifact_prefix="$work/artifacts-jpeg-decoder/" -print_final_stats=1 \
  >"$work/fuzz-jpeg-decoder.log" 2>&1 || echo "fuzzer ended with code $?"
grep -h "stat::number_of_executed_units" "$work/fuzz-jpeg-decoder.log"
tail -n 20 "$work/fuzz-jpeg-decoder.log" | grep -i "differ\|ERROR" || true
