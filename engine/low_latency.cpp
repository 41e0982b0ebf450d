// The low-latency engine: non-uniformly partitioned overlap-save. Each level
// keeps the spectra of its recent input blocks (its frequency-domain delay
// line), multiplies them with its IR partitions, and adds the result into
// an output ring at the time it is due.
#include "engine/low_latency.h"

#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/memory.h"

PartitionLayout LowLatencyLayout = {512, 8, 32768};

namespace {

// A spectrum of Size + 1 bins in split form: the real parts, then the
// imaginary parts, each padded so that both start 32-byte aligned, as
// FFTW's vector code expects of the arrays it was planned for.
int64_t SplitHalf(int32_t size) { return (int64_t{size} + 1 + 3) / 4 * 4; }
int64_t SpectrumDoubles(int32_t size) { return 2 * SplitHalf(size); }

// sum = the sum over j of x[j] * h[j], bin by bin, for split spectra of
// `bins` bins (real parts at 0, imaginary parts at `half`). The partitions
// are walked inside each run of bins, so that the run of the sum stays in
// the first-level cache while the spectra stream past.
void SumProducts(double* sum, const double* const* x, const double* const* h, int count,
                 int32_t bins, int64_t half) {
  constexpr int32_t kRun = 256;
  double* sr = sum;
  double* si = sum + half;
  for (int32_t start = 0; start < bins; start += kRun) {
    const int32_t end = start + kRun < bins ? start + kRun : bins;
    std::memset(sr + start, 0, sizeof(double) * (end - start));
    std::memset(si + start, 0, sizeof(double) * (end - start));
    for (int j = 0; j < count; ++j) {
      const double* xr = x[j];
      const double* xi = x[j] + half;
      const double* hr = h[j];
      const double* hi = h[j] + half;
      int32_t k = start;
#if defined(__SSE2__)
      for (; k + 2 <= end; k += 2) {
        const __m128d a = _mm_load_pd(xr + k), b = _mm_load_pd(xi + k);
        const __m128d c = _mm_load_pd(hr + k), d = _mm_load_pd(hi + k);
        _mm_store_pd(sr + k, _mm_add_pd(_mm_load_pd(sr + k),
                                        _mm_sub_pd(_mm_mul_pd(a, c), _mm_mul_pd(b, d))));
        _mm_store_pd(si + k, _mm_add_pd(_mm_load_pd(si + k),
                                        _mm_add_pd(_mm_mul_pd(a, d), _mm_mul_pd(b, c))));
      }
#endif
      for (; k < end; ++k) {
        sr[k] += xr[k] * hr[k] - xi[k] * hi[k];
        si[k] += xr[k] * hi[k] + xi[k] * hr[k];
      }
    }
  }
}

// Plans over split spectra: one real transform of 2 size points.
fftw_plan PlanForward(int32_t size, double* time, double* spectrum) {
  fftw_iodim dim = {2 * size, 1, 1};
  return fftw_plan_guru_split_dft_r2c(1, &dim, 0, nullptr, time, spectrum,
                                      spectrum + SplitHalf(size), FFTW_ESTIMATE);
}

fftw_plan PlanInverse(int32_t size, double* spectrum, double* time) {
  fftw_iodim dim = {2 * size, 1, 1};
  return fftw_plan_guru_split_dft_c2r(1, &dim, 0, nullptr, spectrum, spectrum + SplitHalf(size),
                                      time, FFTW_ESTIMATE);
}

void Forward(const PartitionLevel& level, double* time, double* spectrum) {
  fftw_execute_split_dft_r2c(level.Forward, time, spectrum, spectrum + SplitHalf(level.Size));
}

// Copies `count` values of a ring, starting at stream time `from` (before
// the stream's start too, where the ring holds silence), to dst.
void CopyFromRing(double* dst, const double* ring, int32_t length, int64_t from, int32_t count) {
  const int32_t at = static_cast<int32_t>(((from % length) + length) % length);
  const int32_t first = count < length - at ? count : length - at;
  std::memcpy(dst, ring + at, sizeof(double) * first);
  std::memcpy(dst + first, ring, sizeof(double) * (count - first));
}

void AddToRing(double* ring, int32_t length, int64_t from, const double* src, int32_t count) {
  int32_t at = static_cast<int32_t>(from % length);
  for (int32_t i = 0; i < count; ++i) {
    ring[at] += src[i];
    if (++at == length) at = 0;
  }
}

// One level step at stream time `now` (the end of the block just taken).
void StepLevel(LowLatencyState* s, PartitionLevel* level, int64_t now) {
  const int32_t p = level->Size;
  const int64_t stride = SpectrumDoubles(p);
  level->Newest = (level->Newest + 1) % level->Count;
  for (int c = 0; c < s->InputChannels; ++c) {
    CopyFromRing(s->Time, s->InputRing[c], s->InputRingLength, now - 2 * int64_t{p}, 2 * p);
    Forward(*level, s->Time, level->DelayLine[c] + level->Newest * stride);
  }
  const double** x = s->Pairs;
  const double** h = s->Pairs + level->Count;
  for (int path = 0; path < s->OutputPaths; ++path) {
    const double* line = level->DelayLine[s->InputChannels == 1 ? 0 : path];
    const double* ir = level->IrSpectra[s->SharedIr ? 0 : path];
    // Partition j meets the input of j blocks ago.
    int32_t slot = level->Newest;
    for (int32_t j = 0; j < level->Count; ++j) {
      x[j] = line + slot * stride;
      h[j] = ir + j * stride;
      slot = slot == 0 ? level->Count - 1 : slot - 1;
    }
    SumProducts(s->Sum, x, h, level->Count, p + 1, SplitHalf(p));
    fftw_execute_split_dft_c2r(level->Inverse, s->Sum, s->Sum + SplitHalf(p), s->Time);
    // The valid half is the output for the block just ended, due Offset later.
    AddToRing(s->OutputRing[path], s->OutputRingLength, now - p + level->Offset, s->Time + p, p);
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
      // The next level may start once the IR covered reaches its size less
      // the first block: its first result is due exactly then.
      const int64_t needed = next - block - covered;
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
    covered += count * size;
    ++n;
    size *= growth;
  }
  return n;
}

int BuildLowLatency(LowLatencyState* s, const double* const ir[2], int32_t irChannels,
                    int64_t frames, int32_t inputChannels, int32_t outputPaths, bool sharedIr) {
  *s = LowLatencyState{};
  s->Block = LowLatencyLayout.Block;
  s->LevelCount = PlanPartitions(frames, LowLatencyLayout, s->Levels);
  s->InputChannels = inputChannels;
  s->OutputPaths = outputPaths;
  s->IrChannels = irChannels;
  s->SharedIr = sharedIr;
  int32_t largest = 0;
  int64_t latest = 0;
  for (int l = 0; l < s->LevelCount; ++l) {
    if (s->Levels[l].Size > largest) largest = s->Levels[l].Size;
    if (s->Levels[l].Offset > latest) latest = s->Levels[l].Offset;
  }
  // Input for the largest transform; output from the block being read to
  // the latest one due.
  s->InputRingLength = 2 * largest;
  s->OutputRingLength = static_cast<int32_t>(latest + 2 * int64_t{s->Block});
  s->Time = AllocDoubles(2 * int64_t{largest});
  s->Bins = s->Time ? AllocDoubles(SpectrumDoubles(largest)) : nullptr;
  s->Sum = s->Bins ? AllocDoubles(SpectrumDoubles(largest)) : nullptr;
  if (!s->Sum) return 0;
  int32_t most = 0;
  for (int l = 0; l < s->LevelCount; ++l) {
    if (s->Levels[l].Count > most) most = s->Levels[l].Count;
  }
  s->Pairs = static_cast<const double**>(AllocZeroed(2 * int64_t{most}, sizeof(double*)));
  if (!s->Pairs) return 0;
  for (int c = 0; c < inputChannels; ++c) {
    s->InputRing[c] = AllocDoubles(s->InputRingLength);
    if (!s->InputRing[c]) return 0;
  }
  for (int c = 0; c < outputPaths; ++c) {
    s->OutputRing[c] = AllocDoubles(s->OutputRingLength);
    if (!s->OutputRing[c]) return 0;
  }
  for (int l = 0; l < s->LevelCount; ++l) {
    PartitionLevel& level = s->Levels[l];
    const int32_t p = level.Size;
    const int64_t stride = SpectrumDoubles(p);
    level.Forward = PlanForward(p, s->Time, s->Bins);
    level.Inverse = PlanInverse(p, s->Bins, s->Time);
    if (!level.Forward || !level.Inverse) return 0;
    for (int c = 0; c < inputChannels; ++c) {
      level.DelayLine[c] = AllocDoubles(level.Count * stride);
      if (!level.DelayLine[c]) return 0;
    }
    level.Newest = level.Count - 1;
    const double scale = 1.0 / (2.0 * p);
    for (int c = 0; c < irChannels; ++c) {
      level.IrSpectra[c] = AllocDoubles(level.Count * stride);
      if (!level.IrSpectra[c]) return 0;
      for (int32_t j = 0; j < level.Count; ++j) {
        const int64_t first = level.Offset + int64_t{j} * p;
        const int64_t taps = frames - first < p ? frames - first : p;
        std::memset(s->Time, 0, sizeof(double) * 2 * p);
        for (int64_t k = 0; k < taps; ++k) s->Time[k] = ir[c][first + k] * scale;
        Forward(level, s->Time, level.IrSpectra[c] + j * stride);
      }
    }
  }
  return 1;
}

void FreeLowLatency(LowLatencyState* s) {
  for (int l = 0; l < s->LevelCount; ++l) {
    PartitionLevel& level = s->Levels[l];
    if (level.Forward) fftw_destroy_plan(level.Forward);
    if (level.Inverse) fftw_destroy_plan(level.Inverse);
    for (int c = 0; c < 2; ++c) {
      FreeMemory(level.IrSpectra[c]);
      FreeMemory(level.DelayLine[c]);
    }
  }
  for (int c = 0; c < 2; ++c) {
    FreeMemory(s->InputRing[c]);
    FreeMemory(s->OutputRing[c]);
  }
  FreeMemory(s->Time);
  FreeMemory(s->Bins);
  FreeMemory(s->Sum);
  FreeMemory(s->Pairs);
  *s = LowLatencyState{};
}

void ResetLowLatency(LowLatencyState* s) {
  for (int l = 0; l < s->LevelCount; ++l) {
    PartitionLevel& level = s->Levels[l];
    for (int c = 0; c < s->InputChannels; ++c) {
      std::memset(level.DelayLine[c], 0,
                  sizeof(double) * level.Count * SpectrumDoubles(level.Size));
    }
    level.Newest = level.Count - 1;
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
  for (int l = 0; l < s->LevelCount; ++l) {
    if (s->Frames % s->Levels[l].Size == 0) StepLevel(s, &s->Levels[l], s->Frames);
  }
  // The block due now: what every level has added for it, then room for the next.
  for (int path = 0; path < s->OutputPaths; ++path) {
    CopyFromRing(output[path], s->OutputRing[path], s->OutputRingLength, s->Frames - b, b);
    const int32_t at = static_cast<int32_t>((s->Frames - b) % s->OutputRingLength);
    std::memset(s->OutputRing[path] + at, 0, sizeof(double) * b);
  }
}

int64_t LowLatencyDoubles(const LowLatencyState& s) {
  const int32_t largest = s.InputRingLength / 2;
  int64_t total = 2 * int64_t{largest} + 2 * SpectrumDoubles(largest);  // the scratch arrays
  total += int64_t{s.InputRingLength} * s.InputChannels;
  total += int64_t{s.OutputRingLength} * s.OutputPaths;
  for (int l = 0; l < s.LevelCount; ++l) {
    const int64_t spectra = int64_t{s.Levels[l].Count} * SpectrumDoubles(s.Levels[l].Size);
    total += spectra * (s.InputChannels + s.IrChannels);
  }
  return total;
}
