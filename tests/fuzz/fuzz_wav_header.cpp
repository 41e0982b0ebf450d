// SPDX-License-Identifier: GPL-2.0-or-later
// Fuzz target: ReadWavHeader on arbitrary files, with the promises an
// accepted header makes to the IR loader checked against the bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ir/wav_header.h"

namespace {

void Fail(const char* what) {
  std::fprintf(stderr, "accepted header breaks its promise: %s\n", what);
  std::abort();
}

uint32_t U32(const uint8_t* b) {
  return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A real file, not fmemopen: the reader relies on seeks past the end
  // succeeding, which memory streams refuse.
  std::FILE* file = std::tmpfile();
  if (!file) return 0;
  if (size > 0 && std::fwrite(data, 1, size, file) != size) {
    std::fclose(file);
    return 0;
  }
  std::rewind(file);
  WavFormat format{};
  int32_t dataSize = -1;
  const int result = ReadWavHeader(file, &format, &dataSize);
  const long position = std::ftell(file);
  std::fclose(file);

  if (result != 0 && result != 1) Fail("result is neither 0 nor 1");
  if (result != 0) return 0;
  if (format.Channels != 1 && format.Channels != 2 && format.Channels != 4) Fail("channels");
  if (format.BlockAlign == 0) Fail("block align");
  if (format.BitsPerSample != 16) Fail("bits per sample");
  if (dataSize < 0) Fail("data size");
  // The 16 format bytes were read whole. A "fmt " chunk that declares fewer
  // lets the next header overlap them, so only RIFF, WAVE and two chunk
  // headers lie surely before the samples.
  if (size < 12 + 8 + 16) Fail("format bytes missing");
  if (position < 12 + 8 + 8 || static_cast<size_t>(position) > size) Fail("stream position");
  // The stream stands right after the "data" header whose size was returned.
  const uint8_t* header = data + position - 8;
  if (std::memcmp(header, "data", 4) != 0) Fail("not after a data header");
  if (U32(header + 4) != static_cast<uint32_t>(dataSize)) Fail("data size is not the chunk's");
  return 0;
}
