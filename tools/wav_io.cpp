// SPDX-License-Identifier: GPL-2.0-or-later
// Reading whole 16-bit PCM WAV files; writing them at 8, 16 or 24 bits.
#include "tools/wav_io.h"

#include <cstdio>

#include "ir/wav_header.h"

namespace {

void Put16(std::FILE* f, uint32_t v) {
  const unsigned char b[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
  std::fwrite(b, 1, 2, f);
}
void Put32(std::FILE* f, uint32_t v) {
  Put16(f, v & 0xFFFF);
  Put16(f, v >> 16);
}

// Little-endian bytes of the 16-bit samples.
std::vector<uint8_t> Pcm16Bytes(const PcmAudio& audio) {
  std::vector<uint8_t> bytes(audio.samples.size() * 2);
  for (size_t i = 0; i < audio.samples.size(); ++i) {
    const auto v = static_cast<uint16_t>(audio.samples[i]);
    bytes[2 * i] = static_cast<uint8_t>(v);
    bytes[2 * i + 1] = static_cast<uint8_t>(v >> 8);
  }
  return bytes;
}

}  // namespace

bool ReadPcm16(const std::string& path, PcmAudio* audio) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  WavFormat format{};
  int32_t size = 0;
  if (ReadWavHeader(f, &format, &size) != 0) {
    std::fclose(f);
    return false;
  }
  audio->channels = format.Channels;
  audio->rate = static_cast<int>(format.SampleRate);
  const int64_t frames = size / format.BlockAlign;
  audio->samples.assign(static_cast<size_t>(frames * format.Channels), 0);
  std::vector<unsigned char> bytes(static_cast<size_t>(frames) * format.BlockAlign);
  const size_t got = std::fread(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  bytes.resize(got);
  for (int64_t j = 0; j < frames && (j + 1) * format.BlockAlign <= int64_t(got); ++j) {
    for (int c = 0; c < format.Channels; ++c) {
      const unsigned char* b = &bytes[static_cast<size_t>(j * format.BlockAlign + 2 * c)];
      audio->samples[static_cast<size_t>(j * format.Channels + c)] =
          static_cast<int16_t>(b[0] | (b[1] << 8));
    }
  }
  return true;
}

bool WritePcm(std::FILE* f, int channels, int rate, int bits, const std::vector<uint8_t>& samples) {
  const uint32_t data = static_cast<uint32_t>(samples.size());
  const uint32_t align = static_cast<uint32_t>(channels * (bits / 8));
  std::fwrite("RIFF", 1, 4, f);
  Put32(f, 36 + data + (data & 1));
  std::fwrite("WAVEfmt ", 1, 8, f);
  Put32(f, 16);
  Put16(f, 1);
  Put16(f, static_cast<uint32_t>(channels));
  Put32(f, static_cast<uint32_t>(rate));
  Put32(f, static_cast<uint32_t>(rate) * align);
  Put16(f, align);
  Put16(f, static_cast<uint32_t>(bits));
  std::fwrite("data", 1, 4, f);
  Put32(f, data);
  if (!samples.empty()) std::fwrite(samples.data(), 1, samples.size(), f);
  if (data & 1) std::fputc(0, f);  // chunks are padded to even sizes
  return std::ferror(f) == 0;
}

bool WritePcm(const std::string& path, int channels, int rate, int bits,
              const std::vector<uint8_t>& samples) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = WritePcm(f, channels, rate, bits, samples);
  return std::fclose(f) == 0 && ok;
}

bool WritePcm16(std::FILE* f, const PcmAudio& audio) {
  return WritePcm(f, audio.channels, audio.rate, 16, Pcm16Bytes(audio));
}

bool WritePcm16(const std::string& path, const PcmAudio& audio) {
  return WritePcm(path, audio.channels, audio.rate, 16, Pcm16Bytes(audio));
}
