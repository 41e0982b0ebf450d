#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Configures (once) and builds the native and the Win32 configurations.
# Usage: build.sh [native|win32]...   (both when none is named)
set -euo pipefail
source "$(dirname "$0")/env.sh"
configs=("$@")
[ ${#configs[@]} -gt 0 ] || configs=(native win32)
for c in "${configs[@]}"; do
  args=()
  [ "$c" = win32 ] && args=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake")
  if [ ! -f "$build/$c/build.ninja" ]; then
    cmake -S "$root" -B "$build/$c" -G Ninja "${args[@]}" >/dev/null
  fi
  ninja --quiet -C "$build/$c"
done
