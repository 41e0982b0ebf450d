#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Cross-builds libsndfile with its codecs (libogg, libFLAC, libvorbis,
# libopus) and libsamplerate, static, for i686-w64-mingw32 from Debian's
# source packages, with Debian's patches, through each library's own build
# and the product's compiler, into BUILD/NAME-i686. The source packages
# stay in BUILD/NAME-src: they are the exact sources. A library already
# built in its prefix with the same options is left alone.
# Usage: build-audio-libs.sh BUILD
set -euo pipefail
source "$(dirname "$0")/../tools/env.sh"
build=$(realpath -m "$1")
# Our code generation: SSE2, and no reliance on a 16-byte aligned stack.
flags="-msse2 -mfpmath=sse -mincoming-stack-boundary=2"

# build_lib PACKAGE NAME LIBRARY [CMake options...]
# build_lib PACKAGE NAME LIBRARY --configure [configure options...]
build_lib() {
  local package=$1 work=$build/$2-src prefix=$build/$2-i686 library=$3
  shift 3
  [ -f "$prefix/lib/$library" ] && [ "$(cat "$prefix/build-options" 2>/dev/null)" = "$*" ] &&
    return 0
  local dsc src
  dsc=$(debian_source "$work" "$package")
  src=$(debian_source "$work" "$package" --unpack)
  cd "$work"
  rm -rf build-i686 "$prefix"
  if [ "${1:-}" = --configure ]; then
    mkdir build-i686
    (cd build-i686 && "$src/configure" --host=i686-w64-mingw32 --prefix="$prefix" \
      --disable-shared --enable-static CC=i686-w64-mingw32-gcc-win32 CFLAGS="-O2 $flags" \
      "${@:2}") >configure.log 2>&1 || { cat configure.log >&2; exit 1; }
    make -s -C build-i686 -j"$(nproc)" >/dev/null
    make -s -C build-i686 install >/dev/null
  else
    cmake -S "$src" -B build-i686 -G Ninja -Wno-dev \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686-xp.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_C_FLAGS="$flags" \
      -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF "$@" >configure.log 2>&1 ||
      { cat configure.log >&2; exit 1; }
    ninja --quiet -C build-i686
    cmake --install build-i686 >/dev/null
  fi
  # Which source package the library came from, and how it was built.
  sed -n 's/^Version: //p' "$dsc" >"$prefix/debian-version"
  printf '%s\n' "$*" >"$prefix/build-options"
}

# libsndfile reads FLAC only with all of libFLAC, libogg, libvorbis and
# libopus; it finds them in their prefixes.
build_lib libogg ogg libogg.a -DINSTALL_DOCS=OFF -DINSTALL_PKG_CONFIG_MODULE=OFF
build_lib flac flac libFLAC.a -DWITH_OGG=OFF -DBUILD_CXXLIBS=OFF -DBUILD_PROGRAMS=OFF \
  -DBUILD_EXAMPLES=OFF -DBUILD_DOCS=OFF -DINSTALL_MANPAGES=OFF -DINSTALL_PKGCONFIG_MODULES=OFF \
  -DWITH_STACK_PROTECTOR=OFF -DWITH_FORTIFY_SOURCE=OFF
build_lib libvorbis vorbis libvorbis.a -DQLV_FIND_ROOTS="$build/ogg-i686"
# Opus 1.3.1's tarball lacks a file its CMake build includes; Debian builds
# it with its configure script too. Its configure asks for mingw's fortified
# string functions, which live in libssp, unless told otherwise.
build_lib opus opus libopus.a --configure --disable-doc --disable-extra-programs \
  --disable-stack-protector CPPFLAGS=-D_FORTIFY_SOURCE=0
# WAV in all its forms, AIFF, W64, RF64, CAF, FLAC and the other formats
# libsndfile reads; Ogg Vorbis and Opus too, which the IR tool refuses.
# libFLAC's headers declare DLL imports unless told it is static.
build_lib libsndfile sndfile libsndfile.a -DBUILD_PROGRAMS=OFF -DBUILD_EXAMPLES=OFF \
  -DENABLE_EXTERNAL_LIBS=ON -DENABLE_MPEG=OFF -DENABLE_CPACK=OFF -DENABLE_PACKAGE_CONFIG=OFF \
  -DINSTALL_PKGCONFIG_MODULE=OFF -DINSTALL_MANPAGES=OFF -DCMAKE_C_FLAGS="$flags -DFLAC__NO_DLL" \
  -DQLV_FIND_ROOTS="$(printf "$build/%s-i686;" ogg flac vorbis opus)"
build_lib libsamplerate0 samplerate libsamplerate.a -DLIBSAMPLERATE_EXAMPLES=OFF \
  -DLIBSAMPLERATE_INSTALL=ON
