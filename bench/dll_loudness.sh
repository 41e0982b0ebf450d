#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# What Match loudness costs the shipped DLL under Wine: a 3 s stereo IR,
# each kind of engine, at playback pace (so that the window's 2 s timer
# follows the music as it does for a listener), the whole Wine process's
# CPU with MatchLoudness 0 and 1, least of the rounds each, taken in turns.
# Usage: dll_loudness.sh <release build dir> [seconds of audio, default 30] [rounds, default 3]
set -euo pipefail
source "$(dirname "$0")/common.sh"
rel=$1 seconds=${2:-30} rounds=${3:-3}
bench_work "$rel"

under_wine '
  cpu() {  # folder: prints the whole Wine process'"'"'s CPU seconds while streaming
    host_reads "s/.*Linux clocks: \([0-9.]*\) s CPU.*/\1/p" --wait-ms 1500 --realtime \
      --seconds "$seconds" "$1/dsp_qlv3.dll"
  }
  echo "| engine | MatchLoudness 0 | MatchLoudness 1 | 1 / 0 |"
  echo "|---|---|---|---|"
  for kind in 0 1; do
    for match in 0 1; do
      plugin_folder "$work/m$kind$match" "$work/room3s.wav" "LowLatency=$kind\r\nMatchLoudness=$match\r\n"
    done
    rows=()
    for round in $(seq "$rounds"); do
      rows+=("$(cpu "$work/m${kind}0") $(cpu "$work/m${kind}1")")
    done
    name=one-block
    [ $kind = 1 ] && name="low latency"
    printf "%s\n" "${rows[@]}" | awk -v name="$name" "
      NR == 1 || \$1 < a { a = \$1 }
      NR == 1 || \$2 < b { b = \$2 }
      END { printf \"| %s | %.3f s | %.3f s | %.3f |\\n\", name, a, b, b / a }"
  done' work seconds rounds
echo
echo "CPU seconds of the whole Wine process while streaming ${seconds} s of stereo 44.1 kHz audio"
echo "at playback pace in 576-frame buffers, least of ${rounds} rounds taken in turns"
