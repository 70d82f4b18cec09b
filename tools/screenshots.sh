#!/usr/bin/env bash
# Screenshots of the real Quillmar.exe in a Wine virtual desktop under Xvfb, driven
# by tools/dialog_driver.exe: the empty dialog, a filled list with a size preview,
# a finished batch, and files and a folder dropped on the cleared list.
# Usage: tools/screenshots.sh [OUTPUT-FOLDER] (default docs/)
# after `cmake --workflow --preset windows` (or at least its build).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$root/docs}")
build=$root/build/windows
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/相册/旅行"
cp "$root"/tests/data/*.jpg "$root"/tests/data/*.png "$work/相册/"
cp "$root/tests/data/rgb.jpg" "$work/相册/旅行/海边.jpg"
printf 'not an image' > "$work/相册/旅行/坏文件.png"

# A prefix of its own whose every program runs in one virtual desktop (it gives the
# dialog a title bar), so the driver sees the program's windows.
prefix=$build/wineprefix-shots
"$root/tools/wine-run.sh" "$prefix" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null
"$root/tools/wine-run.sh" "$prefix" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 960x660 /f >/dev/null
WINEPREFIX=$prefix /usr/lib/wine/wineserver -w
rm -rf "$prefix"/drive_c/users/*/Pictures/Quillmar输出  # a fresh default output folder

cat > "$work/run.sh" <<SCRIPT
set -eu
run() { "$root/tools/wine-run.sh" "$prefix" "\$@"; }
shot() { sleep 1; import -window root "$out/\$1"; }
run "$build/Quillmar.exe" &
driver="$build/dialog_driver.exe"
run "\$driver" wait
shot dialog-empty.png
run "\$driver" recursive
run "\$driver" add-folder 'Z:${work//\//\\}\\相册'
run "\$driver" select
run "\$driver" quality 60
run "\$driver" wait-estimate
shot dialog-list.png
run "\$driver" start
shot dialog-batch.png
run "\$driver" clear
run "\$driver" drop 'Z:${work//\//\\}\\相册\\gray.jpg' 'Z:${work//\//\\}\\相册\\旅行'
shot dialog-drop.png
run "\$driver" close
wait
SCRIPT
xvfb-run -a -s "-screen 0 960x660x24" bash "$work/run.sh"
ls -l "$out"/dialog-*.png
