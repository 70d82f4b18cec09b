#!/usr/bin/env bash
# Runs a Windows program under Wine in a throw-away prefix of the build tree.
# Usage: wine-run.sh PREFIX PROGRAM.exe [ARGS...]
# The prefix is made once (serialised with a lock, since CTest runs tests side by
# side) and gets font stand-ins so the dialog's Chinese texts render.
set -eu
prefix=$1
shift
wine=/usr/lib/wine/wine64
export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml="
# Wine takes the arguments from the Unix locale: keep Chinese and emoji intact.
export LANG=C.UTF-8 LC_ALL=C.UTF-8

if [ ! -f "$prefix/.quillmar-ready" ]; then
  mkdir -p "$(dirname "$prefix")"
  exec 9>"$prefix.lock"
  flock 9
  if [ ! -f "$prefix/.quillmar-ready" ]; then
    "$wine" wineboot --init >/dev/null 2>&1
    "$wine" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v '微软雅黑' /t REG_SZ \
      /d 'WenQuanYi Micro Hei' /f >/dev/null 2>&1
    # Wine's own window captions use Tahoma, which has no Chinese: link a fallback.
    "$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
      /v Tahoma /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei' /f >/dev/null 2>&1
    /usr/lib/wine/wineserver -w
    touch "$prefix/.quillmar-ready"
  fi
  flock -u 9
  exec 9>&-
fi
exec "$wine" "$@"
