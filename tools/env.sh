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

# Installs those of the named Debian packages that are missing, quietly.
need_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed' ||
      missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "installing ${missing[*]}" >&2
  local sudo=()
  [ "$(id -u)" = 0 ] || sudo=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null </dev/null
}

# The version, from the project() line of CMakeLists.txt.
project_version() {
  sed -n 's/^project(quillarven VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt"
}
