#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The shipped DLL under Wine: a true-stereo IR (four channels) against a
# stereo IR of the same 3 s, each kind of engine, as fast as possible: the
# whole Wine process's CPU while streaming, least of five runs each, taken
# in turns, and the median of the rounds' ratios.
# Usage: dll_true_stereo.sh <release build dir> [seconds of audio, default 120]
set -euo pipefail
source "$(dirname "$0")/../tools/env.sh"
rel=$1 seconds=${2:-120}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$rel/bench/bench_engine" --write-irs "$work"

with_wine_display bash -c '
  work=$1 seconds=$2
  host=$build/win32/tools/host/qlv_host.exe
  cpu() {  # folder: prints the whole Wine process'"'"'s CPU seconds while streaming
    wine "$host" --wait-ms 1500 --seconds "$seconds" "$1/dsp_qlv3.dll" </dev/null >"$work/host.log" 2>&1
    local s
    s=$(sed -n "s/.*Linux clocks: \([0-9.]*\) s CPU.*/\1/p" "$work/host.log")
    [ -n "$s" ] || { cat "$work/host.log" >&2; exit 1; }
    echo "$s"
  }
  echo "| IR | engine | stereo | true stereo | true / stereo (range) |"
  echo "|---|---|---|---|---|"
  for kind in 0 1; do
    for ir in room3s four3s; do
      dir=$work/$ir$kind
      mkdir -p "$dir/Impulse Responses"
      cp "$build/product/plugin/dsp_qlv3.dll" "$dir/"
      cp "$work/$ir.wav" "$dir/Impulse Responses/Chapel.wav"
      printf "[Quillarven]\r\nAutoGain=0\r\nLowLatency=%s\r\n" "$kind" >"$dir/plugin.ini"
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
  done' _ "$work" "$seconds"
echo
echo "stereo, true stereo: audio seconds per CPU second of the whole Wine process (Linux's clock), best of 5;"
echo "true / stereo: the CPU's ratio, the median of the 5 rounds (the range in brackets);"
echo "${seconds} s of stereo audio in 576-frame buffers"
