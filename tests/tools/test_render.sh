#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The renderer: a whole file gives the same output whatever the buffer size,
# the latency is the block length, and bad arguments fail cleanly.
set -euo pipefail
render=$1 work=$2
mkdir -p "$work"
cd "$work"
sox -q -n -r 44100 -b 16 -c 2 in.wav synth 2 pinknoise vol 0.3
sox -q -n -r 44100 -b 16 -c 2 ir.wav synth 0.05 whitenoise vol 0.2 fade 0 0.05 0.05
"$render" --ir ir.wav in.wav a.wav >/dev/null
"$render" --ir ir.wav --buffer 1 in.wav b.wav >/dev/null
"$render" --ir ir.wav --buffer 7000 in.wav c.wav >/dev/null
cmp a.wav b.wav
cmp a.wav c.wav
"$render" --ir ir.wav --mono-out --auto-gain --limit 10 --tail in.wav d.wav | grep -q 'gain'
[ "$(soxi -s d.wav)" -gt "$(soxi -s in.wav)" ]
# Other depths come back at their own depth; an IR at another rate converts.
"$render" --ir ir.wav --bits 24 in.wav e24.wav >/dev/null
[ "$(soxi -b e24.wav)" = 24 ] && [ "$(soxi -s e24.wav)" = "$(soxi -s in.wav)" ]
sox -q ir.wav -r 48000 ir48.wav
"$render" --ir ir48.wav --resample-ir --bits 8 in.wav e8.wav >/dev/null
[ "$(soxi -b e8.wav)" = 8 ]
if "$render" --ir ir.wav --bits 12 in.wav e.wav 2>/dev/null; then exit 1; fi
if "$render" --ir missing.wav in.wav e.wav 2>/dev/null; then exit 1; fi
if "$render" --ir ir.wav --buffer 0 in.wav e.wav 2>/dev/null; then exit 1; fi
if "$render" --ir in.wav 2>/dev/null; then exit 1; fi
echo "renderer ok"
