#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Writes the committed seed corpus: WAV files made by sox and by hand, the
# same behind the fuzz_prepare option bytes, and number texts. Run it again
# only to change the corpus; the files are committed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
wav=$here/corpus/fuzz_wav_header
prep=$here/corpus/fuzz_prepare
num=$here/corpus/fuzz_settings_number
rm -rf "$wav" "$prep" "$num"
mkdir -p "$wav" "$prep" "$num"

# Little-endian fields as printf escapes.
u16() { printf '\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)); }
u32() { printf '%s%s' "$(u16 $(($1 & 65535)))" "$(u16 $(($1 >> 16 & 65535)))"; }
# fmt chunk: tag channels bits [size [align]]
fmt() {
  local size=${4:-16} align=${5:-$(($2 * $3 / 8))} pad=''
  for ((i = 16; i < size; i++)); do pad+='\x00'; done
  printf 'fmt %s%s%s%s%s%s%s%s' "$(u32 "$size")" "$(u16 "$1")" "$(u16 "$2")" "$(u32 8000)" \
    "$(u32 $((8000 * align)))" "$(u16 "$align")" "$(u16 "$3")" "$pad"
}
# chunk: id size [payload bytes written, default size]
chunk() {
  local n=${3:-$2} body=''
  for ((i = 0; i < n; i++)); do body+="\\x$(printf '%02x' $(((i * 37 + 11) & 255)))"; done
  printf '%s%s%s' "$1" "$(u32 "$2")" "$body"
}
riff() { printf 'RIFF%sWAVE%s' "$(u32 0)" "$(printf '%s' "$@")"; }
put() { printf '%b' "$2" >"$wav/$1"; }

put canonical_mono.wav "$(riff "$(fmt 1 1 16)" "$(chunk data 64)")"
put canonical_stereo.wav "$(riff "$(fmt 1 2 16)" "$(chunk data 128)")"
put fmt18.wav "$(riff "$(fmt 1 1 16 18)" "$(chunk data 32)")"
put list_chunk.wav "$(riff "$(fmt 1 2 16)" "$(chunk LIST 26)" "$(chunk data 32)")"
put odd_chunk.wav "$(riff "$(fmt 1 1 16)" "$(chunk junk 3)" "$(chunk data 10)")"
put odd_chunk_padded.wav "$(riff "$(fmt 1 1 16)" "$(chunk junk 3 4)" "$(chunk data 10)")"
put float.wav "$(riff "$(fmt 3 1 32)" "$(chunk data 32)")"
put pcm24.wav "$(riff "$(fmt 1 2 24)" "$(chunk data 36)")"
put pcm8.wav "$(riff "$(fmt 1 1 8)" "$(chunk data 16)")"
put extensible.wav "$(riff "$(fmt 65534 2 16 40)" "$(chunk data 32)")"
put three_channels.wav "$(riff "$(fmt 1 3 16)" "$(chunk data 36)")"
put truncated_fmt.wav "$(riff "$(chunk 'fmt ' 16 9)")"
put truncated_data.wav "$(riff "$(fmt 1 2 16)" "$(chunk data 4000 20)")"
put data_before_fmt.wav "$(riff "$(chunk data 8)" "$(fmt 1 1 16)")"
put zero_align.wav "$(riff "$(fmt 1 1 16 16 0)" "$(chunk data 8)")"
put odd_align.wav "$(riff "$(fmt 1 2 16 16 3)" "$(chunk data 30)")"
put huge_data.wav "$(riff "$(fmt 1 2 16)" "$(chunk data 2147483647 16)")"
put too_huge_data.wav "$(riff "$(fmt 1 1 16)" "$(chunk data 2147483648 16)")"
put huge_chunk.wav "$(riff "$(fmt 1 1 16)" "$(chunk junk 4294967288 0)" "$(chunk data 8)")"
put short_fmt.wav "$(riff "$(fmt 1 1 16 14)" "$(chunk data 8)")"
# "fmt " declaring 0 bytes: its 16 format bytes overlap the "data" header.
put short_fmt_overlap.wav "RIFF$(u32 0)WAVEfmt $(u32 0)$(u16 1)$(u16 1)$(u32 0)data$(u16 2)$(u16 16)"
put two_fmt.wav "$(riff "$(fmt 1 1 16)" "$(fmt 1 2 16)" "$(chunk data 16)")"
put no_data.wav "$(riff "$(fmt 1 1 16)" "$(chunk LIST 4)")"
put rifx.wav "RIFX$(u32 0)WAVE$(fmt 1 1 16)$(chunk data 8)"
: >"$wav/empty.wav"
s() { sox -q -R -n -r 8000 "$@" synth 0.01 sine 440 vol 0.5; }
s -b 16 -c 1 "$wav/sox_mono16.wav"
s -b 16 -c 2 "$wav/sox_stereo16.wav"
s -b 24 -c 2 "$wav/sox_s24.wav"
s -e floating-point -b 32 -c 1 "$wav/sox_float.wav"
s -b 16 -c 3 "$wav/sox_3ch16.wav"

# fuzz_prepare: flags (1 limit on, 2 mono in, 4 mono out, 8 auto gain,
# 16 stereo stream, 32 fast restart, 64 channel change), limit / 8 ms,
# rate index, buffer size / 9, 1 + allocations before one fails (0: none).
opt() { printf '%b' "$(printf '\\x%02x' "$@")"; }
pre() { { opt "$3" "$4" "$5" "$6" "${7:-0}"; cat "$wav/$2"; } >"$prep/$1"; }
pre mono_ir_mono_stream canonical_mono.wav 0 0 0 63
pre mono_ir_stereo_stream canonical_mono.wav 16 0 0 63
pre stereo_ir_stereo_stream canonical_stereo.wav 48 0 0 1
pre stereo_ir_mono_in sox_stereo16.wav 18 0 3 255
pre stereo_ir_mono_out sox_stereo16.wav 20 0 1 7
pre auto_gain sox_mono16.wav 24 0 0 63
pre limit_zero sox_stereo16.wav 17 0 0 63
pre limit_short canonical_stereo.wav 1 1 3 0
pre channel_change list_chunk.wav 80 0 0 63
pre odd_rate sox_mono16.wav 17 2 5 63
pre negative_rate canonical_mono.wav 17 2 7 63
pre huge_claim huge_data.wav 16 125 1 63
pre huge_claim_mono huge_data.wav 0 0 0 63
pre odd_align odd_align.wav 16 0 0 63
pre fmt18 fmt18.wav 112 0 0 20
pre truncated truncated_data.wav 16 0 0 63
pre bad_float float.wav 16 0 0 63
pre bad_data_first data_before_fmt.wav 0 0 0 63
pre bad_zero_align zero_align.wav 0 0 0 63
pre empty empty.wav 0 0 0 63
pre no_memory_plans sox_stereo16.wav 16 0 0 63 1
pre no_memory_ir sox_stereo16.wav 16 0 0 63 4
pre no_memory_buffers sox_stereo16.wav 16 0 0 63 9
pre no_memory_last canonical_stereo.wav 16 0 0 63 12

# fuzz_settings_number
n() { printf '%b' "$2" >"$num/$1"; }
n zero '0'
n plain '42'
n negative '-17'
n blanks_sign ' \t\n+123'
n all_blanks '\v\f\r -5'
n max '2147483647'
n past_max '2147483648'
n min '-2147483648'
n past_min '-2147483649'
n long '99999999999999999999999'
n long_negative '-0000000000000000000002147483648'
n letters 'abc'
n trailing '12abc'
n two_signs '+-3'
n sign_space '- 5'
n empty ''
n hex '0x1F'
