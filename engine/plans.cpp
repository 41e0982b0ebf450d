// SPDX-License-Identifier: GPL-2.0-or-later
// Transform length and FFT plans for an IR, for the engine and the IR tool.
#include "engine/plans.h"

#include <cstdint>

#include "engine/engine.h"
#include "engine/memory.h"

int64_t LimitedFrames(int64_t frames, int32_t limitOn, int32_t limitMs, int64_t rate) {
  if (!limitOn) return frames;
  const int64_t ms = limitMs ? limitMs : 10;
  const int64_t limit = ms * rate / 1000;
  if (limit < frames) frames = limit;
  return frames < 0 ? 0 : frames;
}

int32_t TransformLength(int64_t frames) {
  int64_t block = ChooseBlockLength(frames);
  if (block <= 0) block = 1;
  if (2 * block + 2 > INT32_MAX) return 0;
  return static_cast<int32_t>(2 * block);
}

// Plans for the arrays they will run on: fftw_malloc'ed, out of place.
bool MakeTransformPlans(int32_t n, unsigned flags, fftw_plan* forward, fftw_plan* inverse) {
  double* real = AllocDoubles(n);
  double* bins = real ? AllocDoubles(int64_t{n} + 2) : nullptr;
  if (bins) {
    auto* complex = reinterpret_cast<fftw_complex*>(bins);
    *forward = fftw_plan_dft_r2c_1d(n, real, complex, flags);
    *inverse = fftw_plan_dft_c2r_1d(n, complex, real, flags);
  }
  FreeMemory(bins);
  FreeMemory(real);
  return *forward && *inverse;
}
