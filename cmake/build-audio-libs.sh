#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Cross-builds libsndfile and libsamplerate (static) for i686-w64-mingw32
# from Debian's source packages, with Debian's patches, through each
# library's own CMake build and the product's toolchain, into
# BUILD/sndfile-i686 and BUILD/samplerate-i686. The source packages stay in
# BUILD/sndfile-src and BUILD/samplerate-src: they are the exact sources.
# A library already in its prefix is left alone.
# Usage: build-audio-libs.sh BUILD
set -euo pipefail
source "$(dirname "$0")/../tools/env.sh"
build=$(realpath -m "$1")

# build_lib PACKAGE NAME LIBRARY [CMake options...]
build_lib() {
  local package=$1 work=$build/$2-src prefix=$build/$2-i686 library=$3
  shift 3
  [ -f "$prefix/lib/$library" ] && return 0
  local dsc src
  dsc=$(debian_source "$work" "$package")
  src=$(debian_source "$work" "$package" --unpack)
  cd "$work"
  rm -rf build-i686
  # Our code generation: SSE2, and no reliance on a 16-byte aligned stack.
  cmake -S "$src" -B build-i686 -G Ninja -Wno-dev \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686-xp.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_C_FLAGS="-msse2 -mfpmath=sse -mincoming-stack-boundary=2" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF "$@" >configure.log 2>&1 ||
    { cat configure.log >&2; exit 1; }
  ninja --quiet -C build-i686
  cmake --install build-i686 >/dev/null
  # Which source package the library came from.
  sed -n 's/^Version: //p' "$dsc" >"$prefix/debian-version"
}

# Without external codecs: WAV in all its forms, AIFF, W64, RF64, CAF and
# the other formats libsndfile reads by itself.
build_lib libsndfile sndfile libsndfile.a -DBUILD_PROGRAMS=OFF -DBUILD_EXAMPLES=OFF \
  -DENABLE_EXTERNAL_LIBS=OFF -DENABLE_MPEG=OFF -DENABLE_CPACK=OFF -DENABLE_PACKAGE_CONFIG=OFF \
  -DINSTALL_PKGCONFIG_MODULE=OFF -DINSTALL_MANPAGES=OFF
build_lib libsamplerate0 samplerate libsamplerate.a -DLIBSAMPLERATE_EXAMPLES=OFF \
  -DLIBSAMPLERATE_INSTALL=ON
