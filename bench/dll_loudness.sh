#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# What Match loudness costs the shipped DLL under Wine: a 3 s and a 0.3 s
# stereo IR (whose one-block line grows for the match), each kind of
# engine, at playback pace (so that the window's timer follows the music
# as it does for a listener), the whole Wine process's
# CPU with MatchLoudness 0 and 1, least of the rounds each, taken in turns,
# and the median of the rounds' own ratios (the process's CPU varies by
# several per cent from run to run here).
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
  echo "| IR | engine | MatchLoudness 0 | MatchLoudness 1 | 1 / 0 | 1 / 0, median of the rounds |"
  echo "|---|---|---|---|---|---|"
  for room in "room3s:3 s" "room03s:0.3 s"; do
    for kind in 0 1; do
      for match in 0 1; do
        plugin_folder "$work/m$kind$match" "$work/${room%%:*}.wav" \
          "LowLatency=$kind\r\nMatchLoudness=$match\r\n"
      done
      rows=()
      for round in $(seq "$rounds"); do  # in pairs, the order turned each round
        if [ $((round % 2)) = 1 ]; then
          off=$(cpu "$work/m${kind}0") on=$(cpu "$work/m${kind}1")
        else
          on=$(cpu "$work/m${kind}1") off=$(cpu "$work/m${kind}0")
        fi
        rows+=("$off $on")
      done
      name=one-block
      [ $kind = 1 ] && name="low latency"
      printf "%s\n" "${rows[@]}" | awk -v name="$name" -v ir="${room#*:}" "
        NR == 1 || \$1 < a { a = \$1 }
        NR == 1 || \$2 < b { b = \$2 }
        { r[NR] = \$2 / \$1 }
        END {
          n = NR
          for (i = 2; i <= n; i++) for (j = i; j > 1 && r[j - 1] > r[j]; j--) { t = r[j]; r[j] = r[j - 1]; r[j - 1] = t }
          m = n % 2 ? r[(n + 1) / 2] : (r[n / 2] + r[n / 2 + 1]) / 2
          printf \"| %s | %s | %.3f s | %.3f s | %.3f | %.3f |\\n\", ir, name, a, b, b / a, m
        }"
      rm -rf "$work/m${kind}0" "$work/m${kind}1"
    done
  done' work seconds rounds
echo
echo "CPU seconds of the whole Wine process while streaming ${seconds} s of stereo 44.1 kHz audio"
echo "at playback pace in 576-frame buffers, least of ${rounds} rounds taken in turns; the last"
echo "column: each round's pair compared, the median of them"
