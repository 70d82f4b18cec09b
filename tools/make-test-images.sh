#!/usr/bin/env bash
# Remakes the small images kept under tests/data (the unit tests make the rest
# themselves with the image library).
#   gray.jpg  one-component JPEG (the library's own writer cannot produce one)
#   rgb.jpg   a photo-like colour JPEG
#   rgba.png  colour with a transparent band
#   ga.png    gray with alpha
set -eu
cd "$(dirname "$0")/../tests/data"
im=/usr/bin/convert
$im -size 61x37 gradient:black-white -attenuate 0.6 +noise Gaussian \
  -colorspace Gray -type Grayscale -quality 85 gray.jpg
$im -size 80x60 gradient:navy-orange -attenuate 0.4 +noise Gaussian -quality 92 rgb.jpg
$im -size 48x40 gradient:red-blue \( -size 48x40 gradient:white-black \) \
  -alpha off -compose CopyOpacity -composite -define png:color-type=6 rgba.png
$im -size 33x21 gradient:gray20-gray90 \( -size 33x21 gradient:black-white -rotate 0 \) \
  -alpha off -compose CopyOpacity -composite -define png:color-type=4 ga.png
