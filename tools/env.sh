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
