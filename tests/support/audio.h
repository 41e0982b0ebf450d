// SPDX-License-Identifier: GPL-2.0-or-later
// Portable test support: noise and impulse responses as PCM audio, the
// direct-convolution oracle, WAV bytes for hand-made or broken headers, and
// whole files read and written.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "tools/wav_io.h"

// Uniform noise in [-amplitude, amplitude], the same for a seed everywhere.
inline std::vector<int16_t> NoiseSamples(size_t count, uint32_t seed, int amplitude = 8000) {
  std::vector<int16_t> out(count);
  const uint32_t values = 2u * static_cast<uint32_t>(amplitude) + 1;
  for (int16_t& s : out) {
    seed = seed * 1664525u + 1013904223u;
    s = static_cast<int16_t>(static_cast<int32_t>((seed >> 8) % values) - amplitude);
  }
  return out;
}

inline PcmAudio Noise(int channels, int64_t frames, uint32_t seed, int amplitude = 8000) {
  PcmAudio audio;
  audio.channels = channels;
  audio.samples = NoiseSamples(static_cast<size_t>(frames) * channels, seed, amplitude);
  return audio;
}

// Silence with one sample of `value` at frame `at` in every channel; at 0,
// an impulse of gain value / 32768.
inline PcmAudio Click(int channels, int64_t frames, int64_t at = 0, int16_t value = 32767) {
  PcmAudio ir;
  ir.channels = channels;
  ir.samples.assign(static_cast<size_t>(frames) * channels, 0);
  for (int c = 0; c < channels && at < frames; ++c) ir.samples[at * channels + c] = value;
  return ir;
}

// A room's tail: noise from 20000 decaying by e^-4 over its length.
inline PcmAudio DecayingIr(int channels, int64_t frames, uint32_t seed = 1) {
  PcmAudio ir = Noise(channels, frames, seed, 20000);
  for (size_t i = 0; i < ir.samples.size(); ++i) {
    const double j = static_cast<double>(i / channels);
    ir.samples[i] = static_cast<int16_t>(ir.samples[i] * std::exp(-4.0 * j / frames));
  }
  return ir;
}

// Channel c of interleaved samples, times gain.
template <class T>
std::vector<double> ChannelOf(const std::vector<T>& s, int channels, int c, double gain = 1.0) {
  std::vector<double> out(s.size() / channels);
  for (size_t j = 0; j < out.size(); ++j) out[j] = s[j * channels + c] * gain;
  return out;
}

// The mono mix of stereo samples, (left + right) / 2 per frame, times gain.
template <class T>
std::vector<double> MixOf(const std::vector<T>& s, double gain = 1.0) {
  std::vector<double> out(s.size() / 2);
  for (size_t j = 0; j < out.size(); ++j) out[j] = (s[2 * j] + s[2 * j + 1]) * 0.5 * gain;
  return out;
}

// The oracle's sums: direct convolution of x with ir / 32768, delayed by h
// frames, before any rounding.
inline std::vector<double> ConvolveSums(const std::vector<double>& x, const std::vector<double>& ir,
                                        int64_t h) {
  std::vector<double> y(x.size(), 0.0);
  for (size_t t = static_cast<size_t>(h); t < x.size(); ++t) {
    const size_t last = std::min(ir.size(), t - static_cast<size_t>(h) + 1);
    double sum = 0.0;
    for (size_t k = 0; k < last; ++k) sum += x[t - h - k] * ir[k];
    y[t] = sum / 32768.0;
  }
  return y;
}

// A value in 16-bit units written at `bits` bits: scaled to the depth,
// truncated toward zero and clipped to its range (8-bit without its offset).
inline int32_t AtDepth(double v, int bits) {
  const double scaled = v * std::ldexp(1.0, bits - 16);
  const double top = std::ldexp(1.0, bits - 1);
  return scaled > top - 1 ? static_cast<int32_t>(top - 1)
         : scaled < -top  ? static_cast<int32_t>(-top)
                          : static_cast<int32_t>(scaled);
}

// What the engine computes for interleaved input `in` (in 16-bit units)
// through `ir` at `gain` with block length h, interleaved, by the routing
// table, before rounding: a mono stream or mono output takes the mixed IR;
// mixed input feeds each IR channel; otherwise channel by channel (a mono
// IR serving both), or for a true-stereo IR both inputs into each output.
// A true-stereo IR's channels (0 LL, 1 LR, 2 RL, 3 RR) added frame by
// frame, times scale.
inline std::vector<double> SumOf(const PcmAudio& ir, std::initializer_list<int> channels,
                                 double scale = 1.0) {
  std::vector<double> out(ir.samples.size() / 4, 0.0);
  for (size_t j = 0; j < out.size(); ++j) {
    for (int c : channels) out[j] += ir.samples[4 * j + c];
    out[j] *= scale;
  }
  return out;
}

