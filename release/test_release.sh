#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Tests the release: two runs of tools/release.sh give the same bytes, the
# zip holds exactly the plug-in folder, the source archives are the
# committed tree and the libraries' source packages, and under Wine the
# installer finds the player, keeps the user's files, installs a DLL the
# host can run, and its uninstaller removes only what it installed.
# Usage: release/test_release.sh   (work files and logs in build/release-test)
set -euo pipefail
source "$(dirname "$0")/../tools/env.sh"

fail() {
  echo "test_release: FAIL: $*" >&2
  exit 1
}
ok() { echo "ok: $*"; }

version=$(project_version)
zipname=QuillarvenConvolution-$version.zip
setupname=QuillarvenConvolution-$version-setup.exe
srcname=QuillarvenConvolution-$version-src.tar.gz
work=$build/release-test

# ---------------------------------------------------------------- packages
if [ "${1:-}" != --wine ]; then
  rm -rf "$work"
  mkdir -p "$work"
  bash "$root/tools/release.sh" "$work/a" >"$work/release-a.log" 2>&1 ||
    fail "tools/release.sh failed, see $work/release-a.log"
  # Another time zone and umask must not show in the bytes.
  (umask 077 && TZ=JST-9 bash "$root/tools/release.sh" "$work/b") >"$work/release-b.log" 2>&1 ||
    fail "second tools/release.sh failed, see $work/release-b.log"
  diff -rq "$work/a" "$work/b" || fail "two releases of the same tree differ"
  (cd "$work/a" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match"
  find "$work/a" -type f ! -name SHA256SUMS -printf '%P\n' | LC_ALL=C sort >"$work/files.txt"
  sed 's/^[0-9a-f]\{64\} [ *]//' "$work/a/SHA256SUMS" | LC_ALL=C sort | diff -u "$work/files.txt" - ||
    fail "SHA256SUMS does not list exactly the files of the release"
  ok "two releases give the same files; SHA256SUMS covers them all"

  # Exactly the plug-in folder, in sorted order.
  printf '%s\n' COPYING "Impulse Responses/" "Impulse Responses/Chapel.wav" \
    "Impulse Responses/LICENSE.txt" "Impulse Responses/Large Hall.wav" \
    "Impulse Responses/Plate.wav" "Impulse Responses/Small Room.wav" \
    "Quillarven Convolution libraries.txt" "Quillarven Convolution.txt" dsp_qlv3.dll \
    qlv_irtool.exe >"$work/expected.txt"
  unzip -Z1 "$work/a/$zipname" >"$work/listing.txt"
  diff -u "$work/expected.txt" "$work/listing.txt" || fail "the zip's entries are not the expected list"
  unzip -p "$work/a/$zipname" "Quillarven Convolution.txt" >"$work/text-zip.txt"
  bash "$root/tools/user_text.sh" package | cmp -s "$work/text-zip.txt" - ||
    fail "the zip's read-me is not the package text of release/README-user.txt"
  for text in COPYING=COPYING \
    "Impulse Responses/LICENSE.txt=release/LICENSE-impulse-responses.txt"; do
    unzip -p "$work/a/$zipname" "${text%%=*}" >"$work/text-zip.txt"
    sed 's/$/\r/' "$root/${text#*=}" | cmp -s "$work/text-zip.txt" - ||
      fail "the zip's ${text%%=*} is not ${text#*=} with CR LF line ends"
  done
  ok "zip listing, read-me and licences"

  # The source archive holds the committed tree, and each library's source
  # package is complete and intact.
  mkdir "$work/src"
  tar -xzf "$work/a/$srcname" -C "$work/src"
  (cd "$work/src" && find . \( -type f -o -type l \) -printf '%P\n' | LC_ALL=C sort) >"$work/src.txt"
  git -C "$root" ls-tree -r --name-only HEAD | sed "s|^|QuillarvenConvolution-$version/|" |
    LC_ALL=C sort | diff -u - "$work/src.txt" || fail "$srcname is not the tree of HEAD"
  for lib in fftw3 libsndfile libsamplerate flac libogg libvorbis opus; do
    dsc=$(cd "$work/a" && ls "${lib}"_*.dsc)
    (cd "$work/a" && dpkg-source -x --skip-patches "$dsc" "$work/$lib") >"$work/dpkg-source.log" 2>&1 ||
      fail "dpkg-source does not accept $dsc: $(cat "$work/dpkg-source.log")"
  done
  # The BSD-style licences, whose notices must travel with the programs, as
  # the shipped source packages hold them.
  notices=$(unzip -p "$work/a/$zipname" "Quillarven Convolution libraries.txt")
  for licence in libsamplerate/COPYING flac/COPYING.Xiph libogg/COPYING libvorbis/COPYING \
    opus/COPYING; do
    [[ $notices == *"$(sed 's/$/\r/' "$work/$licence")"* ]] ||
      fail "the zip's libraries' licences lack ${licence%%/*}'s $(basename "$licence")"
  done
  ok "source archive, the libraries' source packages and their licences"

  with_wine_display bash "$0" --wine </dev/null
  echo "== release tests passed"
  exit 0
fi

# ---------------------------------------------------------------- under Wine
cd "$work"
drive=$WINEPREFIX/drive_c
# The registry names a folder that is not a default one, so that only the
# lookup can find it; the /D install goes to the usual folder.
reg_win='C:\Test Player\Winamp'
reg_dir="$drive/Test Player/Winamp"
d_win='C:\Program Files\Winamp'
d_dir="$drive/Program Files/Winamp"
ukey='Software\Microsoft\Windows\CurrentVersion\Uninstall\QuillarvenConvolution'
uninstaller="Uninstall Quillarven Convolution.exe"
# The installed files but the uninstaller: the zip's.
mapfile -t ours < <(unzip -Z1 "$work/a/$zipname" | grep -v '/$')

# Our keys, fake players and NSIS's temporary copies; also before the run,
# in case an earlier one was stopped half-way.
reset() {
  local k
  for k in 'HKCU\Software\Winamp' 'HKLM\Software\Winamp' "HKLM\\$ukey" "HKCU\\$ukey" \
    "HKLM\\${ukey%\\*}\\WACUP"; do
    timeout 60 wine reg delete "$k" /f >/dev/null 2>&1 </dev/null || true
  done
  rm -rf "$drive/Test Player" "$d_dir" "$drive/Program Files/WACUP" "$drive/Portable" \
    "$drive/Other Player" "$drive/Elsewhere" "$drive"/users/*/Temp/~nsu*.tmp \
    "$drive"/users/*/AppData/Local/Temp/~nsu*.tmp
}
reset
trap reset EXIT

# Runs a Windows command line as cmd.exe would: NSIS wants /D= and its
# paths unquoted, which wine's own argument quoting would break.
run_line() {
  printf '%s\r\n' "$1" >"$work/line.bat"
  timeout 300 wine cmd /c line.bat >"$work/$2.log" 2>&1 </dev/null
}

# The uninstall entry of HKLM or HKCU, values one a line as "name value".
entry() {
  local root
  : >"$work/entry.txt"
  for root in HKLM HKCU; do
    if timeout 60 wine reg query "$root\\$ukey" >"$work/reg.txt" 2>&1 </dev/null; then
      tr -d '\r' <"$work/reg.txt" | sed -n 's/^    \([A-Za-z]*\)    REG_[A-Z_]*    /\1 /p' >>"$work/entry.txt"
    fi
  done
  [ -s "$work/entry.txt" ]
}
value() { sed -n "s/^$1 //p" "$work/entry.txt" | head -n 1; }

# The uninstaller copies itself to Temp, starts the copy and returns: wait
# for its own file to go and the copy to end.
wait_uninstall() {
  local file=$1 plugins_win=$2 deadline=$((SECONDS + 120))
  while [ -e "$file" ] || ps -eo args= |
    PAT="_?=$plugins_win" awk 'index($0, ENVIRON["PAT"]) { found = 1 } END { exit !found }'; do
    [ $SECONDS -lt $deadline ] || fail "the uninstaller in $plugins_win did not finish or did not remove itself"
    sleep 0.2
  done
}

# Our files in a Plugins folder equal the zip's.
check_installed() {
  local plugins=$1 f
  for f in "${ours[@]}"; do
    [ -f "$plugins/$f" ] || fail "not installed: $plugins/$f"
    unzip -p "$work/a/$zipname" "$f" | cmp -s - "$plugins/$f" || fail "installed $f differs from the zip's"
  done
  [ -f "$plugins/$uninstaller" ] || fail "no uninstaller in $plugins"
}

# The installer's tuning left FFTW wisdom of this build with plans in it.
check_tuned() {
  local dat=$1/dsp_qlv3.dat
  head -n 1 "$dat" 2>/dev/null | grep -q '^(fftw-3\.3\.10 fftw_wisdom' && [ "$(wc -l <"$dat")" -gt 2 ] ||
    fail "no tuned dsp_qlv3.dat in $1: the installer's tuning did not run"
}

check_removed() {
  local plugins=$1 f
  for f in "${ours[@]}" "$uninstaller" dsp_qlv3.dat; do
    [ ! -e "$plugins/$f" ] || fail "left behind by the uninstaller: $plugins/$f"
  done
}

# A player found through the registry, with settings and an IR of the user's.
mkdir -p "$reg_dir/Plugins/Impulse Responses"
: >"$reg_dir/winamp.exe"
printf '; the user'"'"'s own\r\n[Quillarven]\r\nActive=1\r\n[Other Plug-in]\r\nVolume=7\r\n' \
  >"$reg_dir/Plugins/plugin.ini"
sox -n -r 44100 -b 16 -c 1 "$reg_dir/Plugins/Impulse Responses/Mine.wav" synth 0.2 sine 440
cp "$reg_dir/Plugins/plugin.ini" ini.orig
cp "$reg_dir/Plugins/Impulse Responses/Mine.wav" mine.orig
timeout 60 wine reg add 'HKCU\Software\Winamp' /ve /d "$reg_win" /f >reg-add.log 2>&1 </dev/null ||
  fail "could not set the player's registry key"

timeout 300 wine "$work/a/$setupname" /S >install-reg.log 2>&1 </dev/null ||
  fail "silent install without /D failed (exit $?)"
check_installed "$reg_dir/Plugins"
check_tuned "$reg_dir/Plugins"
cmp -s ini.orig "$reg_dir/Plugins/plugin.ini" || fail "the installer changed plugin.ini"
cmp -s mine.orig "$reg_dir/Plugins/Impulse Responses/Mine.wav" || fail "the installer changed the user's IR"
[ ! -e "$d_dir" ] || fail "the installer ignored the registry and used $d_win"
ok "install into the player folder named by the registry, tuned; plugin.ini and Mine.wav kept"

entry || fail "no uninstall entry after installing"
[ "$(value DisplayVersion)" = "$version" ] || fail "DisplayVersion is '$(value DisplayVersion)'"
[ "$(value DisplayName)" = "Quillarven Convolution $version" ] || fail "DisplayName is '$(value DisplayName)'"
[ "$(value InstallLocation)" = "$reg_win\\Plugins" ] || fail "InstallLocation is '$(value InstallLocation)'"
[ "$(value UninstallString)" = "\"$reg_win\\Plugins\\$uninstaller\"" ] ||
  fail "UninstallString is '$(value UninstallString)'"
[ "$(value QuietUninstallString)" = "$(value UninstallString) /S" ] ||
  fail "QuietUninstallString is '$(value QuietUninstallString)'"
[ -n "$(value Publisher)" ] && [ "$(value NoModify)" = 0x1 ] && [ "$(value NoRepair)" = 0x1 ] ||
  fail "Publisher, NoModify or NoRepair missing: $(cat entry.txt)"
ok "uninstall entry"

# The installed DLL runs in the host with the installed Chapel: silence for
# the IR's length (4.5 s), then the reverb. The wait lets the plug-in's own
# first preparation come before the audio.
sox -n -r 44100 -b 16 -c 2 in.wav synth 6 pinknoise vol 0.3
timeout 300 wine "$build/win32/tools/host/qlv_host.exe" --wait-ms 3000 \
  "$reg_win\\Plugins\\dsp_qlv3.dll" in.wav out.wav >host.log 2>&1 </dev/null ||
  fail "the host failed with the installed DLL (exit $?): $(cat host.log)"
head_max=$(sox out.wav -n trim 0 4 stat 2>&1 | awk '/^Maximum amplitude/ { print $3 }')
tail_rms=$(sox out.wav -n trim 5 stat 2>&1 | awk '/^RMS +amplitude/ { print $3 }')
awk -v m="$head_max" 'BEGIN { exit !(m == 0) }' ||
  fail "the first 4 s are not silent (max $head_max): the installed IR was not used"
awk -v r="$tail_rms" 'BEGIN { exit !(r > 0.001) }' || fail "no reverb after 5 s (RMS $tail_rms)"
cp "$reg_dir/Plugins/plugin.ini" ini.after-host
ok "the installed DLL reverberates with the installed IR (RMS $tail_rms after 5 s)"

# /D with spaces into a second player, over an older default IR.
mkdir -p "$d_dir/Plugins/Impulse Responses"
: >"$d_dir/winamp.exe"
sox -n -r 22050 -b 16 -c 1 "$d_dir/Plugins/Impulse Responses/Chapel.wav" synth 0.1 sine 100
# A tuned folder copied over: the installer's tuning keeps what it holds.
cp "$reg_dir/Plugins/dsp_qlv3.dat" "$d_dir/Plugins/"
cp "$reg_dir/Plugins/dsp_qlv3.dat" dat.before
cp "$work/a/$setupname" "$work/setup.exe"
run_line "\"Z:${work//\//\\}\\setup.exe\" /S /D=$d_win" install-d ||
  fail "silent install with /D failed, see install-d.log"
check_installed "$d_dir/Plugins"
check_tuned "$d_dir/Plugins"
# A TIMEOUT line (a length the first tuning ran out of time on) is replaced
# by FFTW itself when this tuning solves that length.
[ -z "$(grep -v TIMEOUT dat.before | grep -Fvx -f "$d_dir/Plugins/dsp_qlv3.dat")" ] ||
  fail "the installer's tuning dropped planning data that was there"
check_installed "$reg_dir/Plugins"
entry && [ "$(value InstallLocation)" = "$d_win\\Plugins" ] ||
  fail "the entry does not name the latest install: $(cat entry.txt)"
ok "install with /D over an older IR, tuned, keeping the copied tuning; the first player's files untouched"

# The first player's uninstaller: only its own files go, and the entry of
# the other install stays.
timeout 300 wine "$reg_dir/Plugins/$uninstaller" /S >uninstall-reg.log 2>&1 </dev/null ||
  fail "the uninstaller failed (exit $?)"
wait_uninstall "$reg_dir/Plugins/$uninstaller" "$reg_win\\Plugins"
check_removed "$reg_dir/Plugins"
cmp -s ini.after-host "$reg_dir/Plugins/plugin.ini" || fail "the uninstaller changed or removed plugin.ini"
cmp -s mine.orig "$reg_dir/Plugins/Impulse Responses/Mine.wav" || fail "the uninstaller touched Mine.wav"
[ -f "$reg_dir/winamp.exe" ] || fail "the uninstaller removed the player"
entry && [ "$(value InstallLocation)" = "$d_win\\Plugins" ] ||
  fail "uninstalling one player removed the other's entry"
ok "uninstall keeps plugin.ini, Mine.wav and its folder, and the other install's entry"

# The second one through the entry's QuietUninstallString, as Windows does.
run_line "$(value QuietUninstallString)" uninstall-d || fail "QuietUninstallString failed, see uninstall-d.log"
wait_uninstall "$d_dir/Plugins/$uninstaller" "$d_win\\Plugins"
check_removed "$d_dir/Plugins"
[ ! -e "$d_dir/Plugins/Impulse Responses" ] || fail "the emptied Impulse Responses folder is left"
[ -d "$d_dir/Plugins" ] && [ -f "$d_dir/winamp.exe" ] || fail "the uninstaller removed the player's folders"
! entry || fail "the uninstall entry is left: $(cat entry.txt)"
ok "uninstall through QuietUninstallString; empty IR folder and entry gone"

# Players found elsewhere, each installed without tuning and uninstalled:
# a log name, what is tried, setup's arguments, then the folder the files
# must go to (Unix and Windows forms).
elsewhere() {
  local log=$1 name=$2 args=$3 plugins=$4 plugins_win=$5
  run_line "\"Z:${work//\//\\}\\setup.exe\" /S /NOTUNE $args" "install-$log" ||
    fail "$name: the install failed, see install-$log.log"
  check_installed "$plugins"
  [ ! -e "$plugins/dsp_qlv3.dat" ] || fail "$name: tuned despite /NOTUNE"
  entry && [ "$(value InstallLocation)" = "$plugins_win" ] ||
    fail "$name: the entry names '$(value InstallLocation)', not $plugins_win"
  run_line "$(value QuietUninstallString)" "uninstall-$log" ||
    fail "$name: the uninstall failed, see uninstall-$log.log"
  wait_uninstall "$plugins/$uninstaller" "$plugins_win"
  check_removed "$plugins"
  ! entry || fail "$name: the uninstall entry is left: $(cat entry.txt)"
  ok "$name: installed into $plugins_win and uninstalled"
}
player() {  # a fake player's folder
  mkdir -p "$1"
  : >"$1/winamp.exe"
}

reset
player "$drive/Program Files/WACUP"
elsewhere wacup "WACUP without a registry entry" "" "$drive/Program Files/WACUP/Plugins" \
  'C:\Program Files\WACUP\Plugins'

reset
player "$drive/Portable/Winamp"
mkdir -p "$drive/Portable/Winamp/Settings" "$drive/Portable/Winamp/DSP"
printf '[Winamp]\r\ninidir=Settings\r\n' >"$drive/Portable/Winamp/paths.ini"
printf '[Winamp]\r\nDSPDir=DSP\r\n' >"$drive/Portable/Winamp/Settings/winamp.ini"
elsewhere portable "a portable player given with /D, its DSPDir through paths.ini" \
  '/D=C:\Portable\Winamp' "$drive/Portable/Winamp/DSP" 'C:\Portable\Winamp\DSP'
[ ! -e "$drive/Portable/Winamp/Plugins" ] || fail "the portable player got a Plugins folder"

reset
player "$drive/Other Player"
mkdir -p "$drive/Elsewhere/DSP Plugins"
printf '[Winamp]\r\nDSPDir=C:\\Elsewhere\\DSP Plugins\r\n' >"$drive/Other Player/winamp.ini"
timeout 60 wine reg add 'HKLM\Software\Winamp' /ve /d 'C:\Other Player' /f >reg-add.log 2>&1 </dev/null ||
  fail "could not set the player's registry key in HKLM"
elsewhere dspdir "a DSPDir elsewhere" "" "$drive/Elsewhere/DSP Plugins" 'C:\Elsewhere\DSP Plugins'

reset
player "$drive/Other Player"
for value in 'DisplayName|WACUP (remove only)' 'UninstallString|"C:\Other Player\Uninstall.exe" /x'; do
  timeout 60 wine reg add "HKLM\\${ukey%\\*}\\WACUP" /v "${value%%|*}" /d "${value#*|}" /f \
    >reg-add.log 2>&1 </dev/null || fail "could not write WACUP's uninstall entry"
done
elsewhere entry "WACUP through its uninstall entry" "" "$drive/Other Player/Plugins" \
  'C:\Other Player\Plugins'

reset
elsewhere nothing "no player found" "" "$drive/Program Files/Winamp/Plugins" \
  'C:\Program Files\Winamp\Plugins'
