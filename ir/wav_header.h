// SPDX-License-Identifier: GPL-2.0-or-later
// Reading the header of an impulse-response WAV file.
#pragma once

#include <cstdint>
#include <cstdio>

// The first 16 bytes of a "fmt " chunk.
struct WavFormat {
  uint16_t FormatTag;       // never written by the reader
  uint16_t Channels;        // 1, 2 or 4 (true stereo: LL, LR, RL, RR)
  uint32_t SampleRate;      // the IR is converted from it with ResampleIR
  uint32_t AvgBytesPerSec;  // never written by the reader
  uint16_t BlockAlign;      // bytes per frame, never 0 once accepted
  uint16_t BitsPerSample;   // always 16
};

// Accepts RIFF/WAVE with a PCM 16-bit, 1-, 2- or 4-channel "fmt " chunk before
// the first "data" chunk. Returns 0 with dataSize set and the stream at the
// first sample, or 1 on rejection (the caller closes the stream).
int ReadWavHeader(std::FILE* file, WavFormat* format, int32_t* dataSize);
