#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Cross-builds FFTW 3 (double precision, static) for i686-w64-mingw32 from
# Debian's source package. Usage: build-fftw.sh <work dir> <install prefix>
# Does nothing when the prefix already holds the library.
set -euo pipefail
work=$(realpath -m "$1") prefix=$(realpath -m "$2")
[ -f "$prefix/lib/libfftw3.a" ] && exit 0
source "$(dirname "$0")/../tools/env.sh"
# The source package's files stay in the work dir: the release ships them as
# the corresponding source of the DLL. Debian's two patches concern ARM and
# the documentation.
dsc=$(debian_source "$work" fftw3)
src=$(debian_source "$work" fftw3 --unpack --skip-patches)
cd "$src"
rm -rf build-i686 && mkdir build-i686 && cd build-i686
# The player calls plug-ins with a 4-byte aligned stack: FFTW must not rely on more.
../configure --host=i686-w64-mingw32 --prefix="$prefix" \
  --enable-sse2 --enable-avx --enable-avx2 --with-our-malloc \
  --with-incoming-stack-boundary=2 --disable-fortran --disable-shared --enable-static \
  --disable-doc CC=i686-w64-mingw32-gcc-posix >/dev/null
make -j"$(nproc)" >/dev/null
make install >/dev/null
# Which source package the library came from, for tools/release.sh.
sed -n 's/^Version: //p' "$dsc" >"$prefix/debian-version"
