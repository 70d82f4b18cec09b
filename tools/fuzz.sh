#!/usr/bin/env bash
# Builds the fuzz target and runs it: tools/fuzz.sh [seconds] [jobs]
# (defaults 600 s, 1 job). The shared corpus seeds the run; the grown corpus,
# crash reproducers and the logs (fuzz-JOB.log, with every report in full) stay
# in build/fuzz/. Each job restarts the fuzzer after a crash, an out-of-memory
# or a timeout until its time is used, so one run finds several.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-600}"
jobs="${2:-1}"
seeds_from="${QUILLMAR_CORPUS:-../shared/corpus}"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

work=build/fuzz
mkdir -p "$work/corpus" "$work/seeds" "$work/artifacts"

# The harness reads byte 0 as the name ending (0 = .jpg, 2 = .png) and byte 1
# as the quality; the rest is the file. Each seed goes in under its own kind.
if [ -d "$seeds_from" ]; then
  find "$seeds_from" -type f \( -iname '*.png' -o -iname '*.jpg' -o -iname '*.jpeg' \) |
    while read -r file; do
      case "${file,,}" in *.png) kind='\x02' ;; *) kind='\x00' ;; esac
      out="$work/seeds/$(basename "$file")"
      { printf "$kind"'\x50'; cat "$file"; } >"$out"
    done
fi
# Our own reproducers are seeds as well: a fixed finding stays covered.
for file in tests/regression/*; do
  [ -f "$file" ] || continue
  case "${file,,}" in *.png) kind='\x02' ;; *) kind='\x00' ;; esac
  { printf "$kind"'\x50'; cat "$file"; } >"$work/seeds/regression-$(basename "$file")"
done

# Hostile headers ask for gigabytes; let such allocations fail instead of the run.
export ASAN_OPTIONS="allocator_may_return_null=1:detect_leaks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

fuzz_job() {
  local log="$work/fuzz-$1.log" end=$((SECONDS + seconds)) left
  : >"$log"
  while left=$((end - SECONDS)); [ "$left" -gt 0 ]; do
    "$work/tests/fuzz/compress_fuzzer" "$work/corpus" "$work/seeds" \
      -max_total_time="$left" -timeout=30 -rss_limit_mb=4096 -malloc_limit_mb=3072 \
      -max_len=65536 -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
      >>"$log" 2>&1 || echo "=== fuzzer ended with code $?, restarting" >>"$log"
  done
}

for job in $(seq 1 "$jobs"); do
  fuzz_job "$job" &
done
wait
echo "crash/oom/timeout reproducers:"
ls "$work/artifacts"
grep -h "stat::number_of_executed_units" "$work"/fuzz-*.log |
  awk '{ n += $2 } END { print "executions:", n }'
