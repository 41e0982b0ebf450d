// SPDX-License-Identifier: GPL-2.0-or-later
// The host's sample formats: 8-bit (unsigned, 128 is zero), 16-bit and
// packed 24-bit little-endian PCM, read into the engine's units (16-bit full
// scale, so that a depth change needs no new preparation) and written back
// at their own depth, truncated toward zero and clipped to its range.
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstdint>
#include <cstring>

// v clipped to [lo, hi] and truncated toward zero; NaN gives a value whose
// low 24 bits are 0. Loud audio clips at random, and a mispredicted branch
// per sample would cost more than the convolution, so the clamp is done
// with min/max instructions.
inline int32_t ClipTruncate(double v, double lo, double hi) {
#if defined(__SSE2__)
  __m128d x = _mm_max_sd(_mm_set_sd(lo), _mm_set_sd(v));  // NaN passes through
  x = _mm_min_sd(_mm_set_sd(hi), x);
  return _mm_cvttsd_si32(x);  // NaN converts to 0x80000000
#else
  if (v != v) return 0;
  if (v > hi) return static_cast<int32_t>(hi);
  if (v < lo) return static_cast<int32_t>(lo);
  return static_cast<int32_t>(v);
#endif
}

// out(v): clip to 16 bits, truncating toward zero; NaN gives 0.
inline int16_t ToSample(double v) {
  return static_cast<int16_t>(ClipTruncate(v, -32768.0, 32767.0) & 0xFFFF);
}

struct Pcm8 {
  static constexpr int kBytes = 1;
  static double Read(const uint8_t* p) { return (int32_t{p[0]} - 128) * 256.0; }
  static void Write(uint8_t* p, double v) {
    const auto s = static_cast<uint32_t>(ClipTruncate(v * (1.0 / 256), -128.0, 127.0));
    p[0] = static_cast<uint8_t>(s + 128u);
  }
};

struct Pcm16 {
  static constexpr int kBytes = 2;
  static double Read(const uint8_t* p) {
    int16_t s;
    std::memcpy(&s, p, 2);
    return s;
  }
  static void Write(uint8_t* p, double v) {
    const int16_t s = ToSample(v);
    std::memcpy(p, &s, 2);
  }
};

struct Pcm24 {
  static constexpr int kBytes = 3;
  static double Read(const uint8_t* p) {
    const int32_t s = p[0] | (p[1] << 8) | (static_cast<int8_t>(p[2]) * 65536);
    return s * (1.0 / 256);
  }
  static void Write(uint8_t* p, double v) {
    const auto s = static_cast<uint32_t>(ClipTruncate(v * 256.0, -8388608.0, 8388607.0));
    p[0] = static_cast<uint8_t>(s);
    p[1] = static_cast<uint8_t>(s >> 8);
    p[2] = static_cast<uint8_t>(s >> 16);
  }
};
