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

#if defined(__SSE2__)
// Four packed 24-bit samples, in order, as 32-bit values. Two overlapping
// 8-byte loads touch nothing past the 12 bytes; after them samples 1 and 3
// sit in the top three bytes of lanes 1 and 3, and, one byte on in each
// half, 0 and 2 in lanes 0 and 2. Two frames come as L0 L1 R0 R1.
inline __m128i Load24(const uint8_t* p, int32_t channels) {
  const __m128i lo = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
  const __m128i hi = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 4));
  const __m128i odd = _mm_unpacklo_epi64(_mm_slli_epi64(lo, 16), hi);
  const __m128i even = _mm_srli_epi64(odd, 8);
  const __m128i e = _mm_shuffle_epi32(even, _MM_SHUFFLE(3, 1, 2, 0));  // 0 2
  const __m128i o = _mm_shuffle_epi32(odd, _MM_SHUFFLE(2, 0, 3, 1));   // 1 3
  return _mm_srai_epi32(channels == 1 ? _mm_unpacklo_epi32(e, o) : _mm_unpacklo_epi64(e, o), 8);
}

// Four frames as doubles: per channel, frames 0 and 1, then 2 and 3.
struct FourFrames {
  __m128d A0, A1;  // channel 0
  __m128d B0, B1;  // channel 1
};

// Four 32-bit values as two pairs of doubles, times `scale`.
inline void ToDoubles(__m128i v, double scale, __m128d* lo, __m128d* hi) {
  *lo = _mm_cvtepi32_pd(v);
  *hi = _mm_cvtepi32_pd(_mm_srli_si128(v, 8));
  if (scale != 1.0) {
    *lo = _mm_mul_pd(*lo, _mm_set1_pd(scale));
    *hi = _mm_mul_pd(*hi, _mm_set1_pd(scale));
  }
}

// Four frames of C channels from p as the values Read gives. 8 and 16-bit
// samples go through 16-bit lanes, an 8-bit one less 128 in the high byte.
template <class F, int32_t C>
inline FourFrames ReadFour(const uint8_t* p) {
  __m128i a, b = _mm_setzero_si128();  // per channel, four 32-bit values
  if constexpr (F::kBytes == 3) {
    if (C == 1) {
      a = Load24(p, 1);
    } else {
      const __m128i u = Load24(p, 2), v = Load24(p + 12, 2);
      a = _mm_unpacklo_epi64(u, v);
      b = _mm_unpackhi_epi64(u, v);
    }
  } else {
    __m128i w;
    if (F::kBytes == 2) {
      w = C == 1 ? _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))
                 : _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    } else {
      int32_t four = 0;
      std::memcpy(&four, p, 4);
      w = C == 1 ? _mm_cvtsi32_si128(four) : _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
      w = _mm_unpacklo_epi8(_mm_setzero_si128(), _mm_xor_si128(w, _mm_set1_epi8(-128)));
    }
    if (C == 1) {
      a = _mm_srai_epi32(_mm_unpacklo_epi16(w, w), 16);
    } else {  // each 32-bit lane a frame, the left sample in its low half
      a = _mm_srai_epi32(_mm_slli_epi32(w, 16), 16);
      b = _mm_srai_epi32(w, 16);
    }
  }
  const double scale = F::kBytes == 3 ? 1.0 / 256 : 1.0;
  FourFrames x;
  ToDoubles(a, scale, &x.A0, &x.A1);
  if (C == 2) {
    ToDoubles(b, scale, &x.B0, &x.B1);
  } else {
    x.B0 = x.B1 = _mm_setzero_pd();
  }
  return x;
}
#endif

// A run of `n` interleaved frames of one or two channels into one array of
// doubles per channel (x1 unused for one): the values Read gives.
template <class F>
inline void ReadRun(const uint8_t* s, int32_t channels, int32_t n, double* x0, double* x1) {
  int32_t i = 0;
#if defined(__SSE2__)
  for (; channels == 1 && i + 4 <= n; i += 4) {
    const FourFrames v = ReadFour<F, 1>(s + F::kBytes * i);
    _mm_storeu_pd(x0 + i, v.A0);
    _mm_storeu_pd(x0 + i + 2, v.A1);
  }
  for (; channels == 2 && i + 4 <= n; i += 4) {
    const FourFrames v = ReadFour<F, 2>(s + 2 * F::kBytes * i);
    _mm_storeu_pd(x0 + i, v.A0);
    _mm_storeu_pd(x0 + i + 2, v.A1);
    _mm_storeu_pd(x1 + i, v.B0);
    _mm_storeu_pd(x1 + i + 2, v.B1);
  }
#endif
  if (channels == 1) {
    for (; i < n; ++i) x0[i] = F::Read(s + F::kBytes * i);
    return;
  }
  for (; i < n; ++i) {
    x0[i] = F::Read(s + 2 * F::kBytes * i);
    x1[i] = F::Read(s + 2 * F::kBytes * i + F::kBytes);
  }
}

