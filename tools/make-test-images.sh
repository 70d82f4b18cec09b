#!/usr/bin/env bash
# Remakes the small images kept under tests/data (the tests make the rest themselves).
# gray.jpg: a one-component JPEG, which the image library's own writer cannot produce.
set -eu
cd "$(dirname "$0")/../tests/data"
/usr/bin/convert -size 61x37 gradient:black-white -attenuate 0.6 +noise Gaussian \
  -colorspace Gray -type Grayscale -quality 85 gray.jpg
