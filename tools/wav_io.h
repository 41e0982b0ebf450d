// SPDX-License-Identifier: GPL-2.0-or-later
// Whole PCM WAV files in memory (16-bit, or written at 8 and 24 bits), for
// the tools, benchmarks and tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct PcmAudio {
  int channels = 1;
  int rate = 44100;
  std::vector<int16_t> samples;  // interleaved

  int64_t Frames() const { return static_cast<int64_t>(samples.size()) / channels; }
};

// Reads a file that the plug-in would accept as an IR (16-bit PCM, 1 or 2
// channels). False when it cannot be opened or is not such a file.
bool ReadPcm16(const std::string& path, PcmAudio* audio);

// Writes a canonical 44-byte-header WAV file. False when writing fails.
bool WritePcm16(const std::string& path, const PcmAudio& audio);
// The same into a file open for writing, which stays open.
bool WritePcm16(std::FILE* file, const PcmAudio& audio);

// Interleaved samples of 8, 16 or 24 bits, as little-endian bytes (8-bit
// unsigned), into a new file or one open for writing.
bool WritePcm(const std::string& path, int channels, int rate, int bits,
              const std::vector<uint8_t>& samples);
bool WritePcm(std::FILE* file, int channels, int rate, int bits,
              const std::vector<uint8_t>& samples);
