#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The shipped DLL under Wine with ResampleIR=1: how long the player waits
# for a preparation that converts a 6 s stereo IR, from 48 to 44.1 kHz (the
# start-up preparation, which the first buffer waits for) and from 44.1 to
# 96 kHz (a new rate, prepared on the audio thread), against the same
# preparations of an IR already at the stream's rate. The host's slowest
# processing call, best of three runs each.
# Usage: dll_resample.sh <release build dir>
set -euo pipefail
source "$(dirname "$0")/../tools/env.sh"
rel=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$rel/bench/bench_engine" --write-irs "$work"
for rate in 48000 96000; do sox -q "$work/room6s.wav" -r $rate "$work/room6s_$rate.wav"; done

with_wine_display bash -c '
  work=$1
  host=$build/win32/tools/host/qlv_host.exe
  dir=$work/plugins
  mkdir -p "$dir/Impulse Responses"
  cp "$build/product/plugin/dsp_qlv3.dll" "$dir/"
  slowest() {  # IR, stream rate, wait after Init (ms): the slowest call in ms
    cp "$work/$1" "$dir/Impulse Responses/Chapel.wav"
    local best=
    for round in 1 2 3; do
      printf "[Quillarven]\r\nAutoGain=0\r\nResampleIR=1\r\n" >"$dir/plugin.ini"
      wine "$host" --wait-ms "$3" --seconds 3 --rate "$2" "$dir/dsp_qlv3.dll" </dev/null \
        >"$work/host.log" 2>&1
      local ms
      ms=$(sed -n "s/.*the slowest call \([0-9.]*\) ms.*/\1/p" "$work/host.log")
      [ -n "$ms" ] || { cat "$work/host.log" >&2; exit 1; }
      best=$(printf "%s\n" $best "$ms" | sort -g | head -n 1)
    done
    echo "$best"
  }
  echo "| 6 s stereo IR for a stream at | preparation | IR at the stream rate | IR converted |"
  echo "|---|---|---|---|"
  echo "| 44.1 kHz | start-up, waited for by the first buffer | $(slowest room6s.wav 44100 0) ms | $(slowest room6s_48000.wav 44100 0) ms (from 48 kHz) |"
  echo "| 96 kHz | on the audio thread, at the new rate | $(slowest room6s_96000.wav 96000 1500) ms | $(slowest room6s.wav 96000 1500) ms (from 44.1 kHz) |"
' _ "$work"
echo
echo "the host's slowest ModifySamples call, best of 3 runs; the budget for a conversion is 150 ms"
