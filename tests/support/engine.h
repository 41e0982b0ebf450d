// SPDX-License-Identifier: GPL-2.0-or-later
// The engine in tests and test tools: baseline settings, an IR named in the
// settings, and audio streamed through ProcessSamples. No test framework.
#pragma once

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "engine/engine_lock.h"
#include "engine/plans.h"
#include "life/life.h"

// Active, 0 dB without automatic gain, no limit, no mono options, the
// one-block engine, all wet, 44.1 kHz.
inline void ResetSettings() {
  Settings.Active = 1;
  Settings.AutoGain = 0;
  SetGainDB(0);
  Settings.IRLimitEn = 0;
  Settings.IRLimit = 4000;
  Settings.ForceMonoIn = 0;
  Settings.ForceMonoOut = 0;
  Settings.LowLatency = 0;
  Settings.ResampleIR = 0;
  Settings.Mix = 100;
  Settings.SampleRate = 44100;
}

inline void NameIr(const std::string& path) {
  std::snprintf(Settings.IRFile, kPathChars, "%s", path.c_str());
}

// A copy of the engine in force's common part (BlockLength 0 when none is
// loaded), read under EngineLock so that a swap on another thread cannot
// free it meanwhile.
inline ConvolutionEngine EngineNow() {
  EngineLockGuard hold;
  const ConvolutionEngine* e = EngineInForce();
  return e ? *e : ConvolutionEngine{};
}

// Its block length, also the latency.
inline int32_t BlockInForce() { return EngineNow().BlockLength; }

// Host calls of 0 frames to several thousand, mostly large.
inline std::vector<int> RandomSchedule(uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> size(0, 3000);
  std::vector<int> sizes(48);
  for (int& s : sizes) s = size(rng) < 300 ? size(rng) % 3 : size(rng);
  sizes[0] = 1;
  return sizes;
}

// Streams `frames` interleaved frames of `bits`-bit samples through
// ProcessSamples in place, in buffers of the given sizes (cycled); returns
// how many calls did not give back their frame count.
inline int StreamBytes(uint8_t* data, size_t frames, int channels, int bits,
                       const std::vector<int>& sizes, int rate = 44100) {
  const size_t frameBytes = static_cast<size_t>(channels) * (bits / 8);
  int wrong = 0;
  for (size_t frame = 0, i = 0; frame < frames; ++i) {
    int32_t n = sizes[i % sizes.size()];
    if (frame + n > frames) n = static_cast<int32_t>(frames - frame);
    auto* at = reinterpret_cast<int16_t*>(data + frame * frameBytes);
    wrong += ProcessSamples(nullptr, at, n, bits, channels, rate) != n;
    frame += n;
  }
  return wrong;
}

inline int StreamInPlace(std::vector<int16_t>& audio, int channels, const std::vector<int>& sizes,
                         int rate = 44100) {
  return StreamBytes(reinterpret_cast<uint8_t*>(audio.data()), audio.size() / channels, channels,
                     16, sizes, rate);
}

// Interleaved values of `bits` bits (8-bit without its offset of 128) as the
// host hands them over: unsigned bytes, 16-bit or packed 24-bit samples.
inline std::vector<uint8_t> PackPcm(const std::vector<int32_t>& values, int bits) {
  const int bytes = bits / 8;
  std::vector<uint8_t> out(values.size() * bytes);
  for (size_t i = 0; i < values.size(); ++i) {
    const auto v = static_cast<uint32_t>(values[i] + (bits == 8 ? 128 : 0));
    for (int k = 0; k < bytes; ++k) out[i * bytes + k] = static_cast<uint8_t>(v >> (8 * k));
  }
  return out;
}

inline std::vector<int32_t> UnpackPcm(const std::vector<uint8_t>& bytes, int bits) {
  const int size = bits / 8;
  std::vector<int32_t> out(bytes.size() / size);
  for (size_t i = 0; i < out.size(); ++i) {
    uint32_t v = 0;
    for (int k = 0; k < size; ++k) v |= uint32_t{bytes[i * size + k]} << (8 * k);
    out[i] = bits == 8 ? static_cast<int32_t>(v) - 128
                       : static_cast<int32_t>(v << (32 - bits)) >> (32 - bits);
  }
  return out;
}

// Streams `values` at `bits` bits in buffers of the given sizes; the
// output values, every call giving back its frame count.
inline std::vector<int32_t> StreamAtDepth(const std::vector<int32_t>& values, int channels,
                                          int bits, const std::vector<int>& sizes) {
  std::vector<uint8_t> bytes = PackPcm(values, bits);
  const int wrong = StreamBytes(bytes.data(), values.size() / channels, channels, bits, sizes);
  if (wrong != 0) std::fprintf(stderr, "%d calls gave back another frame count\n", wrong);
  return wrong == 0 ? UnpackPcm(bytes, bits) : std::vector<int32_t>{};
}
