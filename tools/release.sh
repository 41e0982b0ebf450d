#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the release into build/release-out/ (or the folder given): the zip
# that unpacks into the player's Plugins folder, the installer, and
# SHA256SUMS. The same tree gives the same bytes.
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

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
stage=$tmp/stage
mkdir -p "$stage/Impulse Responses"
# Debug information is for us, not for the player's folder.
i686-w64-mingw32-strip --strip-debug -o "$stage/dsp_qlv3.dll" "$build/win32/plugin/dsp_qlv3.dll"
"$build/native/tools/irgen/make_irs" "$stage/Impulse Responses" >/dev/null
sed 's/\r$//; s/$/\r/' "$root/release/README-user.txt" >"$stage/Quillarven Convolution.txt"
find "$stage" -type d -exec chmod 755 {} +
find "$stage" -type f -exec chmod 644 {} +
find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

rm -f "$out/$zip" "$out/$setup" "$out/SHA256SUMS"
(cd "$stage" && find . -mindepth 1 \( -type d -printf '%P/\n' -o -type f -printf '%P\n' \) |
  sort | zip -X -9 -q "$out/$zip" -@)
makensis -V2 -DVERSION="$version" -DSTAGE="$stage" -DOUTFILE="$out/$setup" \
  "$root/release/installer.nsi" >"$tmp/makensis.log" 2>&1 || {
  cat "$tmp/makensis.log" >&2
  exit 1
}
(cd "$out" && sha256sum "$zip" "$setup" >SHA256SUMS)

echo "Release $version:"
echo "  Zip:       $out/$zip"
echo "  Installer: $out/$setup"
echo "  Checksums: $out/SHA256SUMS"
cat "$out/SHA256SUMS"
