#!/usr/bin/env bash
# Makes the small JPEGs of tests/data/jpeg-decoder/ with ImageMagick: the kinds
# the library's own writer never makes (progressive, odd and mixed sampling
# factors, restart intervals, CMYK, RGB). Run by hand; the files are kept in the
# repository, so the tests need no ImageMagick.
set -euo pipefail
cd "$(dirname "$0")/.."
out=tests/data/jpeg-decoder
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A source picture with texture and colour at each size.
picture() {
  convert -seed 5 -size "$1" plasma:orange-navy -blur 0x0.5 "$work/$1.png"
  echo "$work/$1.png"
}

make() {  # name size options...
  local name="$1" size="$2"
  shift 2
  convert "$(picture "$size")" -strip -quality 75 "$@" "$out/$name.jpg"
}

make baseline-444-1x1 1x1 -sampling-factor 1x1
make baseline-420-3x5 3x5 -sampling-factor 2x2
make baseline-422-17x9 17x9 -sampling-factor 2x1
make baseline-440-37x23 37x23 -sampling-factor 1x2
make baseline-311-29x19 29x19 -sampling-factor 3x1
make baseline-421-41x27 41x27 -sampling-factor 4x2
make baseline-141-23x35 23x35 -sampling-factor 1x4
make baseline-mixed-33x21 33x21 -sampling-factor 2x2,1x2,2x1
make baseline-gray-19x13 19x13 -colorspace Gray
make progressive-420-37x23 37x23 -sampling-factor 2x2 -interlace JPEG
make progressive-444-16x16 16x16 -sampling-factor 1x1 -interlace JPEG
make progressive-311-29x19 29x19 -sampling-factor 3x1 -interlace JPEG
make progressive-gray-31x17 31x17 -colorspace Gray -interlace JPEG
make progressive-1x1 1x1 -interlace JPEG
make cmyk-27x15 27x15 -colorspace CMYK
make cmyk-progressive-21x19 21x19 -colorspace CMYK -interlace JPEG -sampling-factor 2x2
make baseline-444-25x17 25x17 -sampling-factor 1x1
make baseline-large-230x161 230x161 -sampling-factor 2x2 -quality 60
make progressive-large-230x161 230x161 -sampling-factor 2x2 -interlace JPEG -quality 60
# Restart intervals: ImageMagick writes none, libjpeg-turbo's cjpeg does
# (-restart N: every N MCU rows; NB: every N MCUs). The tall ones have a scan
# stop (a restart marker cut or changed) in the middle of an MCU row, rows of
# MCUs after the first two.
restart() {  # name size cjpeg options...
  local name="$1" size="$2"
  shift 2
  convert "$(picture "$size")" "$work/$name.ppm"
  cjpeg -quality 75 "$@" -outfile "$out/$name.jpg" "$work/$name.ppm"
}
restart baseline-restart-45x31 45x31 -sample 2x2 -restart 1
restart baseline-restart3-70x41 70x41 -sample 2x1 -restart 3B
restart baseline-restart-tall-19x90 19x90 -sample 1x2 -restart 2B
restart baseline-gray-restart-13x60 13x60 -grayscale -restart 1B
restart progressive-restart-45x31 45x31 -sample 2x2 -progressive -restart 1
# Coefficients past a byte: noise at quality 100, progressive.
convert -seed 5 -size 24x16 xc: +noise Random "$work/noise.ppm"
cjpeg -quality 100 -progressive -outfile "$out/progressive-q100-noise-24x16.jpg" "$work/noise.ppm"
ls -l "$out"
