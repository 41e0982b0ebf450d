#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Benchmarks on an optimised native build without sanitizers: the engine
# tables and the per-frame work, then the renderer against ffmpeg's afir
# filter on the same input; then the shipped DLL under Wine, with and
# without tuning, with and without low latency, its per-frame work, and with
# and without a listener's events.
# Usage: bench.sh [seconds of audio for the engine table, default 120]
set -euo pipefail
source "$(dirname "$0")/env.sh"
bash "$root/tools/setup.sh"
rel=$build/release
if [ ! -f "$rel/build.ninja" ]; then
  cmake -S "$root" -B "$rel" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQLV_SANITIZE=OFF >/dev/null
fi
ninja --quiet -C "$rel" bench_engine bench_frames qlv_render
bash "$root/tools/build.sh" product win32
echo "== engine"
"$rel/bench/bench_engine" "${1:-120}"
echo
"$rel/bench/bench_frames"
echo
echo "== renderer against ffmpeg afir"
bash "$root/bench/afir_compare.sh" "$rel"
echo
echo "== the DLL under Wine, untuned and tuned by qlv_irtool"
bash "$root/bench/dll_tuned.sh" "$rel"
echo
echo "== the DLL under Wine: the low-latency engine against the one-block engine"
bash "$root/bench/dll_low_latency.sh" "$rel"
echo
echo "== the DLL under Wine: true-stereo IRs against stereo IRs"
bash "$root/bench/dll_true_stereo.sh" "$rel"
echo
echo "== the DLL under Wine: the per-frame work"
bash "$root/bench/dll_frames.sh" "$rel"
echo
echo "== the DLL under Wine: what the start-up, a rate change, an Apply and a bypass add to the slowest call"
bash "$root/bench/dll_events.sh" "$rel"
