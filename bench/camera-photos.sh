#!/usr/bin/env bash
# Camera-like JPEGs for the benchmark: bench/camera-photos.sh FOLDER
# The photos people compress most come from phones and cameras: baseline JPEG,
# 4:2:0 (some 4:2:2), quality 90-95, 12 to 48 megapixels, with the sensor's
# noise (3-4 bits a pixel). Made from mate-backgrounds photos: scaled up with
# ImageMagick, Gaussian noise added, written by libjpeg-turbo's cjpeg. Each
# photo is made once per folder.
set -euo pipefail
cd "$(dirname "$0")/.."
folder="${1:?usage: bench/camera-photos.sh FOLDER}"
mate=/usr/share/backgrounds/mate/nature
missing=()
[ -f "$mate/Wood.jpg" ] || missing+=(mate-backgrounds)
command -v cjpeg >/dev/null || missing+=(libjpeg-turbo-progs)
if [ ${#missing[@]} -gt 0 ]; then
  $([ "$(id -u)" = 0 ] || echo sudo) apt-get install -y "${missing[@]}"
fi
mkdir -p "$folder"
# Debian's ImageMagick policy holds an image in 256 MiB; a policy of our own,
# found first, gives the 48-megapixel ones room.
cat >"$folder/policy.xml" <<'EOF'
<policymap>
  <policy domain="resource" name="memory" value="2GiB"/>
  <policy domain="resource" name="map" value="4GiB"/>
  <policy domain="resource" name="area" value="256MP"/>
</policymap>
EOF

# name, source photo, size, quality, cjpeg's sampling factors
while read -r name source size quality sample; do
  [ -f "$folder/$name" ] && continue
  MAGICK_CONFIGURE_PATH="$folder" convert "$mate/$source" -resize "$size!" \
    -attenuate 0.5 +noise Gaussian ppm:- |
    cjpeg -quality "$quality" -sample "$sample" -outfile "$folder/$name"
done <<'EOF'
camera-12mp-q92-420.jpg Wood.jpg 4000x3000 92 2x2
camera-12mp-q95-422.jpg Garden.jpg 4000x3000 95 2x1
camera-24mp-q90-420.jpg YellowFlower.jpg 6000x4000 90 2x2
camera-24mp-q94-420.jpg LadyBird.jpg 6000x4000 94 2x2
camera-48mp-q92-420.jpg TwoWings.jpg 8000x6000 92 2x2
camera-48mp-q93-422.jpg Aqua.jpg 8000x6000 93 2x1
EOF
rm -f "$folder/policy.xml"
ls -l "$folder"/camera-*.jpg
