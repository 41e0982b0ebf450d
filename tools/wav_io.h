// SPDX-License-Identifier: GPL-2.0-or-later
// Whole 16-bit PCM WAV files in memory, for the tools, benchmarks and tests.
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
