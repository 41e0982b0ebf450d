#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the release into build/release-out/ (or the folder given): the zip
# that unpacks into the player's Plugins folder, the installer, the
# corresponding source (ours at HEAD, and Debian's source packages of the
# libraries linked into the DLL and the IR tool), and SHA256SUMS. The same
# tree gives the same bytes.
# Usage: release.sh [OUTDIR]
set -euo pipefail
source "$(dirname "$0")/env.sh"
bash "$root/tools/setup.sh"

# One fixed moment for every timestamp: file times in both packages, the
# stripped DLL's header, and a fresh link.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-1735689600} # 2025-01-01 00:00 UTC
export TZ=UTC LC_ALL=C
bash "$root/tools/build.sh"

version=$(project_version)
[ -n "$version" ] || { echo "release: no version in CMakeLists.txt" >&2; exit 1; }
out=$(mkdir -p "${1:-$build/release-out}" && cd "${1:-$build/release-out}" && pwd)
zip=QuillarvenConvolution-$version.zip
setup=QuillarvenConvolution-$version-setup.exe
src=QuillarvenConvolution-$version-src.tar.gz
dll=$build/product/plugin/dsp_qlv3.dll

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
stage=$tmp/stage
bash "$root/tools/plugin_folder.sh" "$stage"
# Debug information is for us, not for the player's folder.
i686-w64-mingw32-strip --strip-debug -o "$stage/dsp_qlv3.dll" "$dll"
i686-w64-mingw32-strip --strip-debug -o "$stage/qlv_irtool.exe" "$build/product/tools/irtool/qlv_irtool.exe"
find "$stage" -type d -exec chmod 755 {} +
find "$stage" -type f -exec chmod 644 {} +
find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

rm -f "$out/$zip" "$out/$setup" "$out/$src" "$out/SHA256SUMS"
(cd "$stage" && find . -mindepth 1 \( -type d -printf '%P/\n' -o -type f -printf '%P\n' \) |
  sort | zip -X -9 -q "$out/$zip" -@)
makensis -V2 -DVERSION="$version" -DSTAGE="$stage" -DOUTFILE="$out/$setup" \
  "$root/release/installer.nsi" >"$tmp/makensis.log" 2>&1 || {
  cat "$tmp/makensis.log" >&2
  exit 1
}

# Our source as committed: every entry carries the commit's time.
git -C "$root" diff --quiet HEAD -- || echo "release: uncommitted changes are not in $src" >&2
git -C "$root" -c tar.umask=0022 archive --format=tar --prefix="QuillarvenConvolution-$version/" HEAD |
  gzip -9 -n >"$out/$src"

# The libraries': each source package a library was built from, fetched
# again (the same version where it was recorded) if it is gone.
# Usage: ship_source PACKAGE SOURCEDIR PREFIX
lib_files=()
ship_source() {
  local package=$1 dir=$build/$2 version dsc f
  version=$(cat "$build/$3/debian-version" 2>/dev/null || true)
  dsc=$(debian_source "$dir" "$package${version:+=$version}")
  for f in "$(basename "$dsc")" $(dsc_files "$dsc"); do
    cp "$dir/$f" "$out/"
    lib_files+=("$f")
  done
}
ship_source fftw3 fftw-src fftw-i686
ship_source libsndfile sndfile-src sndfile-i686
ship_source libsamplerate0 samplerate-src samplerate-i686

(cd "$out" && sha256sum "$zip" "$setup" "$src" "${lib_files[@]}" >SHA256SUMS)

echo "Release $version:"
echo "  Zip:       $out/$zip"
echo "  Installer: $out/$setup"
echo "  Source:    $out/$src; libraries: ${lib_files[*]}"
echo "  Checksums: $out/SHA256SUMS"
cat "$out/SHA256SUMS"
