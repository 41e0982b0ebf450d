#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the release into build/release-out/ (or the folder given): the zip
# that unpacks into the player's Plugins folder, the installer, the
# corresponding source (ours at HEAD, and Debian's FFTW source package that
# the DLL links), and SHA256SUMS. The same tree gives the same bytes.
# Usage: release.sh [OUTDIR]
set -euo pipefail
source "$(dirname "$0")/env.sh"
bash "$root/tools/setup.sh"

sudo_() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
missing=()
for p in nsis zip unzip; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "release: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  sudo_ apt-get update -qq >/dev/null
  sudo_ apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# One fixed moment for every timestamp: file times in both packages, the
# stripped DLL's header, and a fresh link.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-1735689600} # 2025-01-01 00:00 UTC
export TZ=UTC LC_ALL=C
bash "$root/tools/build.sh"

version=$(sed -n 's/^project(quillarven VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
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

# FFTW's: the source package cmake/build-fftw.sh built the library from,
# fetched again (the same version where it was recorded) if it is gone.
fftw_dir=$build/fftw-src
mkdir -p "$fftw_dir"
cd "$fftw_dir"
fftw_version=$(cat "$build/fftw-i686/debian-version" 2>/dev/null ||
  sed -n 's/^Version: //p' fftw3_*.dsc 2>/dev/null | head -n 1 || true)
dsc=fftw3_${fftw_version#*:}.dsc
dsc_files() { sed -n '/^Checksums-Sha256:/,/^[^ ]/s/^ [0-9a-f]\{64\} [0-9]* //p' "$dsc"; }
have_fftw_source() {
  local f
  [ -n "$fftw_version" ] && [ -f "$dsc" ] || return 1
  for f in $(dsc_files); do [ -f "$f" ] || return 1; done
}
if ! have_fftw_source; then
  echo "release: fetching Debian's fftw3 source package${fftw_version:+ $fftw_version}" >&2
  apt-get source -qq --download-only "fftw3${fftw_version:+=$fftw_version}" >/dev/null
  fftw_version=${fftw_version:-$(sed -n 's/^Version: //p' fftw3_*.dsc | head -n 1)}
  dsc=fftw3_${fftw_version#*:}.dsc
  have_fftw_source || { echo "release: no complete fftw3 source package in $fftw_dir" >&2; exit 1; }
fi
mapfile -t fftw_files < <(echo "$dsc" && dsc_files)
cp "${fftw_files[@]}" "$out/"

(cd "$out" && sha256sum "$zip" "$setup" "$src" "${fftw_files[@]}" >SHA256SUMS)

echo "Release $version:"
echo "  Zip:       $out/$zip"
echo "  Installer: $out/$setup"
echo "  Source:    $out/$src, FFTW: ${fftw_files[*]}"
echo "  Checksums: $out/SHA256SUMS"
cat "$out/SHA256SUMS"
