#!/usr/bin/env bash
# Makes a folder tree with symbolic links for the Windows tests: a program under
# Wine cannot create Unix links itself, but sees the ones made here.
#   real/a.png, real/link.png -> a.png, real/dangling.png -> nowhere.png,
#   real/folder-link -> ../elsewhere (holds b.jpg), real/loop -> ..
set -eu
root=$1
rm -rf "$root"
mkdir -p "$root/real" "$root/elsewhere"
printf x > "$root/real/a.png"
printf x > "$root/elsewhere/b.jpg"
ln -s a.png "$root/real/link.png"
ln -s nowhere.png "$root/real/dangling.png"
ln -s ../elsewhere "$root/real/folder-link"
ln -s .. "$root/real/loop"
