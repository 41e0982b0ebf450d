#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs what a fresh Debian 12 machine lacks for building and testing.
# Quiet and quick when everything is already there.
set -euo pipefail

pkgs=(
  cmake ninja-build g++ clang-format
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  libfftw3-dev googletest libgtest-dev
  wine wine32:i386 xvfb xauth
  sox ffmpeg alsa-utils dpkg-dev python3 imagemagick x11-utils
  clang libclang-rt-14-dev nsis zip unzip
)

sudo_() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
export DEBIAN_FRONTEND=noninteractive

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed' || missing+=("$p")
done

# deb-src entries for the configured suites, so that FFTW's sources can be fetched.
need_src=0
if ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  need_src=1
fi

if [ ${#missing[@]} -eq 0 ] && [ $need_src -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]:-(source entries only)}" >&2
if [ $need_src -eq 1 ]; then
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed -e 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
      | sudo_ tee /etc/apt/sources.list.d/debian-src.sources >/dev/null
  fi
  if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | sudo_ tee /etc/apt/sources.list.d/debian-src.list >/dev/null
  fi
fi
dpkg --print-foreign-architectures | grep -qx i386 || sudo_ dpkg --add-architecture i386
sudo_ apt-get update -qq >/dev/null
if [ ${#missing[@]} -gt 0 ]; then
  sudo_ apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
