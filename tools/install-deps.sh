#!/usr/bin/env bash
# Installs the Debian packages Quillmar needs.
#   tools/install-deps.sh            everything the builds, the tests and the benchmarks need
#   tools/install-deps.sh --program  only what building the Linux program needs (the
#                                    README's run command: the native preset configured
#                                    with BUILD_TESTING=OFF)
set -eu
program=(cmake make g++ libstb-dev)
everything=(
  "${program[@]}" python3 python3-yaml libgtest-dev googletest
  clang libclang-rt-14-dev util-linux
  g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
  wine64 xvfb xauth x11-apps fonts-wqy-microhei imagemagick time strace
  libjpeg-turbo-progs libturbojpeg0-dev libpng-dev fusefat dosfstools
)
case "${1-}" in
  "") packages=("${everything[@]}") ;;
  --program) packages=("${program[@]}") ;;
  *) echo "usage: $0 [--program]" >&2; exit 2 ;;
esac
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends "${packages[@]}"
