#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The shipped DLL under Wine, at playback pace: the slowest ModifySamples
# call with a listener's or host's event, beside the same stream without
# it. The start-up preparation the first buffer waits for, with and without
# converting a 6 s stereo IR from 48 to 44.1 kHz; the first rate after Init
# when the host waited after Init (the start-up converted for 44.1 kHz, the
# music is at 96 kHz), with and without ResampleIR; a later new rate with
# ResampleIR (a 6 s stereo IR, 44.1 to 96 and 192 kHz 2 s into the music);
# with 3 s stereo IRs a Load of another (the file rewritten, then Apply),
# Apply with nothing changed, Active off and on, and the gain and dry/wet
# sliders dragged, done in the window; Apply unchanged and Active off and on
# with a 60 s stereo IR; each kind of engine. Best of two runs each.
# Usage: dll_events.sh <release build dir>
set -euo pipefail
source "$(dirname "$0")/common.sh"
rel=$1
bench_work "$rel"
sox -q "$work/room6s.wav" -r 48000 "$work/room6s_48000.wav"
sox -q "$work/room3s.wav" "$work/room3s_b.wav" reverse
sox -q -n -r 44100 -c 2 -b 16 "$work/long60s.wav" synth 60 pinknoise fade q 0 60 59 vol 0.5

under_wine '
  dir=$work/plugins
  slowest() {  # IR, ini lines, host options: the slowest call in ms, best of two
    local best=
    for round in 1 2; do
      plugin_folder "$dir" "$work/$1" "$2"
      local ms
      ms=$(host_reads "s/.*the slowest call \([0-9.]*\) ms.*/\1/p" --realtime --seconds 5 "${@:3}" \
        "$dir/dsp_qlv3.dll") || exit 1
      best=$(printf "%s\n" $best "$ms" | sort -g | head -n 1)
    done
    echo "$best"
  }
  echo "| event | engine | slowest call without | with |"
  echo "|---|---|---|---|"
  echo "| start-up, waited for by the first buffer: a 6 s stereo 48 kHz IR converted for 44.1 kHz | one-block | $(slowest room6s_48000.wav "" --wait-ms 0) ms | $(slowest room6s_48000.wav "ResampleIR=1\r\n" --wait-ms 0) ms |"
  echo "| the first rate after Init, waited for by the first buffer: a 6 s stereo 48 kHz IR, start-up at 44.1 kHz, music at 96 kHz | one-block | $(slowest room6s_48000.wav "" --wait-ms 3000 --rate 96000) ms | $(slowest room6s_48000.wav "ResampleIR=1\r\n" --wait-ms 3000 --rate 96000) ms |"
  for kind in 0 1; do
    name=one-block
    [ $kind = 1 ] && name="low latency"
    for rate in 96000 192000; do
      echo "| ResampleIR, 6 s stereo IR, 44.1 to $((rate / 1000)) kHz | $name | $(slowest room6s.wav "LowLatency=$kind\r\n" --wait-ms 3000 --rate-from $rate@2000) ms | $(slowest room6s.wav "LowLatency=$kind\r\nResampleIR=1\r\n" --wait-ms 3000 --rate-from $rate@2000) ms |"
    done
    plain=$(slowest room3s.wav "LowLatency=$kind\r\n" --wait-ms 2000)
    ir="$dir/Impulse Responses/Chapel.wav"
    echo "| Load of another 3 s stereo IR (the file rewritten, then Apply) | $name | $plain ms | $(slowest room3s.wav "LowLatency=$kind\r\n" --wait-ms 2000 --copy-file "$work/room3s_b.wav" "$ir@1500" --click 1092@2000) ms |"
    echo "| Apply unchanged, 3 s stereo IR | $name | $plain ms | $(slowest room3s.wav "LowLatency=$kind\r\n" --wait-ms 2000 --click 1092@2000) ms |"
    echo "| Active off and on, 3 s stereo IR | $name | $plain ms | $(slowest room3s.wav "LowLatency=$kind\r\n" --wait-ms 2000 --click 1088@2000 --click 1088@3000) ms |"
    echo "| the gain slider dragged end to end in 1 s, 3 s stereo IR | $name | $plain ms | $(slowest room3s.wav "LowLatency=$kind\r\n" --wait-ms 2000 --drag 1037@2000) ms |"
    echo "| the dry/wet slider dragged end to end in 1 s, 3 s stereo IR | $name | $plain ms | $(slowest room3s.wav "LowLatency=$kind\r\n" --wait-ms 2000 --drag 1106@2000) ms |"
    plain=$(slowest long60s.wav "LowLatency=$kind\r\n" --wait-ms 20000)
    echo "| Apply unchanged, 60 s stereo IR | $name | $plain ms | $(slowest long60s.wav "LowLatency=$kind\r\n" --wait-ms 20000 --click 1092@3000) ms |"
    echo "| Active off and on, 60 s stereo IR | $name | $plain ms | $(slowest long60s.wav "LowLatency=$kind\r\n" --wait-ms 20000 --click 1088@2000 --click 1088@4000) ms |"
  done' work
echo
echo "the host's slowest ModifySamples call over 5 s at playback pace, best of 2 runs;"
echo "goals: an event adds at most one buffer's duration, 13 ms; with 3 s stereo IRs no call over 20 ms"
