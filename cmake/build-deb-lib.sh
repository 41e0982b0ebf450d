#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Cross-builds a static C library for i686-w64-mingw32 from Debian's source
# package, with Debian's patches, through the library's own CMake build and
# the product's toolchain. Does nothing when the prefix already holds it.
# Usage: build-deb-lib.sh <source package> <work dir> <prefix> <library file>
#                         [CMake options...]
set -euo pipefail
package=$1 work=$(realpath -m "$2") prefix=$(realpath -m "$3") library=$4
shift 4
[ -f "$prefix/lib/$library" ] && exit 0
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$work"
cd "$work"
# The source package's files stay here: they are the library's exact source.
dsc=$(ls ./*.dsc 2>/dev/null | head -n1 || true)
if [ -z "$dsc" ]; then
  apt-get source -qq --download-only "$package" >/dev/null 2>&1 ||
    apt-get source --download-only "$package"
  dsc=$(ls ./*.dsc | head -n1)
fi
version=$(sed -n 's/^Version: //p' "$dsc")
upstream=${version#*:}
src=$(sed -n 's/^Source: //p' "$dsc")-${upstream%-*}
[ -d "$src" ] || dpkg-source -x "$dsc" "$src" >/dev/null
rm -rf build-i686
# The same code generation as ours: SSE2, and no reliance on a 16-byte
# aligned stack (the player calls with 4).
cmake -S "$src" -B build-i686 -G Ninja -Wno-dev \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686-xp.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DCMAKE_C_FLAGS="-msse2 -mfpmath=sse -mincoming-stack-boundary=2" \
  -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF "$@" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log" >&2; exit 1; }
ninja --quiet -C build-i686
cmake --install build-i686 >/dev/null
# Which source package the library came from.
echo "$version" >"$prefix/debian-version"
