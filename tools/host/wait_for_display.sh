#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Test fixture: waits until Wine processes can make windows.
# Usage: wait_for_display.sh qlv_host_tests.exe
# Just after `wineboot -u` without a display, a desktop process without one
# lives on as long as any Wine program runs, and every window fails. A
# failed try must therefore end before that process can go and a new one,
# with the display, can start.
set -u
probe=$1
for attempt in 1 2 3 4 5; do
  if wine "$probe" window_probe x x x </dev/null >/dev/null 2>&1; then
    echo "windows can be made (attempt $attempt)"
    exit 0
  fi
  echo "no window yet: waiting for Wine's desktop process to end"
  for _ in $(seq 240); do
    pgrep -f 'explorer.exe /desktop' >/dev/null || break
    sleep 0.25
  done
done
echo "no window could be made: is there a display (xvfb-run)?"
exit 1
