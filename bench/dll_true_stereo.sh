#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The shipped DLL under Wine: a true-stereo IR (four channels) against a
# stereo IR of the same 3 s, each kind of engine, as fast as possible: the
# whole Wine process's CPU while streaming, least of five runs each, taken
# in turns, and the median of the rounds' ratios.
# Usage: dll_true_stereo.sh <release build dir> [seconds of audio, default 120]
set -euo pipefail
source "$(dirname "$0")/common.sh"
rel=$1 seconds=${2:-120}
bench_work "$rel"

under_wine '
  cpu() {  # folder: prints the whole Wine process'"'"'s CPU seconds while streaming
    host_reads "s/.*Linux clocks: \([0-9.]*\) s CPU.*/\1/p" --wait-ms 1500 --seconds "$seconds" \
      "$1/dsp_qlv3.dll"
  }
  echo "| IR | engine | stereo | true stereo | true / stereo (range) |"
  echo "|---|---|---|---|---|"
  for kind in 0 1; do
    for ir in room3s four3s; do
      plugin_folder "$work/$ir$kind" "$work/$ir.wav" "LowLatency=$kind\r\n"
    done
    rows=()
    for round in 1 2 3 4 5; do
      rows+=("$(cpu "$work/room3s$kind") $(cpu "$work/four3s$kind")")
    done
    name=one-block
    [ $kind = 1 ] && name="low latency"
    ratios=$(printf "%s\n" "${rows[@]}" | awk "{ print \$2 / \$1 }" | sort -g | tr "\n" " ")
    printf "%s\n" "${rows[@]}" | awk -v name="$name" -v ratios="$ratios" -v t="$seconds" "
      NR == 1 || \$1 < a { a = \$1 }
      NR == 1 || \$2 < b { b = \$2 }
      END {
        n = split(ratios, r, \" \")
        printf \"| 3 s | %s | %.0fx | %.0fx | %.2f (%.2f-%.2f) |\\n\", name, t / a, t / b, r[int((n + 1) / 2)], r[1], r[n] }"
  done' work seconds
echo
echo "stereo, true stereo: audio seconds per CPU second of the whole Wine process (Linux's clock), best of 5;"
echo "true / stereo: the CPU's ratio, the median of the 5 rounds (the range in brackets);"
echo "${seconds} s of stereo audio in 576-frame buffers"
