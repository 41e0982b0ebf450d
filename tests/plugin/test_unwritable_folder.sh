#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# A plug-in folder this user cannot write, as under Program Files: settings
# go to the per-user file, first read from the one beside the DLL, which is
# left alone; and a plugin.ini that cannot be copied keeps its lines. Wine
# as root writes read-only files anyway, so the host runs as nobody, with a
# prefix of its own, over files and folders owned by root.
# Usage: test_unwritable_folder.sh HOST_EXE DLL   (under an X server)
set -euo pipefail
host=$1 dll=$2
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
[ "$(id -u)" = 0 ] || { echo "needs root to run Wine as nobody; skipped"; exit 0; }

work=$(mktemp -d /tmp/qlv-unwritable.XXXXXX)
trap 'runuser -u nobody -- env WINEPREFIX="$work/prefix" wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
chmod 755 "$work"
mkdir -p "$work/Plugins/Impulse Responses" "$work/prefix" "$work/home" "$work/out"
cp "$host" "$work/qlv_host.exe"
cp "$dll" "$work/Plugins/dsp_qlv3.dll"
sox -q -n -r 44100 -c 2 -b 16 "$work/Plugins/Impulse Responses/Chapel.wav" synth 0.05 noise fade 0 0.05 0.05
printf '[Quillarven]\r\nAutoGain=0\r\nGainDB=-7\r\n' >"$work/Plugins/plugin.ini"
cp "$work/Plugins/plugin.ini" "$work/beside.orig"
sox -q -n -r 44100 -c 2 -b 16 "$work/out/in.wav" synth 0.5 noise vol 0.3
chown -R nobody "$work/prefix" "$work/home" "$work/out"
if [ -n "${XAUTHORITY:-}" ] && [ -f "$XAUTHORITY" ]; then
  cp "$XAUTHORITY" "$work/xauth"
  chown nobody "$work/xauth"
fi

as_nobody() {
  runuser -u nobody -- env HOME="$work/home" WINEPREFIX="$work/prefix" WINEARCH=win32 \
    WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY="${DISPLAY:-}" \
    XAUTHORITY="$work/xauth" "$@"
}
play() {
  (cd "$work/out" && as_nobody wine "$work/qlv_host.exe" --wait-ms 0 \
    "Z:${work//\//\\}\\Plugins\\dsp_qlv3.dll" in.wav out.wav >"$work/host.log" 2>&1 </dev/null) ||
    fail "the host failed: $(cat "$work/host.log")"
}
as_nobody wineboot -i >/dev/null 2>&1 </dev/null || true

play
peruser=$(find "$work/prefix/drive_c/users" -path '*/Quillarven Convolution/plugin.ini' | head -n1)
[ -n "$peruser" ] || fail "no per-user plugin.ini was written"
cmp -s "$work/out/in.wav" "$work/out/out.wav" && fail "the audio passed dry: the IR beside the DLL was not used"
cmp -s "$work/beside.orig" "$work/Plugins/plugin.ini" || fail "the file beside the DLL changed"
grep -q $'^GainDB=-7\r$' "$peruser" || fail "the per-user file was not first read from the one beside the DLL"
[ "$(grep -c '=' "$peruser")" = 9 ] || fail "the per-user file does not hold the nine keys"
echo "ok: settings saved per user, first read from the file beside the DLL"

# Once it exists, the per-user file is the one read and written.
sed -i 's/^GainDB=-7/GainDB=-9/' "$peruser"
play
grep -q $'^GainDB=-9\r$' "$peruser" || fail "the per-user file was not the one read"
cmp -s "$work/beside.orig" "$work/Plugins/plugin.ini" || fail "the file beside the DLL changed"
echo "ok: the per-user file is read and written once it exists"

# Neither place writable: audio still runs, nothing is saved.
folder=$(dirname "$peruser")
rm -rf "$folder"
touch "$folder"
chown nobody "$folder"
play
[ -f "$folder" ] && [ ! -s "$folder" ] || fail "the blocked per-user place changed"
grep -q 'Init -> 0' "$work/host.log" || fail "no Init in: $(cat "$work/host.log")"
echo "ok: with nowhere to save, the host still runs"

# A plugin.ini this user may write but not read (Wine then takes the folder
# for one this user cannot write): the file beside the DLL is kept whole,
# and the settings go to the per-user file, nine keys, instead of never
# being saved at all.
rm -f "$folder"
chown nobody "$work/Plugins"
printf '[Quillarven]\r\nLowLatency=1\r\n[Other]\r\nkeep=this\r\n' >"$work/Plugins/plugin.ini"
cp "$work/Plugins/plugin.ini" "$work/beside.orig"
chown nobody "$work/Plugins/plugin.ini"
chmod 200 "$work/Plugins/plugin.ini"
play
cmp -s "$work/beside.orig" "$work/Plugins/plugin.ini" || fail "a save that could not copy the file replaced it"
[ -f "$peruser" ] && [ "$(grep -c '=' "$peruser")" = 9 ] ||
  fail "an unreadable plugin.ini beside the DLL kept the per-user file from being written"
echo "ok: an unreadable file beside the DLL is kept whole and does not block the per-user file"
