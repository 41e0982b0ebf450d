// SPDX-License-Identifier: GPL-2.0-or-later
// The low-latency engine: non-uniformly partitioned overlap-save. Each level
// keeps the spectra of its recent input blocks (its frequency-domain delay
// line), multiplies them with its IR partitions, and adds the result into
// an output ring at the time it is due. A schedule made at build time
// spreads each long level's step over the calls of its period.
#include "engine/low_latency.h"

#include <cmath>
#include <cstring>
#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>
#endif

#include "base/memory.h"
#include "engine/plans.h"

double TransformWork(int32_t n) { return n * std::log2(static_cast<double>(n)); }

namespace {

// A spectrum of Size + 1 complex bins, interleaved as FFTW's r2c leaves it:
// in doubles for the transforms, and stored in floats padded so that each
// spectrum of a line starts 32-byte aligned.
int64_t SpectrumDoubles(int32_t size) { return 2 * int64_t{size} + 4; }
int64_t SpectrumFloats(int32_t size) { return 2 * int64_t{size} + 8; }

void StoreSpectrum(float* dst, const double* src, int32_t bins) {
  for (int32_t i = 0; i < 2 * bins; ++i) dst[i] = static_cast<float>(src[i]);
}

// s += x h over complex bins [start, end), all interleaved.
void ProductsPlain(double* s, const float* x, const float* h, int32_t start, int32_t end) {
  for (int32_t k = start; k < end; ++k) {
    const double a = x[2 * k], b = x[2 * k + 1], c = h[2 * k], d = h[2 * k + 1];
    s[2 * k] += a * c - b * d;
    s[2 * k + 1] += a * d + b * c;
  }
}

// sum = the sum over j of x[j] h[j], bin by bin, over bins [start, end).
// The portable way, and the vector kernels' last few bins. A range that
// starts at a multiple of 8 bins forms each bin's sum exactly as the whole
// range would, so a step cut into such runs is bit for bit the uncut one.
void SumProductsPlain(double* sum, const float* const* x, const float* const* h, int count,
                      int32_t start, int32_t end) {
  std::memset(sum + 2 * start, 0, sizeof(double) * 2 * (end - start));
  for (int j = 0; j < count; ++j) ProductsPlain(sum, x[j], h[j], start, end);
}

#if defined(__SSE2__)
// Every processor the DLL runs on has SSE2: the sums in single precision,
// four bins at a time with the partitions walked inside, so that the sums
// stay in registers (eight of them in 32-bit code), then widened.
void SumProductsSse2(double* sum, const float* const* x, const float* const* h, int count,
                     int32_t start, int32_t end) {
  const __m128 negateReal = _mm_castsi128_ps(_mm_set_epi32(0, INT32_MIN, 0, INT32_MIN));
  int32_t k = start;
  for (; k + 4 <= end; k += 4) {
    // direct: a c, b c; cross: b d, a d; per bin.
    __m128 direct0 = _mm_setzero_ps(), cross0 = direct0, direct1 = direct0, cross1 = direct0;
    for (int j = 0; j < count; ++j) {
      const __m128 x0 = _mm_loadu_ps(x[j] + 2 * k), h0 = _mm_loadu_ps(h[j] + 2 * k);
      direct0 = _mm_add_ps(direct0, _mm_mul_ps(x0, _mm_shuffle_ps(h0, h0, 0xA0)));
      cross0 = _mm_add_ps(cross0,
                          _mm_mul_ps(_mm_shuffle_ps(x0, x0, 0xB1), _mm_shuffle_ps(h0, h0, 0xF5)));
      const __m128 x1 = _mm_loadu_ps(x[j] + 2 * k + 4), h1 = _mm_loadu_ps(h[j] + 2 * k + 4);
      direct1 = _mm_add_ps(direct1, _mm_mul_ps(x1, _mm_shuffle_ps(h1, h1, 0xA0)));
      cross1 = _mm_add_ps(cross1,
                          _mm_mul_ps(_mm_shuffle_ps(x1, x1, 0xB1), _mm_shuffle_ps(h1, h1, 0xF5)));
    }
    // a c - b d, b c + a d
    const __m128 p0 = _mm_add_ps(direct0, _mm_xor_ps(cross0, negateReal));
    const __m128 p1 = _mm_add_ps(direct1, _mm_xor_ps(cross1, negateReal));
    _mm_storeu_pd(sum + 2 * k, _mm_cvtps_pd(p0));
    _mm_storeu_pd(sum + 2 * k + 2, _mm_cvtps_pd(_mm_movehl_ps(p0, p0)));
    _mm_storeu_pd(sum + 2 * k + 4, _mm_cvtps_pd(p1));
    _mm_storeu_pd(sum + 2 * k + 6, _mm_cvtps_pd(_mm_movehl_ps(p1, p1)));
  }
  SumProductsPlain(sum, x, h, count, k, end);
}
#endif

#if defined(__i386__) || defined(__x86_64__)
#define QLV_HAVE_FMA_PATH 1
// The same in single precision with fused multiply-adds, where the processor
// has them: eight bins at a time with the partitions walked inside, so that
// the sums stay in registers (eight of them in 32-bit code), then widened.
// The products are most of this engine's work; summed in floats, their
// rounding stays far below the output's last bit.
__attribute__((target("avx2,fma"))) void SumProductsFma(double* sum, const float* const* x,
                                                        const float* const* h, int count,
                                                        int32_t start, int32_t end) {
  int32_t k = start;
  for (; k + 8 <= end; k += 8) {
    // direct: a c, b c; cross: b d, a d; per bin.
    __m256 direct0 = _mm256_setzero_ps(), cross0 = direct0, direct1 = direct0, cross1 = direct0;
    for (int j = 0; j < count; ++j) {
      const __m256 x0 = _mm256_loadu_ps(x[j] + 2 * k);
      const __m256 h0 = _mm256_loadu_ps(h[j] + 2 * k);
      direct0 = _mm256_fmadd_ps(x0, _mm256_moveldup_ps(h0), direct0);
      cross0 = _mm256_fmadd_ps(_mm256_permute_ps(x0, 0xB1), _mm256_movehdup_ps(h0), cross0);
      const __m256 x1 = _mm256_loadu_ps(x[j] + 2 * k + 8);
      const __m256 h1 = _mm256_loadu_ps(h[j] + 2 * k + 8);
      direct1 = _mm256_fmadd_ps(x1, _mm256_moveldup_ps(h1), direct1);
      cross1 = _mm256_fmadd_ps(_mm256_permute_ps(x1, 0xB1), _mm256_movehdup_ps(h1), cross1);
    }
    const __m256 p0 = _mm256_addsub_ps(direct0, cross0);  // a c - b d, b c + a d
    const __m256 p1 = _mm256_addsub_ps(direct1, cross1);
    _mm256_storeu_pd(sum + 2 * k, _mm256_cvtps_pd(_mm256_castps256_ps128(p0)));
    _mm256_storeu_pd(sum + 2 * k + 4, _mm256_cvtps_pd(_mm256_extractf128_ps(p0, 1)));
    _mm256_storeu_pd(sum + 2 * k + 8, _mm256_cvtps_pd(_mm256_castps256_ps128(p1)));
    _mm256_storeu_pd(sum + 2 * k + 12, _mm256_cvtps_pd(_mm256_extractf128_ps(p1, 1)));
  }
  SumProductsPlain(sum, x, h, count, k, end);
}
#endif

void SumProducts(double* sum, const float* const* x, const float* const* h, int count,
                 int32_t start, int32_t end, bool fma) {
#if QLV_HAVE_FMA_PATH
  if (fma) return SumProductsFma(sum, x, h, count, start, end);
#endif
#if defined(__SSE2__)
  SumProductsSse2(sum, x, h, count, start, end);
#else
  SumProductsPlain(sum, x, h, count, start, end);
#endif
}

bool ProcessorHasFma() {
#if QLV_HAVE_FMA_PATH
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
  return false;
#endif
}

fftw_complex* Complex(double* v) { return reinterpret_cast<fftw_complex*>(v); }

// Copies `count` values of a ring, starting at stream time `from` (before
// the stream's start too, where the ring holds silence), to dst.
void CopyFromRing(double* dst, const double* ring, int32_t length, int64_t from, int32_t count) {
  const int32_t at = static_cast<int32_t>(((from % length) + length) % length);
  const int32_t first = count < length - at ? count : length - at;
  std::memcpy(dst, ring + at, sizeof(double) * first);
  std::memcpy(dst + first, ring, sizeof(double) * (count - first));
}

void AddToRing(double* ring, int32_t length, int64_t from, const double* src, int32_t count) {
  const int32_t at = static_cast<int32_t>(from % length);
  const int32_t first = count < length - at ? count : length - at;
  for (int32_t i = 0; i < first; ++i) ring[at + i] += src[i];
  for (int32_t i = first; i < count; ++i) ring[i - first] += src[i];
}

// The IR partitions each path multiplies: its own, and with a true-stereo
// IR the other input's cross path.
int32_t IrsPerPath(const LowLatencyState& s) { return s.IrChannels == 4 ? 2 : 1; }

// A step's work units: the forward transform of each input channel, then
// per path its products in runs of 8 bins and its inverse transform.
int32_t ProductRuns(const PartitionLevel& level) { return (level.Size + 1 + 7) / 8; }
int32_t StepUnits(const PartitionLevel& level, int32_t inputs, int32_t paths) {
  return inputs + paths * (ProductRuns(level) + 1);
}

struct Unit {
  enum { kForward, kProducts, kInverse } kind;
  int32_t channel;  // the input channel, or the path
  int32_t run;      // for products: the first run of 8 bins
};

Unit UnitAt(const LowLatencyState& s, const PartitionLevel& level, int32_t u) {
  if (u < s.InputChannels) return {Unit::kForward, u, 0};
  const int32_t runs = ProductRuns(level);
  const int32_t path = (u - s.InputChannels) / (runs + 1);
  const int32_t run = (u - s.InputChannels) % (runs + 1);
  return {run == runs ? Unit::kInverse : Unit::kProducts, path, run};
}

// The newest input spectrum of one channel into the delay line.
void Forward(LowLatencyState* s, PartitionLevel* level, int l, int32_t c) {
  const int32_t p = level->Size;
  CopyFromRing(level->Out[0], s->InputRing[c], s->InputRingLength, level->Now - 2 * int64_t{p},
               2 * p);
  fftw_execute_dft_r2c(level->Forward, level->Out[0], Complex(level->Bins));
  StoreSpectrum(level->DelayLine[c] + level->Newest * SpectrumFloats(p), level->Bins, p + 1);
  ++s->LastStep.Transforms[l];
}

// One path's products over runs [first, last): partition j meets the input
// of j steps ago. A true-stereo path sums its own input's products first,
// then the other input's with its cross path.
void Products(LowLatencyState* s, PartitionLevel* level, int l, int32_t path, int32_t first,
              int32_t last) {
  const int32_t p = level->Size;
  const int64_t stride = SpectrumFloats(p);
  const int32_t irs = IrsPerPath(*s);
  const float** x = level->Pairs;
  const float** h = level->Pairs + int64_t{level->Count} * irs;
  int32_t pairs = 0;
  for (int32_t k = 0; k < irs; ++k) {
    const float* line = level->DelayLine[s->InputChannels == 1 ? 0 : k == 0 ? path : 1 - path];
    const float* ir = level->IrSpectra[s->SharedIr ? 0 : 2 * k + path];
    int32_t slot = level->Newest;
    for (int32_t j = 0; j < level->Filled; ++j, ++pairs) {
      x[pairs] = line + slot * stride;
      h[pairs] = ir + j * stride;
      slot = slot == 0 ? level->Count - 1 : slot - 1;
    }
  }
  const int32_t start = 8 * first;
  const int32_t end = 8 * last < p + 1 ? 8 * last : p + 1;
  SumProducts(level->Bins, x, h, pairs, start, end, s->Fma);
  s->LastStep.Products[l] += int64_t{end - start} * pairs;
}

void Inverse(LowLatencyState* s, PartitionLevel* level, int l, int32_t path) {
  fftw_execute_dft_c2r(level->Inverse, Complex(level->Bins), level->Out[path]);
  ++s->LastStep.Transforms[l];
}

// Carries the step in hand on to `upto` units.
void RunLevel(LowLatencyState* s, int l, int32_t upto) {
  PartitionLevel* level = &s->Levels[l];
  while (level->Done < upto) {
    const Unit u = UnitAt(*s, *level, level->Done);
    if (u.kind == Unit::kForward) {
      Forward(s, level, l, u.channel);
      ++level->Done;
    } else if (u.kind == Unit::kInverse) {
      Inverse(s, level, l, u.channel);
      ++level->Done;
    } else {
      const int32_t runs = ProductRuns(*level);
      const int32_t last =
          u.run + (upto - level->Done) < runs ? u.run + (upto - level->Done) : runs;
      Products(s, level, l, u.channel, u.run, last);
      level->Done += last - u.run;
    }
  }
}

// The step's valid halves into the output rings, due Offset after its input.
void AddLevel(LowLatencyState* s, const PartitionLevel& level) {
  const int32_t p = level.Size;
  for (int path = 0; path < s->OutputPaths; ++path) {
    AddToRing(s->OutputRing[path], s->OutputRingLength, level.Now - p + level.Offset,
              level.Out[path] + p, p);
  }
}

// The schedule: for each call of the cycle and each level, how far its step
// has come by the end of that call. Each level's step must end within its
// period; the levels are served earliest deadline first (the shorter
// periods), each call taking up to the even share of the work. A transform
// cannot be cut: it starts only while the call is under its share, and not
// in a call where another level ran one, unless it fits what is left.
// Without Spread each step runs whole in the first call of its period. The
// head (a period of one call) runs whole in every call and is left out.
void MakeSchedule(LowLatencyState* s, bool spread) {
  double even = 0;
  double transform[kMaxLevels], run[kMaxLevels];
  for (int l = 0; l < s->LevelCount; ++l) {
    const PartitionLevel& level = s->Levels[l];
    transform[l] = TransformWork(2 * level.Size);
    run[l] = 8 * level.Count * IrsPerPath(*s) * kProductWork;
    const double work =
        (s->InputChannels + s->OutputPaths) * transform[l] +
        s->OutputPaths * (level.Size + 1.0) * level.Count * IrsPerPath(*s) * kProductWork;
    if (level.Period > 1) even += work / level.Period;
  }
  int32_t done[kMaxLevels] = {};
  for (int32_t call = 0; call < s->Cycle; ++call) {
    double used = 0;
    int transformer = -1;
    for (int l = 0; l < s->LevelCount; ++l) {
      PartitionLevel& level = s->Levels[l];
      const int32_t units = level.Units;
      const bool first = call % level.Period == 0, last = call % level.Period == level.Period - 1;
      if (first) done[l] = !spread || level.Period == 1 ? units : 0;
      while (done[l] < units) {
        const Unit u = UnitAt(*s, level, done[l]);
        if (u.kind != Unit::kProducts) {
          const bool ahead = done[l] * level.Period >= units * (call % level.Period + 1);
          const bool crowded = transformer >= 0 && transformer != l && used + transform[l] > even;
          if (!last && crowded && ahead) break;
          if (!last && used >= even) break;
          used += transform[l];
          transformer = l;
          ++done[l];
        } else {
          if (!last && used >= even) break;
          const int32_t left = ProductRuns(level) - u.run;
          const double want = std::ceil((even - used) / run[l]);
          const int32_t take = last || want >= left ? left : static_cast<int32_t>(want);
          used += take * run[l];
          done[l] += take;
        }
      }
      s->Schedule[l * s->Cycle + call] = done[l];
    }
  }
}

}  // namespace