inline std::vector<double> ExpectedSums(const std::vector<double>& in, int channels,
                                        const PcmAudio& ir, double gain, int64_t h,
                                        bool monoOut = false, bool monoIn = false) {
  // What a mono source feeding every input meets: per output, and heard as one.
  const bool four = ir.channels == 4;
  const std::vector<double> ir0 = four ? SumOf(ir, {0, 2}) : ChannelOf(ir.samples, ir.channels, 0);
  const std::vector<double> ir1 = four               ? SumOf(ir, {1, 3})
                                  : ir.channels == 2 ? ChannelOf(ir.samples, 2, 1)
                                                     : ir0;
  const std::vector<double> irMixed = four               ? SumOf(ir, {0, 1, 2, 3}, 0.5)
                                      : ir.channels == 2 ? MixOf(ir.samples)
                                                         : ir0;
  std::vector<std::vector<double>> out;
  if (channels == 1) {
    out = {ConvolveSums(ChannelOf(in, 1, 0, gain), irMixed, h)};
  } else if (monoOut || (monoIn && ir.channels == 1)) {
    out = {ConvolveSums(MixOf(in, gain), irMixed, h)};
    out.push_back(out[0]);
  } else if (monoIn) {
    out = {ConvolveSums(MixOf(in, gain), ir0, h), ConvolveSums(MixOf(in, gain), ir1, h)};
  } else if (four) {  // each output: the left input's path to it plus the right's
    const std::vector<double> l = ChannelOf(in, 2, 0, gain), r = ChannelOf(in, 2, 1, gain);
    for (int side = 0; side < 2; ++side) {
      std::vector<double> sum = ConvolveSums(l, SumOf(ir, {side}), h);
      const std::vector<double> cross = ConvolveSums(r, SumOf(ir, {2 + side}), h);
      for (size_t j = 0; j < sum.size(); ++j) sum[j] += cross[j];
      out.push_back(sum);
    }
  } else {
    out = {ConvolveSums(ChannelOf(in, 2, 0, gain), ir0, h),
           ConvolveSums(ChannelOf(in, 2, 1, gain), ir1, h)};
  }
  std::vector<double> interleaved(in.size());
  for (size_t i = 0; i < interleaved.size(); ++i) {
    interleaved[i] = out[i % channels][i / channels];
  }
  return interleaved;
}

// The dry/wet blend at `mix` percent wet: m wet + (1 - m) dry, the dry the
// input as it came, h frames late.
inline std::vector<double> Blended(std::vector<double> sums, const std::vector<double>& in,
                                   int channels, int64_t h, int mix) {
  if (mix == 100) return sums;
  const double m = mix / 100.0;
  const size_t late = static_cast<size_t>(h) * channels;
  for (size_t i = 0; i < sums.size(); ++i) {
    sums[i] = m * sums[i] + (1.0 - m) * (i >= late ? in[i - late] : 0.0);
  }
  return sums;
}

// The same written as 16-bit samples: what the engine writes for `in`.
inline std::vector<int16_t> ExpectedOutput(const PcmAudio& in, const PcmAudio& ir, double gain,
                                           int64_t h, bool monoOut = false, bool monoIn = false,
                                           int mix = 100) {
  const std::vector<double> x(in.samples.begin(), in.samples.end());
  const std::vector<double> sums =
      Blended(ExpectedSums(x, in.channels, ir, gain, h, monoOut, monoIn), x, in.channels, h, mix);
  std::vector<int16_t> out(sums.size());
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<int16_t>(AtDepth(sums[i], 16));
  return out;
}

// The largest difference in LSB between two runs of samples (a missing
// sample counts as the whole range).
template <class T>
int64_t WorstDifference(const std::vector<T>& a, const std::vector<T>& b) {
  if (a.size() != b.size()) return INT64_MAX;
  int64_t worst = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    worst = std::max(worst, std::abs(int64_t{a[i]} - int64_t{b[i]}));
  }
  return worst;
}

// ---- WAV bytes, for headers that no writer would make.

using Bytes = std::vector<unsigned char>;

inline void Put16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<unsigned char>(v));
  b.push_back(static_cast<unsigned char>(v >> 8));
}
inline void Put32(Bytes& b, uint32_t v) {
  Put16(b, static_cast<uint16_t>(v));
  Put16(b, static_cast<uint16_t>(v >> 16));
}
inline void PutTag(Bytes& b, const char* tag) { b.insert(b.end(), tag, tag + 4); }

// A "fmt " chunk at 44.1 kHz; size past 16 adds zero bytes, align 0 means
// channels * bits / 8.
inline Bytes FmtChunk(uint16_t tag, uint16_t channels, uint16_t bits, uint32_t size = 16,
                      uint16_t align = 0) {
  Bytes b;
  PutTag(b, "fmt ");
  Put32(b, size);
  Put16(b, tag);
  Put16(b, channels);
  Put32(b, 44100);
  Put32(b, 44100u * channels * bits / 8);
  Put16(b, align ? align : static_cast<uint16_t>(channels * bits / 8));
  Put16(b, bits);
  b.resize(b.size() + (size > 16 ? size - 16 : 0), 0);
  return b;
}

// A chunk header claiming `size` bytes, followed by `payload` zero bytes.
inline Bytes Chunk(const char* id, uint32_t size, uint32_t payload) {
  Bytes b;
  PutTag(b, id);
  Put32(b, size);
  b.resize(b.size() + payload, 0);
  return b;
}

inline Bytes Riff(std::initializer_list<Bytes> chunks, const char* riff = "RIFF",
                  const char* wave = "WAVE") {
  Bytes b;
  PutTag(b, riff);
  Put32(b, 0);
  PutTag(b, wave);
  for (const Bytes& c : chunks) b.insert(b.end(), c.begin(), c.end());
  return b;
}

// A plain file: format, then a data chunk claiming dataSize bytes of which
// `payload` are there.
inline Bytes Wav(uint16_t tag, uint16_t channels, uint16_t bits, uint32_t dataSize,
                 uint32_t payload) {
  return Riff({FmtChunk(tag, channels, bits), Chunk("data", dataSize, payload)});
}

// ---- Whole files.

inline bool WriteBytes(const std::string& path, const void* data, size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}
inline bool WriteBytes(const std::string& path, const Bytes& bytes) {
  return WriteBytes(path, bytes.data(), bytes.size());
}
inline bool WriteText(const std::string& path, const std::string& text) {
  return WriteBytes(path, text.data(), text.size());
}

inline std::string ReadText(const std::string& path) {
  std::string text;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
    std::fclose(f);
  }
  return text;
}
