#!/usr/bin/env bash
# Installs every Debian package the builds, the tests and the benchmark need.
set -eu
packages=(
  cmake make g++ python3 libstb-dev libgtest-dev googletest
  clang libclang-rt-14-dev util-linux
  g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
  wine64 xvfb xauth x11-apps fonts-wqy-microhei imagemagick time strace
  libjpeg-turbo-progs libturbojpeg0-dev fusefat dosfstools
)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends "${packages[@]}"
