#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The per-frame work as the DLL's own code: bench_frames built for Windows,
# under Wine; then the shipped DLL's speed with a 3 s stereo IR and the
# one-block engine, as ns a frame, best of five runs, and with an earlier
# build's DLL named, the two taken in turns.
# Usage: dll_frames.sh <release build dir> [earlier dsp_qlv3.dll] [seconds of audio, default 300]
set -euo pipefail
source "$(dirname "$0")/common.sh"
rel=$1 earlier=${2:-} seconds=${3:-300}
bench_work "$rel"
ninja --quiet -C "$build/win32" bench_frames

under_wine '
  wine "$build/win32/bench/bench_frames.exe" </dev/null 2>/dev/null | tr -d "\r"
  echo
  dlls=("$build/product/plugin/dsp_qlv3.dll")
  [ -z "$earlier" ] || dlls+=("$earlier")
  for k in "${!dlls[@]}"; do
    plugin_folder "$work/p$k" "$work/room3s.wav"
    cp "${dlls[$k]}" "$work/p$k/dsp_qlv3.dll"
  done
  best=()
  for round in 1 2 3 4 5; do
    for k in "${!dlls[@]}"; do
      s=$(host_speed "$work/p$k" "$seconds") || exit 1
      best[$k]=$(printf "%s\n%s\n" "${best[$k]:-0}" "$s" | sort -g | tail -n 1)
    done
  done
  echo "| DLL | realtime | ns a frame |"
  echo "|---|---|---|"
  for k in "${!dlls[@]}"; do
    name=this; [ "$k" = 0 ] || name="earlier"
    awk -v n="$name" -v s="${best[$k]}" "BEGIN { printf \"| %s | %.0fx | %.1f |\\n\", n, s, 1e9 / (s * 44100) }"
  done' work earlier seconds
echo
echo "DLL: 3 s stereo IR, one-block engine, ${seconds} s of stereo 16-bit audio in 576-frame"
echo "buffers as fast as possible; realtime: audio seconds per CPU second of the host's audio"
echo "thread, best of 5"
