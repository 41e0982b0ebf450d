#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The shipped DLL under Wine: the low-latency engine against the one-block
# engine for stereo IRs of 1, 3 and 6 s, as fast as possible (five pairs
# taken in turns) and at playback pace (one pair). The whole process's CPU
# and the busiest call's own CPU, both read from Linux's clocks.
# Usage: dll_low_latency.sh <release build dir> [seconds of audio, default 120] [paced seconds, default 20]
set -euo pipefail
source "$(dirname "$0")/common.sh"
rel=$1 seconds=${2:-120} paced=${3:-20}
bench_work "$rel"

under_wine '
  run() {  # folder, LowLatency, extra host options: prints "process-CPU busiest-ms"
    printf "[Quillarven]\r\nAutoGain=0\r\nLowLatency=%s\r\n" "$2" >"$1/plugin.ini"
    host_reads "s/.*Linux clocks: \([0-9.]*\) s CPU.*busiest call \([0-9.]*\) ms.*/\1 \2/p" \
      --wait-ms 1500 "${@:3}" "$1/dsp_qlv3.dll"
  }
  echo "| IR | fast: one-block CPU | low latency CPU | low / one-block (range) | busiest call: one-block | low latency | playback: low / one-block | busiest call: one-block | low latency |"
  echo "|---|---|---|---|---|---|---|---|---|"
  for s in 1 3 6; do
    dir=$work/plugins$s
    plugin_folder "$dir" "$work/room${s}s.wav"
    rows=()
    for round in 1 2 3 4 5; do
      rows+=("$(run "$dir" 0 --seconds "$seconds") $(run "$dir" 1 --seconds "$seconds")")
    done
    pace="$(run "$dir" 0 --seconds "$paced" --realtime) $(run "$dir" 1 --seconds "$paced" --realtime)"
    ratios=$(printf "%s\n" "${rows[@]}" | awk "{ print \$3 / \$1 }" | sort -g | tr "\n" " ")
    printf "%s\n" "${rows[@]}" | awk -v s="$s" -v pace="$pace" -v ratios="$ratios" "
      NR == 1 || \$1 < one { one = \$1 }
      NR == 1 || \$3 < low { low = \$3 }
      \$2 > b1 { b1 = \$2 }
      \$4 > b2 { b2 = \$4 }
      END {
        n = split(ratios, r, \" \")
        split(pace, p, \" \")
        printf \"| %d s | %.2f s | %.2f s | %.2f (%.2f-%.2f) | %.2f ms | %.2f ms | %.2f | %.2f ms | %.2f ms |\\n\",
          s, one, low, r[int((n + 1) / 2)], r[1], r[n], b1, b2, p[3] / p[1], p[2], p[4] }"
  done' work seconds paced
echo
echo "CPU: the whole Wine process while streaming ${seconds} s of stereo audio in 576-frame buffers, least of 5"
echo "(Linux process clock); low / one-block: median of the 5 pairs' ratios; busiest call: the most"
echo "CPU one ModifySamples call took on the audio thread (Linux thread clock), all rounds; playback:"
echo "${paced} s at the audio's own pace, one pair"
