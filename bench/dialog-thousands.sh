#!/usr/bin/env bash
# The dialog with thousands of small photos, driven like a user under Wine and Xvfb
# by tools/dialog_driver.exe, beside the command line on the same files:
#   add     "添加文件夹..." (recursive) of a 2,000-file tree until the list and the
#           count line show them all
#   batch   ROUNDS (default 5) batches in one session, "开始压缩" until the summary
#           shows; the last gets a close request (WM_SYSCOMMAND/SC_CLOSE, as Alt+F4
#           sends) and times the refusal box
#   cli     right before each batch, Quillmar.exe -r on the same tree (wall time,
#           Wine start included): this machine's speed drifts by tens of percent
#           within minutes, so each batch is set against its neighbour and the
#           median ratio counts
#   lag     summary shown minus the newest output file's time, per batch
# Usage: bench/dialog-thousands.sh [FILES] (default 2000), after the windows build;
# EXE=path/Quillmar.exe measures another build of the program (an earlier one).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/windows
exe=$(realpath "${EXE:-$build/Quillmar.exe}")
files=${1:-2000}
rounds=${ROUNDS:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -n "${KEEP:-}" ] && trap - EXIT && echo "work: $work"

# Small photo-like JPEGs in nested folders, 100 to a folder.
for s in 0 1 2 3; do
  /usr/bin/convert -size 240x180 "gradient:navy-orange" -attenuate 0.$((s + 3)) +noise Gaussian \
    -quality 90 "$work/seed$s.jpg"
done
for ((i = 0; i < files; i++)); do
  dir=$work/相册/$((i / 500))/$((i / 100 % 5))
  mkdir -p "$dir"
  cp "$work/seed$((i % 4)).jpg" "$dir/照片$i.jpg"
done
tree='Z:'${work//\//\\}'\相册'

prefix=$build/wineprefix-bench
run() { "$root/tools/wine-run.sh" "$prefix" "$@"; }
run reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null
run reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 960x660 /f >/dev/null
WINEPREFIX=$prefix /usr/lib/wine/wineserver -w

# A warm-up run of the command line (the files into the page cache).
run "$exe" -r -o 'Z:'${work//\//\\}'\warm' "$tree" >/dev/null
# The dialog's Wine must start afresh on the X display: wait for this one to end.
WINEPREFIX=$prefix /usr/lib/wine/wineserver -w

cat > "$work/session.sh" <<SCRIPT
set -eu
driver="$build/dialog_driver.exe"
run() { "$root/tools/wine-run.sh" "$prefix" "\$@"; }
run "$exe" &
run "\$driver" wait
run "\$driver" recursive
run "\$driver" add-folder '$tree' $files
# Each batch into a folder of its own, so that each does the same file-system work.
# The command line runs right before each batch, on the same files and the same
# Wine server (the dialog idle meanwhile): this machine's speed drifts, and a
# batch is compared with its neighbour.
for batch in \$(seq 1 $rounds); do
  start=\$(date +%s.%N)
  run "$exe" -r -o 'Z:${work//\//\\}\\cli'\$batch '$tree' >/dev/null
  echo "cli: \$(echo "\$(date +%s.%N) - \$start" | bc)"
  run "\$driver" output 'Z:${work//\//\\}\\out'\$batch
  run "\$driver" timed-batch \$([ \$batch = $rounds ] && echo 1500)
done
run "\$driver" close
wait
SCRIPT
xvfb-run -a -s "-screen 0 960x660x24" bash -x "$work/session.sh" 2>"$work/session.err" | tee "$work/session.txt" || cat "$work/session.err"

# The summary's time minus the newest output's, batch by batch, and each batch's
# time over the command line's.
python3 - "$work" "$work/session.txt" <<'PY'
import os, sys
work, session = sys.argv[1], sys.argv[2]
batches = [float(l.split()[1]) for l in open(session) if l.startswith("batch:")]
clis = [float(l.split()[1]) for l in open(session) if l.startswith("cli:")]
ratios = [b / c for b, c in zip(batches, clis)]
print("batch / cli: " + " ".join("%.2f" % r for r in ratios) +
      "  (median %.2f)" % sorted(ratios)[len(ratios) // 2])
print("batch / batch 1: " + " ".join("%.2f" % (b / batches[0]) for b in batches[1:]))
shown = [float(l.split()[1]) for l in open(session) if l.startswith("summary_at:")]
for batch, at in enumerate(shown, 1):
    folder = os.path.join(work, "out%d" % batch)
    newest = max(os.stat(os.path.join(folder, n)).st_mtime for n in os.listdir(folder))
    print("lag %d: %.3f" % (batch, at - newest))
PY