int PlanPartitions(int64_t frames, const PartitionLayout& layout,
                   PartitionLevel levels[kMaxLevels]) {
  const int64_t block = layout.Block, growth = layout.Growth, largest = layout.Largest;
  if (frames < 1) frames = 1;
  int64_t covered = 0;
  int64_t size = block;
  int n = 0;
  while (covered < frames) {
    const int64_t rest = frames - covered;
    int64_t count = (rest + size - 1) / size;
    const int64_t next = size * growth;
    if (growth > 1 && next <= largest && n + 1 < kMaxLevels) {
      // The next level may start once the IR covered reaches twice its size
      // less two blocks: its step then has a whole period of calls before
      // its first result is due.
      const int64_t needed = 2 * next - 2 * block - covered;
      const int64_t enough = needed <= 0 ? 1 : (needed + size - 1) / size;
      // Growing pays when the rest is long: a level costs a transform pair
      // per frame (about 5 log2 of its length in operations), a partition
      // one complex product per frame (about 8).
      const int64_t after = rest - enough * size;
      double transform = 0;
      for (int64_t t = 2 * next; t > 1; t /= 2) transform += 5;
      const double grow = 8.0 * enough + transform + 8.0 * ((after + next - 1) / next);
      if (after > 0 && grow < 8.0 * count) count = enough;
    }
    levels[n] = PartitionLevel{};
    levels[n].Size = static_cast<int32_t>(size);
    levels[n].Count = static_cast<int32_t>(count);
    levels[n].Offset = covered;
    levels[n].Period = static_cast<int32_t>(size / block);
    covered += count * size;
    ++n;
    size *= growth;
  }
  return n;
}

