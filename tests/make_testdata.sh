#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Makes WAV files written by programs that are not ours (sox, ffmpeg, flac)
# and copies a real recording from alsa-utils, for the tests to read.
set -euo pipefail
out=$1
# Made again when this script changes.
stamp=$(cksum <"$0")
mkdir -p "$out"
cd "$out"
[ "$(cat .done 2>/dev/null)" = "$stamp" ] && exit 0
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

# IRs as free collections ship them, for qlv_irtool, each with sox's own
# conversion to 16-bit 44.1 kHz (ir_*.wav -> ref_ir_*.wav). sox writes no
# float WAVE_FORMAT_EXTENSIBLE; ffmpeg does.
n() { sox -q -R -n "$@" synth 0.3 pinknoise vol 0.5; }
n -r 48000 -b 24 -c 2 ir_s24_48k.wav
ffmpeg -nostdin -loglevel error -y -f lavfi -i "anoisesrc=d=0.3:c=pink:r=96000:a=0.5:s=3" \
  -ac 2 -c:a pcm_f32le ir_f32_96k.wav
n -r 22050 -b 8 -c 1 ir_u8_22k.wav
sox -q -R -n -r 44100 -b 16 -c 6 ir_6ch.wav synth 0.3 sine 200 sine 300 sine 500 sine 700 \
  sine 1100 sine 1300 vol 0.5
# The 24-bit room as FLAC (Debian's flac), and as the lossy files the tool
# refuses: Ogg Vorbis, Opus, and MP3 with and without an ID3v2 tag.
flac -s -f -o ir_s24_48k.flac ir_s24_48k.wav
l() { ffmpeg -nostdin -loglevel error -y -i ir_s24_48k.wav "$@"; }
l -c:a libvorbis ir_vorbis.ogg
l -c:a libopus ir_opus.opus
l -c:a libmp3lame ir_id3.mp3
l -c:a libmp3lame -id3v2_version 0 ir_bare.mp3
for ir in ir_s24_48k ir_f32_96k ir_u8_22k; do sox -q -R "$ir.wav" -b 16 "ref_$ir.wav" rate -v 44100; done
sox -q -R ir_6ch.wav ref_ir_6ch.wav remix 3 5

# Foreign IRs that the control window offers to convert, beside the two
# above: four channels of float, and AIFF; and one long enough that its
# conversion is still under way when the player quits.
n -r 48000 -e floating-point -b 32 -c 4 ir_f32_4ch_48k.wav
n -r 44100 -b 24 -c 2 ir_s24.aiff
sox -q -R -n -r 44100 -b 24 -c 2 long_s24.wav synth 120 pinknoise vol 0.5
echo "$stamp" >.done
