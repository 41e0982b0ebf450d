#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The shipped DLL under Wine with and without dsp_qlv3.dat (tuned by the
# shipped qlv_irtool) for stereo IRs of 1, 3 and 6 s, in one run: the
# host's speed (audio seconds per CPU second of its audio thread), best of
# five runs each, taken in turns.
# Usage: dll_tuned.sh <release build dir> [seconds of audio, default 300]
set -euo pipefail
source "$(dirname "$0")/common.sh"
rel=$1 seconds=${2:-300}
bench_work "$rel"

under_wine '
  best() { printf "%s\n" "$@" | sort -g | tail -n 1; }
  echo "| IR | transform length | untuned | tuned | tuned / untuned | tuning |"
  echo "|---|---|---|---|---|---|"
  for s in 1 3 6; do
    dir=$work/plugins$s
    plugin_folder "$dir" "$work/room${s}s.wav"
    cp "$build/product/tools/irtool/qlv_irtool.exe" "$dir/"
    wine "$dir/qlv_irtool.exe" tune --seconds 900 </dev/null >"$work/tune.log" 2>&1
    tuning=$(tr -d "\r" <"$work/tune.log" | sed -n "s/^  length \([0-9]*\), .*: tuned in \([0-9.]*\) s$/\1 \2/p")
    [ -n "$tuning" ] || { cat "$work/tune.log" >&2; exit 1; }
    plain=() tuned=()
    for round in 1 2 3 4 5; do
      mv "$dir/dsp_qlv3.dat" "$work/dat"
      plain+=("$(host_speed "$dir" "$seconds")")
      mv "$work/dat" "$dir/dsp_qlv3.dat"
      tuned+=("$(host_speed "$dir" "$seconds")")
    done
    awk -v s="$s" -v t="$tuning" -v a="$(best "${plain[@]}")" -v b="$(best "${tuned[@]}")" '"'"'BEGIN {
      split(t, f, " ")
      printf "| %d s | %d | %.0fx | %.0fx | %.2f | %.0f s |\n", s, f[1], a, b, b / a, f[2] }'"'"'
  done' work seconds
echo
echo "untuned, tuned: audio seconds per CPU second of the host's audio thread (realtime factor),"
echo "best of 5, ${seconds} s of stereo audio in 576-frame buffers; tuning: qlv_irtool tune's time for that length"