bool BuildLowLatency(LowLatencyState* s, const double* const ir[4], int32_t irChannels,
                     int64_t frames, int32_t inputChannels, int32_t outputPaths, bool sharedIr,
                     const PartitionLayout& layout) {
  *s = LowLatencyState{};
  s->Block = layout.Block;
  s->LevelCount = PlanPartitions(frames, layout, s->Levels);
  s->InputChannels = inputChannels;
  s->OutputPaths = outputPaths;
  s->IrChannels = irChannels;
  s->SharedIr = sharedIr;
  s->Fma = ProcessorHasFma();
  int32_t largest = 0;
  int64_t latest = 0;
  for (int l = 0; l < s->LevelCount; ++l) {
    if (s->Levels[l].Size > largest) largest = s->Levels[l].Size;
    if (s->Levels[l].Offset > latest) latest = s->Levels[l].Offset;
  }
  // Input for the largest transform, taken as late as the last call of its
  // period; output from the block being read to the latest one due.
  s->InputRingLength = 3 * largest;
  s->OutputRingLength = static_cast<int32_t>(latest + 2 * int64_t{s->Block});
  s->Cycle = largest / s->Block;
  for (int c = 0; c < inputChannels; ++c) {
    s->InputRing[c] = AllocDoubles(s->InputRingLength);
    if (!s->InputRing[c]) return false;
  }
  for (int c = 0; c < outputPaths; ++c) {
    s->OutputRing[c] = AllocDoubles(s->OutputRingLength);
    if (!s->OutputRing[c]) return false;
  }
  s->Schedule =
      static_cast<int32_t*>(AllocZeroed(int64_t{s->LevelCount} * s->Cycle, sizeof(int32_t)));
  if (!s->Schedule) return false;
  for (int l = 0; l < s->LevelCount; ++l) {
    PartitionLevel& level = s->Levels[l];
    const int32_t p = level.Size;
    const int64_t stride = SpectrumFloats(p);
    level.Units = StepUnits(level, inputChannels, outputPaths);
    if (!MakeTransformPlans(2 * p, FFTW_ESTIMATE, &level.Forward, &level.Inverse)) return false;
    level.Bins = AllocDoubles(SpectrumDoubles(p));
    level.Pairs = static_cast<const float**>(
        AllocZeroed(2 * int64_t{level.Count} * IrsPerPath(*s), sizeof(float*)));
    if (!level.Bins || !level.Pairs) return false;
    for (int c = 0; c < outputPaths; ++c) {
      level.Out[c] = AllocDoubles(2 * int64_t{p});
      if (!level.Out[c]) return false;
    }
    for (int c = 0; c < inputChannels; ++c) {
      level.DelayLine[c] = AllocFloats(level.Count * stride);
      if (!level.DelayLine[c]) return false;
    }
    const double scale = 1.0 / (2.0 * p);
    double* time = level.Out[0];
    for (int c = 0; c < irChannels; ++c) {
      level.IrSpectra[c] = AllocFloats(level.Count * stride);
      if (!level.IrSpectra[c]) return false;
      for (int32_t j = 0; j < level.Count; ++j) {
        const int64_t first = level.Offset + int64_t{j} * p;
        const int64_t taps = frames - first < p ? frames - first : p;
        std::memset(time, 0, sizeof(double) * 2 * p);
        for (int64_t k = 0; k < taps; ++k) time[k] = ir[c][first + k] * scale;
        fftw_execute_dft_r2c(level.Forward, time, Complex(level.Bins));
        StoreSpectrum(level.IrSpectra[c] + j * stride, level.Bins, p + 1);
      }
    }
  }
  MakeSchedule(s, layout.Spread);
  ResetLowLatency(s);
  return true;
}

