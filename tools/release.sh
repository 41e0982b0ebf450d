#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the release into build/release-out/ (or the folder given): the zip
# that unpacks into the player's Plugins folder (with the libraries'
# licences), the installer, the corresponding source (ours at HEAD, and
# Debian's source packages of the libraries linked into the DLL and the IR
# tool), and SHA256SUMS. The same tree gives the same bytes.
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

# The libraries linked into the programs: name, Debian's source package,
# their folders build/NAME-src and build/NAME-i686, the file in the source
# that holds the licence whose notice travels with the programs ("-": the
# GPL in COPYING covers it), and the programs.
libraries=(
  "FFTW|fftw3|fftw|-|"
  "libsndfile|libsndfile|sndfile|-|"
  "libsamplerate|libsamplerate0|samplerate|COPYING|dsp_qlv3.dll and qlv_irtool.exe"
  "libFLAC|flac|flac|COPYING.Xiph|qlv_irtool.exe"
  "libogg|libogg|ogg|COPYING|qlv_irtool.exe"
  "libvorbis|libvorbis|vorbis|COPYING|qlv_irtool.exe"
  "libopus|opus|opus|COPYING|qlv_irtool.exe"
)
# The version of Debian's source package each library was built from.
built_version() { cat "$build/$1-i686/debian-version" 2>/dev/null || true; }
notices() {
  local entry name package dir file where v dsc
  echo "Quillarven Convolution $version: the libraries inside dsp_qlv3.dll and qlv_irtool.exe"
  echo
  echo "FFTW (GNU GPL, version 2 or later) and libsndfile (GNU LGPL, version 2.1 or"
  echo "later) come under the GNU General Public License in COPYING, as the programs"
  echo "do. The others are free software under the licences below, each as its"
  echo "source package holds it; those sources come with the release."
  for entry in "${libraries[@]}"; do
    IFS='|' read -r name package dir file where <<<"$entry"
    [ "$file" != - ] || continue
    v=$(built_version "$dir")
    dsc=$(debian_source "$build/$dir-src" "$package${v:+=$v}")
    printf "\n\n%s, in %s, from Debian's source package %s %s\n\n" "$name" "$where" \
      "$(sed -n 's/^Source: //p' "$dsc")" "$(sed -n 's/^Version: //p' "$dsc")"
    cat "$(debian_source "$build/$dir-src" "$package${v:+=$v}" --unpack)/$file"
  done
}
notices | sed 's/$/\r/' >"$stage/Quillarven Convolution libraries.txt"
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
lib_files=()
for entry in "${libraries[@]}"; do
  IFS='|' read -r _ package dir _ <<<"$entry"
  v=$(built_version "$dir")
  dsc=$(debian_source "$build/$dir-src" "$package${v:+=$v}")
  for f in "$(basename "$dsc")" $(dsc_files "$dsc"); do
    cp "$build/$dir-src/$f" "$out/"
    lib_files+=("$f")
  done
done

(cd "$out" && sha256sum "$zip" "$setup" "$src" "${lib_files[@]}" >SHA256SUMS)

echo "Release $version:"
echo "  Zip:       $out/$zip"
echo "  Installer: $out/$setup"
echo "  Source:    $out/$src; libraries: ${lib_files[*]}"
echo "  Checksums: $out/SHA256SUMS"
cat "$out/SHA256SUMS"
