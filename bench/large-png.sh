#!/usr/bin/env bash
# A 12000x6750 PNG through the program: bench/large-png.sh [folder]
# ImageMagick scales warty-final-ubuntu.png (lomiri-wallpapers, 16:9) up to
# 12000x6750 as an RGB PNG in the folder (default: a temporary one, removed
# afterwards), made once per folder. build/native/quillmar, then the library
# alone (build/native/stb_floor), compress it at quality 80 under
# /usr/bin/time -v: wall time, CPU time and peak resident memory; the two
# outputs must be the same bytes.
set -euo pipefail
cd "$(dirname "$0")/.."
picture=/usr/share/backgrounds/warty-final-ubuntu.png
if [ ! -f "$picture" ]; then
  $([ "$(id -u)" = 0 ] || echo sudo) apt-get install -y lomiri-wallpapers
fi
if [ -n "${1:-}" ]; then work="$1"; mkdir -p "$work"; else work=$(mktemp -d); trap 'rm -rf "$work"' EXIT; fi
big="$work/picture-12000x6750.png"
if [ ! -f "$big" ]; then
  # Debian's ImageMagick policy stops at 128 megapixels; 81 pass, but its
  # memory limit (256 MiB) would send the work to disk: a policy of our own,
  # found first, keeps it in memory.
  cat >"$work/policy.xml" <<'POLICY'
<policymap>
  <policy domain="resource" name="memory" value="4GiB"/>
  <policy domain="resource" name="map" value="8GiB"/>
  <policy domain="resource" name="area" value="1GP"/>
</policymap>
POLICY
  MAGICK_CONFIGURE_PATH="$work" convert "$picture" -resize '12000x6750!' -depth 8 \
    -define png:color-type=2 "$big"
fi
ls -l "$big"
rm -rf "$work/out" "$work/floor"
mkdir "$work/floor"
for run in "build/native/quillmar $big -q 80 -o $work/out" "build/native/stb_floor 80 $work/floor $big"; do
  echo "$run"
  /usr/bin/time -v $run 2>&1 | grep -E "成功|失败|Elapsed|User time|System time|Maximum resident"
done
cmp "$work/out/$(basename "$big")" "$work/floor/$(basename "$big")" && echo "outputs identical"
