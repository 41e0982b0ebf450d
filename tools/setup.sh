#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs what a fresh Debian 12 machine lacks for building and testing.
# Quiet and quick when everything is already there.
set -euo pipefail
source "$(dirname "$0")/env.sh"

pkgs=(
  cmake ninja-build g++ clang-format
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  libfftw3-dev libsndfile1-dev libsamplerate0-dev libebur128-dev googletest libgtest-dev
  wine wine32:i386 xvfb xauth
  sox ffmpeg flac alsa-utils dpkg-dev python3 imagemagick x11-utils
  clang libclang-rt-14-dev nsis zip unzip strace
)

sudo_() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
sources_changed=0
# deb-src entries for the configured suites, so that the sources of the
# libraries cross-built for Windows (FFTW, libsndfile and its codecs,
# libsamplerate) can be fetched.
if ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  echo "setup: adding deb-src entries" >&2
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed -e 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      sudo_ tee /etc/apt/sources.list.d/debian-src.sources >/dev/null
  fi
  if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | sudo_ tee /etc/apt/sources.list.d/debian-src.list >/dev/null
  fi
  sources_changed=1
fi
# wine32 is an i386 package.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  sudo_ dpkg --add-architecture i386
  sources_changed=1
fi
if [ $sources_changed = 1 ]; then
  apt_update
fi
need_packages "${pkgs[@]}"
