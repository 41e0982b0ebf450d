#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# CPU time of our renderer against ffmpeg's afir on the same 60 s stereo
# input and stereo IRs, in one run. Usage: afir_compare.sh <release build dir>
set -euo pipefail
rel=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$rel/bench/bench_engine" --write-irs "$work"
sox -q -n -r 44100 -b 16 -c 2 "$work/in.wav" synth 60 pinknoise vol 0.3

cpu() {  # user + system seconds of a command
  /usr/bin/time -f '%U %S' -o "$work/t" "$@" >/dev/null 2>&1
  awk '{ printf "%.2f", $1 + $2 }' "$work/t"
}

echo "| IR | qlv_render (double) | afir float | afir double | afir float / ours | afir double / ours |"
echo "|---|---|---|---|---|---|"
for s in 3 6; do
  ir=$work/room${s}s.wav
  ours=$(cpu "$rel/tools/qlv_render" --ir "$ir" "$work/in.wav" "$work/ours.wav")
  fl=$(cpu ffmpeg -nostdin -y -i "$work/in.wav" -i "$ir" -filter_complex "[0][1]afir=precision=float" "$work/f.wav")
  db=$(cpu ffmpeg -nostdin -y -i "$work/in.wav" -i "$ir" -filter_complex "[0][1]afir=precision=double" "$work/d.wav")
  awk -v s="$s" -v o="$ours" -v f="$fl" -v d="$db" 'BEGIN {
    printf "| %d s | %.2f s (%.0fx) | %.2f s (%.0fx) | %.2f s (%.0fx) | %.2f | %.2f |\n",
      s, o, 60 / o, f, 60 / f, d, 60 / d, f / o, d / o }'
done
echo
echo "CPU seconds (user + system) for 60 s of stereo audio; (Nx) is the realtime factor."