void FreeLowLatency(LowLatencyState* s) {
  for (int l = 0; l < s->LevelCount; ++l) {
    PartitionLevel& level = s->Levels[l];
    DestroyPlan(&level.Forward);
    DestroyPlan(&level.Inverse);
    for (float* spectra : level.IrSpectra) FreeMemory(spectra);
    for (int c = 0; c < 2; ++c) {
      FreeMemory(level.DelayLine[c]);
      FreeMemory(level.Out[c]);
    }
    FreeMemory(level.Bins);
    FreeMemory(level.Pairs);
  }
  for (int c = 0; c < 2; ++c) {
    FreeMemory(s->InputRing[c]);
    FreeMemory(s->OutputRing[c]);
  }
  FreeMemory(s->Schedule);
  *s = LowLatencyState{};
}

// The stream restarts at time 0, where every level's step for the silence
// before it is done and its result (silence) is still to be added. The
// delay lines, as large as the IR, are not cleared: only the spectra taken
// since are read.
void ResetLowLatency(LowLatencyState* s) {
  for (int l = 0; l < s->LevelCount; ++l) {
    PartitionLevel& level = s->Levels[l];
    level.Filled = 0;
    level.Silent = true;
    level.Newest = level.Count - 1;
    level.Now = 0;
    level.Done = level.Units;
  }
  for (int c = 0; c < s->InputChannels; ++c) {
    std::memset(s->InputRing[c], 0, sizeof(double) * s->InputRingLength);
  }
  for (int c = 0; c < s->OutputPaths; ++c) {
    std::memset(s->OutputRing[c], 0, sizeof(double) * s->OutputRingLength);
  }
  s->Frames = 0;
}