#if defined(__SSE2__)
// Eight 32-bit values, a's then b's, stored as eight samples: the low 8, 16
// or 24 bits of each, as Put stores them. With `room` after them, 24-bit
// samples may write two bytes of zeros past their 24, which the next group
// overwrites.
template <class F>
inline void PutEight(uint8_t* p, __m128i a, __m128i b, bool room) {
  auto* to = reinterpret_cast<__m128i*>(p);
  if constexpr (F::kBytes == 2) {
    const __m128i lo = _mm_srai_epi32(_mm_slli_epi32(a, 16), 16);
    const __m128i hi = _mm_srai_epi32(_mm_slli_epi32(b, 16), 16);
    _mm_storeu_si128(to, _mm_packs_epi32(lo, hi));
  } else if constexpr (F::kBytes == 1) {  // the low byte plus 128
    const __m128i lo = _mm_srai_epi32(_mm_slli_epi32(a, 24), 24);
    const __m128i hi = _mm_srai_epi32(_mm_slli_epi32(b, 24), 24);
    const __m128i w = _mm_packs_epi32(lo, hi);
    _mm_storel_epi64(to, _mm_xor_si128(_mm_packs_epi16(w, w), _mm_set1_epi8(-128)));
  } else {
    // Per 64-bit half, two values' low three bytes side by side: four runs
    // of six bytes, each stored as eight, the next store overwriting the two
    // left over.
    const __m128i low = _mm_set1_epi64x(0xFFFFFF), next = _mm_set1_epi64x(0xFFFFFF000000);
    const __m128i u =
        _mm_or_si128(_mm_and_si128(a, low), _mm_and_si128(_mm_srli_epi64(a, 8), next));
    const __m128i v =
        _mm_or_si128(_mm_and_si128(b, low), _mm_and_si128(_mm_srli_epi64(b, 8), next));
    const __m128i last = _mm_srli_si128(v, 8);
    _mm_storel_epi64(to, u);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p + 6), _mm_srli_si128(u, 8));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p + 12), v);
    if (room) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(p + 18), last);
    } else {  // bytes 16 to 23: the third run's last two, then the fourth
      _mm_storel_epi64(reinterpret_cast<__m128i*>(p + 16),
                       _mm_or_si128(_mm_srli_epi64(v, 32), _mm_slli_epi64(last, 16)));
    }
  }
}
#endif

// Writes `n` frames from one array per channel (y1 unused for one channel,
// and the same as y0 for one result written to both), interleaved: what
// Write gives value by value. With SSE2, eight samples at a time.
template <class F>
inline void WriteRun(uint8_t* s, int32_t channels, int32_t n, const double* y0, const double* y1) {
  const int32_t step = channels * F::kBytes;
  int32_t i = 0;
#if defined(__SSE2__)
  const __m128d scale = _mm_set1_pd(F::kScale);
  auto clip = [&](const double* y) {  // two values into the low two 32-bit lanes
    const __m128d v = _mm_loadu_pd(y);
    return ClipTruncate2(F::kScale == 1.0 ? v : _mm_mul_pd(v, scale), F::kLo, F::kHi);
  };
  for (; channels == 1 && i + 8 <= n; i += 8) {
    PutEight<F>(s + step * i, _mm_unpacklo_epi64(clip(y0 + i), clip(y0 + i + 2)),
                _mm_unpacklo_epi64(clip(y0 + i + 4), clip(y0 + i + 6)), i + 8 < n);
  }
  for (; channels == 2 && y1 == y0 && i + 4 <= n; i += 4) {
    const __m128i a = clip(y0 + i), b = clip(y0 + i + 2);
    PutEight<F>(s + step * i, _mm_unpacklo_epi32(a, a), _mm_unpacklo_epi32(b, b), i + 4 < n);
  }
  for (; channels == 2 && i + 4 <= n; i += 4) {
    PutEight<F>(s + step * i, _mm_unpacklo_epi32(clip(y0 + i), clip(y1 + i)),
                _mm_unpacklo_epi32(clip(y0 + i + 2), clip(y1 + i + 2)), i + 4 < n);
  }
#endif
  for (; i < n; ++i) {
    F::Write(s + step * i, y0[i]);
    if (channels == 2) F::Write(s + step * i + F::kBytes, y1[i]);
  }
}
