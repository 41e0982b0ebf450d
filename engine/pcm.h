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

#if defined(__SSE2__)
// ClipTruncate of two values at once.
inline __m128i ClipTruncate2(__m128d v, double lo, double hi) {
  const __m128d x = _mm_max_pd(_mm_set1_pd(lo), v);  // NaN passes through
  return _mm_cvttpd_epi32(_mm_min_pd(_mm_set1_pd(hi), x));
}
#endif

// Each format: its width, how a sample reads in the engine's units, and how
// a value is scaled, clipped and stored.
struct Pcm8 {
  static constexpr int kBytes = 1;
  static constexpr double kScale = 1.0 / 256, kLo = -128.0, kHi = 127.0;
  static double Read(const uint8_t* p) { return (int32_t{p[0]} - 128) * 256.0; }
  static void Put(uint8_t* p, int32_t s) {
    p[0] = static_cast<uint8_t>(static_cast<uint32_t>(s) + 128u);
  }
  static void Write(uint8_t* p, double v) { Put(p, ClipTruncate(v * kScale, kLo, kHi)); }
};

struct Pcm16 {
  static constexpr int kBytes = 2;
  static constexpr double kScale = 1.0, kLo = -32768.0, kHi = 32767.0;
  static double Read(const uint8_t* p) {
    int16_t s;
    std::memcpy(&s, p, 2);
    return s;
  }
  static void Put(uint8_t* p, int32_t s) {
    const auto v = static_cast<int16_t>(s & 0xFFFF);
    std::memcpy(p, &v, 2);
  }
  static void Write(uint8_t* p, double v) {
    const int16_t s = ToSample(v);
    std::memcpy(p, &s, 2);
  }
};

struct Pcm24 {
  static constexpr int kBytes = 3;
  static constexpr double kScale = 256.0, kLo = -8388608.0, kHi = 8388607.0;
  static double Read(const uint8_t* p) {
    const int32_t s = p[0] | (p[1] << 8) | (static_cast<int8_t>(p[2]) * 65536);
    return s * (1.0 / 256);
  }
  static void Put(uint8_t* p, int32_t s) {
    const auto u = static_cast<uint32_t>(s);
    p[0] = static_cast<uint8_t>(u);
    p[1] = static_cast<uint8_t>(u >> 8);
    p[2] = static_cast<uint8_t>(u >> 16);
  }
  static void Write(uint8_t* p, double v) { Put(p, ClipTruncate(v * kScale, kLo, kHi)); }
};

// Calls f with a value of the format `bits` names: 8, 24, or 16 for any
// other value.
template <class Fn>
inline void WithFormat(int32_t bits, Fn&& f) {
  switch (bits) {
    case 8:
      return f(Pcm8{});
    case 24:
      return f(Pcm24{});
    default:
      return f(Pcm16{});
  }
}

// A run of `n` interleaved frames of one or two channels into one array of
// doubles per channel (x1 unused for one): the values Read gives.
template <class F>
inline void ReadRun(const uint8_t* s, int32_t channels, int32_t n, double* x0, double* x1) {
  if (channels == 1) {
    for (int32_t i = 0; i < n; ++i) x0[i] = F::Read(s + F::kBytes * i);
    return;
  }
  for (int32_t i = 0; i < n; ++i) {
    x0[i] = F::Read(s + 2 * F::kBytes * i);
    x1[i] = F::Read(s + 2 * F::kBytes * i + F::kBytes);
  }
}

#if defined(__SSE2__)
template <>
inline void ReadRun<Pcm16>(const uint8_t* s, int32_t channels, int32_t n, double* x0, double* x1) {
  int32_t i = 0;
  if (channels == 1) {
    for (; i + 2 <= n; i += 2) {
      int32_t two;
      std::memcpy(&two, s + 2 * i, 4);
      const __m128i v = _mm_cvtsi32_si128(two);
      _mm_storeu_pd(x0 + i, _mm_cvtepi32_pd(_mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16)));
    }
    for (; i < n; ++i) x0[i] = Pcm16::Read(s + 2 * i);
    return;
  }
  for (; i + 2 <= n; i += 2) {  // L0 R0 L1 R1, sign-extended to 32 bits
    const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + 4 * i));
    const __m128i w = _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16);
    _mm_storeu_pd(x0 + i, _mm_cvtepi32_pd(_mm_shuffle_epi32(w, _MM_SHUFFLE(3, 1, 2, 0))));
    _mm_storeu_pd(x1 + i, _mm_cvtepi32_pd(_mm_shuffle_epi32(w, _MM_SHUFFLE(2, 0, 3, 1))));
  }
  for (; i < n; ++i) {
    x0[i] = Pcm16::Read(s + 4 * i);
    x1[i] = Pcm16::Read(s + 4 * i + 2);
  }
}
#endif

// Writes `n` frames from one array per channel (y1 unused for one channel),
// interleaved: what Write gives value by value.
template <class F>
inline void WriteRun(uint8_t* s, int32_t channels, int32_t n, const double* y0, const double* y1) {
  const int32_t step = channels * F::kBytes;
  int32_t i = 0;
#if defined(__SSE2__)
  const __m128d scale = _mm_set1_pd(F::kScale);
  auto clip = [&](const double* y) {
    const __m128d v = _mm_loadu_pd(y);
    return ClipTruncate2(F::kScale == 1.0 ? v : _mm_mul_pd(v, scale), F::kLo, F::kHi);
  };
  for (; i + 2 <= n; i += 2) {
    __m128i a = clip(y0 + i);  // frames i and i + 1, as 32-bit values
    if (channels == 2) a = _mm_unpacklo_epi32(a, clip(y1 + i));
    if (F::kBytes == 2) {  // the low 16 bits of each, packed
      const __m128i low = _mm_srai_epi32(_mm_slli_epi32(a, 16), 16);
      const __m128i packed = _mm_packs_epi32(low, low);
      if (channels == 2) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(s + step * i), packed);
      } else {
        const int32_t two = _mm_cvtsi128_si32(packed);
        std::memcpy(s + step * i, &two, 4);
      }
      continue;
    }
    for (int k = 0; k < 2 * channels; ++k, a = _mm_srli_si128(a, 4)) {
      F::Put(s + step * i + F::kBytes * k, _mm_cvtsi128_si32(a));
    }
  }
#endif
  for (; i < n; ++i) {
    F::Write(s + step * i, y0[i]);
    if (channels == 2) F::Write(s + step * i + F::kBytes, y1[i]);
  }
}