void LowLatencyStep(LowLatencyState* s, const double* const input[2], double* const output[2]) {
  const int32_t b = s->Block;
  for (int c = 0; c < s->InputChannels; ++c) {
    const int32_t at = static_cast<int32_t>(s->Frames % s->InputRingLength);
    std::memcpy(s->InputRing[c] + at, input[c], sizeof(double) * b);
  }
  s->Frames += b;
  s->LastStep = StepWork{};
  const int64_t call = s->Frames / b;
  const int32_t inCycle = static_cast<int32_t>(call % s->Cycle);
  for (int l = 0; l < s->LevelCount; ++l) {
    PartitionLevel& level = s->Levels[l];
    if (call % level.Period == 0) {  // a new step: its input ends here
      level.Newest = (level.Newest + 1) % level.Count;
      if (level.Filled < level.Count) ++level.Filled;
      level.Silent = false;
      level.Now = s->Frames;
      level.Done = 0;
    }
    RunLevel(s, l, s->Schedule[l * s->Cycle + inCycle]);
  }
  // Results whose period ends here, in the levels' order whatever the
  // schedule, so that the sums are the same however the work was cut.
  for (int l = 0; l < s->LevelCount; ++l) {
    const PartitionLevel& level = s->Levels[l];
    if (call % level.Period == level.Period - 1 && !level.Silent) AddLevel(s, level);
  }
  // The block due now: what every level has added for it, then room for the next.
  for (int path = 0; path < s->OutputPaths; ++path) {
    CopyFromRing(output[path], s->OutputRing[path], s->OutputRingLength, s->Frames - b, b);
    const int32_t at = static_cast<int32_t>((s->Frames - b) % s->OutputRingLength);
    std::memset(s->OutputRing[path] + at, 0, sizeof(double) * b);
  }
}

