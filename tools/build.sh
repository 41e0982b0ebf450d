#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Configures (once) and builds the configurations: native (core, tests,
# tools), product (what ships: the DLL, XP-compatible) and win32 (the Win32
# tests and the host program, which load the product's DLL).
# Usage: build.sh [native|product|win32]...   (all three when none is named)
set -euo pipefail
source "$(dirname "$0")/env.sh"
configs=("$@")
[ ${#configs[@]} -gt 0 ] || configs=(native product win32)
for c in "${configs[@]}"; do
  if [ "$c" != native ] && [ ! -f "$build/fftw-i686/lib/libfftw3.a" ]; then
    echo "== FFTW 3 for Windows: cross-building it once from Debian's sources (about 3 minutes)"
    bash "$root/cmake/build-fftw.sh" "$build/fftw-src" "$build/fftw-i686"
  fi
  # A libsndfile built before it read FLAC has no libFLAC beside it.
  if [ "$c" != native ] && { [ ! -f "$build/sndfile-i686/lib/libsndfile.a" ] ||
    [ ! -f "$build/flac-i686/lib/libFLAC.a" ] ||
    [ ! -f "$build/samplerate-i686/lib/libsamplerate.a" ]; }; then
    echo "== libsndfile with its codecs and libsamplerate for Windows (the IR tool, resampling in the DLL): cross-building them once (about 2 minutes)"
    bash "$root/cmake/build-audio-libs.sh" "$build"
  fi
  args=()
  case $c in
    product) args=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686-xp.cmake") ;;
    win32) args=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" -DQLV_PRODUCT_DIR="$build/product") ;;
  esac
  if [ ! -f "$build/$c/build.ninja" ]; then
    cmake -S "$root" -B "$build/$c" -G Ninja "${args[@]}" >/dev/null
  fi
  ninja --quiet -C "$build/$c"
done
