#!/usr/bin/env bash
# Two 200-megapixel photos through the program: bench/large-photo.sh [folder]
# ImageMagick scales a mate-backgrounds photo (4:3) up to 16320x12240, the size a
# 200 MP phone camera writes, as a JPEG of quality 92 in the folder (default: a
# temporary one, removed afterwards), smooth (8 MB) and with a sensor's noise
# (70-80 MB); each is made once per folder. build/native/quillmar, then the library alone (build/native/stb_floor),
# compress it at quality 80 under /usr/bin/time -v: wall time, CPU time and peak
# resident memory.
set -euo pipefail
cd "$(dirname "$0")/.."
photo=/usr/share/backgrounds/mate/nature/Wood.jpg
if [ ! -f "$photo" ]; then
  $([ "$(id -u)" = 0 ] || echo sudo) apt-get install -y mate-backgrounds
fi
if [ -n "${1:-}" ]; then work="$1"; mkdir -p "$work"; else work=$(mktemp -d); trap 'rm -rf "$work"' EXIT; fi
big="$work/photo-16320x12240.jpg"

if [ ! -f "$big" ]; then
  # Debian's ImageMagick policy stops at 128 megapixels and 16384 pixels a side;
  # a policy of our own, found first, lets this one image through.
  cat >"$work/policy.xml" <<'EOF'
<policymap>
  <policy domain="resource" name="memory" value="4GiB"/>
  <policy domain="resource" name="map" value="8GiB"/>
  <policy domain="resource" name="disk" value="16GiB"/>
  <policy domain="resource" name="area" value="1GP"/>
  <policy domain="resource" name="width" value="64KP"/>
  <policy domain="resource" name="height" value="64KP"/>
</policymap>
EOF
  MAGICK_CONFIGURE_PATH="$work" convert "$photo" -resize '16320x12240!' -quality 92 "$big"
fi
# The same with a camera sensor's noise, as bench/camera-photos.sh makes its
# photos: baseline 4:2:0 by libjpeg-turbo's cjpeg, quality 92 (70-80 MB).
camera="$work/camera-16320x12240.jpg"
if [ ! -f "$camera" ]; then
  command -v cjpeg >/dev/null ||
    $([ "$(id -u)" = 0 ] || echo sudo) apt-get install -y libjpeg-turbo-progs
  MAGICK_CONFIGURE_PATH="$work" convert "$photo" -resize '16320x12240!' -attenuate 0.5 \
    +noise Gaussian ppm:- | cjpeg -quality 92 -sample 2x2 -outfile "$camera"
fi
ls -l "$big" "$camera"
for input in "$big" "$camera"; do
  rm -rf "$work/out" "$work/floor"
  mkdir "$work/floor"
  for run in "build/native/quillmar $input -q 80 -o $work/out" "build/native/stb_floor 80 $work/floor $input"; do
    echo "$run"
    /usr/bin/time -v $run 2>&1 | grep -E "成功|失败|Elapsed|User time|System time|Maximum resident"
  done
  cmp "$work/out/$(basename "$input")" "$work/floor/$(basename "$input")" && echo "outputs identical"
done