int64_t LowLatencyBytes(const LowLatencyState& s) {
  int64_t doubles = int64_t{s.InputRingLength} * s.InputChannels;
  doubles += int64_t{s.OutputRingLength} * s.OutputPaths;
  int64_t floats = 0;
  for (int l = 0; l < s.LevelCount; ++l) {
    const int32_t p = s.Levels[l].Size;
    doubles += SpectrumDoubles(p) + 2 * int64_t{p} * s.OutputPaths;  // the level's scratch
    const int64_t spectra = int64_t{s.Levels[l].Count} * SpectrumFloats(p);
    floats += spectra * (s.InputChannels + s.IrChannels);
  }
  return 8 * doubles + 4 * floats + 4 * int64_t{s.LevelCount} * s.Cycle;
}

// The engine kind: the partitions, with the block's input and output of
// their own, stepped every Block frames.
extern const EngineKind kLowLatencyEngine;

namespace {

struct Partitioned {
  LowLatencyState Levels;
  double* InputBlock[2];   // per work channel, Block frames
  double* OutputBlock[2];  // per output path, Block frames
};

Partitioned* StateOf(const ConvolutionEngine& e) { return static_cast<Partitioned*>(e.State); }

// The IR's samples back from its spectra (the same analysis, peak and graph
// as the one-block engine), then cut into partitions.
bool Build(ConvolutionEngine* e, PreparedIr* ir, const PartitionLayout& layout) {
  auto* p = static_cast<Partitioned*>(AllocZeroed(1, sizeof(Partitioned)));
  if (!p) return false;
  e->State = p;
  const int32_t n = ir->FftLength;
  const EngineRoute& route = e->Route;
  {
    Owned<double> bins(AllocDoubles(int64_t{n} + 2));
    Owned<double> time[4];
    if (!bins) return false;
    for (int c = 0; c < route.IrChannels; ++c) {
      time[c].reset(AllocDoubles(n));
      if (!time[c]) return false;
      const double* h = c < 2 ? ir->Spectra.Data[c] : ir->Cross.Data[c - 2];
      double* b = bins.get();
      for (int32_t k = 0; k <= n / 2; ++k) b[2 * k] = h[k];
      for (int32_t k = 1; k < n / 2; ++k) b[2 * k + 1] = h[n - k];
      b[1] = 0.0;
      b[n + 1] = 0.0;
      fftw_execute_dft_c2r(ir->Inverse, Complex(b), time[c].get());
    }
    // Loading is done: its spectra and plans go before the partitions take memory.
    FreePreparedIr(ir);
    const double* samples[4] = {time[0].get(), time[1].get(), time[2].get(), time[3].get()};
    const int32_t inputs = route.InputMode == InputStereo ? 2 : 1;  // else one mixed or mono
    if (!BuildLowLatency(&p->Levels, samples, route.IrChannels, ir->Frames, inputs,
                         route.WorkChannels, route.BlockMode == BlockTwoWithOneIr, layout)) {
      return false;
    }
  }
  const int32_t block = p->Levels.Block;
  for (int c = 0; c < route.WorkChannels; ++c) {
    p->InputBlock[c] = AllocDoubles(block);
    p->OutputBlock[c] = p->InputBlock[c] ? AllocDoubles(block) : nullptr;
    if (!p->OutputBlock[c]) return false;
    e->Input[c] = p->InputBlock[c];
    e->Output[c] = p->OutputBlock[c];
  }
  e->BlockLength = block;
  return true;
}

void Step(ConvolutionEngine* e) {
  Partitioned& p = *StateOf(*e);
  LowLatencyStep(&p.Levels, p.InputBlock, p.OutputBlock);
}

void Reset(ConvolutionEngine* e) { ResetLowLatency(&StateOf(*e)->Levels); }

void Release(ConvolutionEngine* e) {
  Partitioned* p = StateOf(*e);
  if (!p) return;
  FreeLowLatency(&p->Levels);
  for (int c = 0; c < 2; ++c) {
    FreeMemory(p->InputBlock[c]);
    FreeMemory(p->OutputBlock[c]);
  }
  FreeMemory(p);
  e->State = nullptr;
}

int64_t Bytes(const ConvolutionEngine& e) {
  const Partitioned& p = *StateOf(e);
  return LowLatencyBytes(p.Levels) + 16 * int64_t{p.Levels.Block} * e.Route.WorkChannels + sizeof p;
}

// The whole IR's length serves only to load it; the partitions stream.
int Lengths(int64_t frames, const PartitionLayout& layout,
            PlannedLength lengths[kMaxPlannedLengths]) {
  static_assert(kMaxLevels + 1 <= kMaxPlannedLengths, "room for every level");
  const int32_t n = TransformLength(frames);
  if (n == 0) return 0;
  lengths[0] = {n, false};
  PartitionLevel levels[kMaxLevels];
  const int count = PlanPartitions(frames, layout, levels);
  for (int l = 0; l < count; ++l) lengths[l + 1] = {2 * levels[l].Size, true};
  return count + 1;
}

}  // namespace

LowLatencyState* PartitionsOf(const ConvolutionEngine& e) {
  return e.Kind == &kLowLatencyEngine ? &StateOf(e)->Levels : nullptr;
}

extern const EngineKind kLowLatencyEngine = {Build, Step,    Reset, Release,
                                             Bytes, Lengths, true,  false};
