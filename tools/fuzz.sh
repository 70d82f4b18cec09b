#!/usr/bin/env bash
# Builds the fuzz target and runs it: tools/fuzz.sh [seconds] [jobs] [gif|bmp]
# (defaults 600 s, 1 job). The images of tests/corpus/, our reproducers and GIF
# and BMP files made here seed the run; with gif or bmp only that format's files
# do, in a corpus of its own. The grown corpus, crash reproducers and the logs
# (fuzz-JOB.log, or fuzz-FORMAT-JOB.log, with every report in full) stay in
# build/fuzz/. Each job restarts the fuzzer after a crash, an out-of-memory or a
# timeout until its time is used, so one run finds several.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-600}"
jobs="${2:-1}"
family="${3:-}"
seeds_from="${QUILLMAR_CORPUS:-tests/corpus}"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

work=build/fuzz
corpus="$work/corpus${family:+-$family}"
seeds="$work/seeds${family:+-$family}"
rm -rf "$seeds"
mkdir -p "$corpus" "$seeds" "$work/artifacts"

# The decoder goes by content, so GIF and BMP files named .jpg or .png reach it.
# ImageMagick makes a few of each kind the decoder reads: palettes of 2 to 256
# colours, transparency, interlacing, a second frame; 1- to 32-bit BMPs with the
# old and new headers and bit fields. Each goes in under both name kinds.
make_seeds() {
  local made
  made=$(mktemp -d)
  if [ "$1" = gif ]; then
    convert rose: "$made/rose.gif"
    convert rose: -interlace GIF "$made/interlaced.gif"
    convert -size 48x32 gradient:red-blue -colors 4 "$made/four-colours.gif"
    convert -size 16x16 pattern:checkerboard -monochrome "$made/two-colours.gif"
    convert -size 24x24 xc:none -fill red -draw 'circle 12,12 12,3' "$made/transparent.gif"
    convert -delay 10 -size 20x20 xc:red -page +4+4 -size 8x8 xc:blue -loop 0 "$made/frames.gif"
  else
    convert rose: BMP3:"$made/rgb24.bmp"
    convert rose: -alpha set -channel A -evaluate set 50% BMP:"$made/rgba32.bmp"
    convert rose: -colors 200 -type palette -compress None BMP3:"$made/palette8.bmp"
    convert rose: -colors 200 -type palette BMP3:"$made/rle8.bmp"
    convert rose: -colors 16 -type palette -depth 4 BMP3:"$made/palette4.bmp"
    convert -size 16x16 pattern:checkerboard -monochrome BMP3:"$made/bits1.bmp"
    convert rose: -define bmp:subtype=RGB565 BMP:"$made/rgb565.bmp"
    convert rose: BMP2:"$made/os2.bmp"
  fi
  for file in "$made"/*; do
    { printf '\x00\x50'; cat "$file"; } >"$seeds/$1-jpg-$(basename "$file")"
    { printf '\x02\x50'; cat "$file"; } >"$seeds/$1-png-$(basename "$file")"
  done
  rm -rf "$made"
}
for format in gif bmp; do
  if [ -z "$family" ] || [ "$family" = "$format" ]; then make_seeds "$format"; fi
done

# The harness reads byte 0 as the name ending (0 = .jpg, 2 = .png) and byte 1
# as the quality; the rest is the file. Each seed goes in under its own kind.
if [ -z "$family" ] && [ -d "$seeds_from" ]; then
  find "$seeds_from" -type f \( -iname '*.png' -o -iname '*.jpg' -o -iname '*.jpeg' \) |
    while read -r file; do
      case "${file,,}" in *.png) kind='\x02' ;; *) kind='\x00' ;; esac
      out="$seeds/$(basename "$file")"
      { printf "$kind"'\x50'; cat "$file"; } >"$out"
    done
fi
# Our own reproducers are seeds as well: a fixed finding stays covered.
for file in tests/regression/*; do
  [ -z "$family" ] && [ -f "$file" ] || continue
  case "${file,,}" in *.png) kind='\x02' ;; *) kind='\x00' ;; esac
  { printf "$kind"'\x50'; cat "$file"; } >"$seeds/regression-$(basename "$file")"
done

# Hostile headers ask for gigabytes; let such allocations fail instead of the run.
export ASAN_OPTIONS="allocator_may_return_null=1:detect_leaks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

fuzz_job() {
  local log="$work/fuzz-${family:+$family-}$1.log" end=$((SECONDS + seconds)) left
  : >"$log"
  while left=$((end - SECONDS)); [ "$left" -gt 0 ]; do
    "$work/tests/fuzz/compress_fuzzer" "$corpus" "$seeds" \
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
grep -h "stat::number_of_executed_units" "$work"/fuzz-${family:+$family-}[0-9]*.log |
  awk '{ n += $2 } END { print "executions:", n }'
