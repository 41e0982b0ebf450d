# SPDX-License-Identifier: GPL-2.0-or-later
# Sourced by the tool scripts: where things are built, and a quiet Wine
# prefix of the project's own.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build
export WINEPREFIX=$build/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win32

# Makes the Wine prefix once, then keeps one wineserver for the whole run.
wine_ready() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1 || true
  fi
  # Without a window manager, managed windows wait about 2 s at every close.
  if ! grep -q '"Managed"="N"' "$WINEPREFIX/user.reg" 2>/dev/null; then
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1 || true
  fi
  wineserver -p 300 >/dev/null 2>&1 || true
  # Start Wine's background services now, detached from any pipe: started
  # by a test, they would hold its output pipe open and hang CTest.
  wineboot -u </dev/null >/dev/null 2>&1 || true
}

# Runs a command under a fresh Xvfb display with the Wine prefix ready, then
# stops the Wine server, and returns the command's status. Wine's services
# must start inside the X session: a desktop process started without a
# display would make every window fail while it lives.
# Usage: with_wine_display COMMAND [ARGS...]
with_wine_display() {
  wineserver -k >/dev/null 2>&1 || true
  xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
    source "$0"
    export root build
    wine_ready
    "$@"
    status=$?
    wineserver -k >/dev/null 2>&1
    exit $status' "$root/tools/env.sh" "$@"
}

# Runs apt-get as root (through sudo when not root), without questions.
apt_() {
  local sudo=()
  [ "$(id -u)" = 0 ] || sudo=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get "$@"
}

# Refreshes the package lists. A mirror can be inconsistent for a moment
# ("Mirror sync in progress?"): tried up to three times with a pause
# between, then the lists there are serve. QLV_APT_PAUSE sets the pause.
apt_update() {
  local try
  [ -z "${apt_lists_fresh:-}" ] || return 0
  apt_lists_fresh=1
  for try in 1 2 3; do
    apt_ update -qq >/dev/null 2>&1 && return 0
    [ $try = 3 ] || sleep "${QLV_APT_PAUSE:-20}"
  done
  echo "setup: the package lists could not all be refreshed; going on with those there are" >&2
  return 0
}

# Installs those of the named Debian packages that are missing, quietly.
need_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed' ||
      missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "installing ${missing[*]}" >&2
  apt_update
  apt_ install -y -qq --no-install-recommends "${missing[@]}" >/dev/null </dev/null && return 0
  echo "setup: could not install ${missing[*]}: the package mirror may be busy; try again later" >&2
  return 1
}

# The Debian source package PACKAGE (or PACKAGE=VERSION) in DIR: fetched
# with apt-get unless a .dsc (of VERSION) and every file it lists are there
# already, so that files put there beforehand are used as they are. Prints
# the .dsc; with --unpack, unpacks it once into DIR with the dpkg-source
# OPTIONS that follow and prints that folder instead.
# Usage: debian_source DIR PACKAGE[=VERSION] [--unpack [OPTIONS...]]
debian_source() {
  local dir=$1 package=${2%%=*} version=${2#*=} dsc upstream src
  [ "$version" != "$2" ] || version=
  shift 2
  mkdir -p "$dir"
  if ! dsc=$(complete_dsc "$dir" "$version"); then
    echo "fetching Debian's $package source package${version:+ $version}" >&2
    (cd "$dir" && apt-get source -qq --download-only "$package${version:+=$version}" >/dev/null) &&
      dsc=$(complete_dsc "$dir" "$version") ||
      { echo "no complete $package source package in $dir" >&2; return 1; }
  fi
  [ "${1:-}" = --unpack ] || { echo "$dsc"; return 0; }
  shift
  # dpkg-source's own choice of folder: SOURCE-UPSTREAMVERSION.
  version=$(sed -n 's/^Version: //p' "$dsc")
  upstream=${version#*:}
  src=$dir/$(sed -n 's/^Source: //p' "$dsc")-${upstream%-*}
  [ -d "$src" ] || dpkg-source -x "$@" "$dsc" "$src" >/dev/null || return 1
  echo "$src"
}

# The files a .dsc lists, without itself.
dsc_files() { sed -n '/^Checksums-Sha256:/,/^[^ ]/s/^ [0-9a-f]\{64\} [0-9]* //p' "$1"; }

# Prints the .dsc in DIR (of VERSION, when given) when it and every file it
# lists are there. Usage: complete_dsc DIR [VERSION]
complete_dsc() {
  local dsc f
  dsc=$(ls "$1"/*.dsc 2>/dev/null | grep -F "${2:+_${2#*:}}.dsc" | head -n 1)
  [ -n "$dsc" ] || return 1
  for f in $(dsc_files "$dsc"); do [ -f "$1/$f" ] || return 1; done
  echo "$dsc"
}

# The version, from the project() line of CMakeLists.txt.
project_version() {
  sed -n 's/^project(quillarven VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt"
}
