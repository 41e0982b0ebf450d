#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Makes WAV files written by programs that are not ours (sox, ffmpeg) and
# copies a real recording from alsa-utils, for the tests to read.
set -euo pipefail
out=$1
mkdir -p "$out"
cd "$out"
[ -f .done ] && exit 0
s() { sox -q -n -r 44100 "$@" synth 0.1 sine 440 vol 0.5; }
s -b 16 -c 1 sox_mono16.wav
s -b 16 -c 2 sox_stereo16.wav
s -b 8 -c 1 sox_u8.wav
s -b 24 -c 2 sox_s24.wav
s -b 32 -c 2 sox_s32.wav
s -e floating-point -b 32 -c 1 sox_float.wav
s -b 16 -c 3 sox_3ch16.wav
f() { ffmpeg -nostdin -loglevel error -y -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=0.1" "$@"; }
f -ac 2 -c:a pcm_s16le ff_stereo16_list.wav
f -ac 1 -c:a pcm_s16le -bitexact ff_mono16_bitexact.wav
f -ac 2 -c:a pcm_s24le ff_s24.wav
f -ac 1 -c:a pcm_f32le ff_float.wav
f -ac 1 -c:a pcm_u8 ff_u8.wav
f -ac 6 -c:a pcm_s16le ff_6ch16.wav
cp /usr/share/sounds/alsa/Front_Center.wav alsa_front_center.wav
touch .done
