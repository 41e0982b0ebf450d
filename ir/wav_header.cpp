// SPDX-License-Identifier: GPL-2.0-or-later
// The WAV header reader: walks the RIFF chunks up to the first "data" chunk.
#include "ir/wav_header.h"

#include <climits>
#include <cstring>

namespace {

bool ReadTag(std::FILE* file, char tag[4]) { return std::fread(tag, 1, 4, file) == 4; }

bool ReadU32(std::FILE* file, uint32_t* value) {
  unsigned char b[4];
  if (std::fread(b, 1, 4, file) != 4) return false;
  *value = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
  return true;
}

uint16_t U16(const unsigned char* b) { return static_cast<uint16_t>(b[0] | (b[1] << 8)); }
uint32_t U32(const unsigned char* b) {
  return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

}  // namespace

int ReadWavHeader(std::FILE* file, WavFormat* format, int32_t* dataSize) {
  char tag[4];
  uint32_t size;
  if (!ReadTag(file, tag) || std::memcmp(tag, "RIFF", 4) != 0) return 1;
  if (!ReadU32(file, &size)) return 1;
  if (!ReadTag(file, tag) || std::memcmp(tag, "WAVE", 4) != 0) return 1;
  if (!ReadTag(file, tag)) return 1;
  bool haveFormat = false;
  for (;;) {
    if (!ReadU32(file, &size)) return 1;
    const long start = std::ftell(file);
    if (start < 0) return 1;
    if (std::memcmp(tag, "fmt ", 4) == 0) {
      unsigned char b[16];
      if (std::fread(b, 1, 16, file) != 16) return 1;
      const uint16_t channels = U16(b + 2);
      // One or two channels, or four: a true-stereo room (LL, LR, RL, RR).
      if (U16(b) != 1 || (channels != 1 && channels != 2 && channels != 4) || U16(b + 14) != 16) {
        return 1;
      }
      // Frames are data size / block align: a zero divisor is no format.
      if (U16(b + 12) == 0) return 1;
      format->Channels = channels;
      format->SampleRate = U32(b + 4);
      format->BlockAlign = U16(b + 12);
      format->BitsPerSample = 16;
      haveFormat = true;
    } else if (std::memcmp(tag, "data", 4) == 0) {
      // Sample data needs a format before it, and a size that the signed
      // 32-bit frame arithmetic can hold.
      if (!haveFormat || size > static_cast<uint32_t>(INT32_MAX)) return 1;
      *dataSize = static_cast<int32_t>(size);
      return 0;
    }
    // A chunk that ends past what fseek can reach would send us backwards.
    if (static_cast<long long>(start) + size > LONG_MAX) return 1;
    std::fseek(file, start + static_cast<long>(size), SEEK_SET);
    if (!ReadTag(file, tag)) return 1;
  }
}
