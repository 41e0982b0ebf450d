// SPDX-License-Identifier: GPL-2.0-or-later
// Block and transform lengths, FFT plans and the planning data they start
// from, for the engine and the IR tool.
#include "engine/plans.h"

#include <cstdint>
#include <cstdio>
#include <initializer_list>

#include "base/memory.h"
#include "engine/engine_lock.h"

int64_t ChooseBlockLength(int64_t frames) {
  if (frames <= 1) return 1;
  int64_t result = 1;
  int64_t c = frames;
  bool used11 = false;
  bool used13 = false;
  for (;;) {
    for (int64_t p : {2, 3, 5, 7}) {
      while (c % p == 0) {
        c /= p;
        result *= p;
      }
    }
    if (!used11 && c % 11 == 0) {
      c /= 11;
      result *= 11;
      used11 = true;
    }
    if (!used13 && c % 13 == 0) {
      c /= 13;
      result *= 13;
      used13 = true;
    }
    if (c <= 1) return result;
    ++c;  // the cofactor grows, not the frame count
  }
}

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
  Owned<double> real(AllocDoubles(n));
  Owned<double> bins(real ? AllocDoubles(int64_t{n} + 2) : nullptr);
  if (!bins) return false;
  auto* complex = reinterpret_cast<fftw_complex*>(bins.get());
  PlannerLockGuard hold;
  *forward = fftw_plan_dft_r2c_1d(n, real.get(), complex, flags);
  *inverse = fftw_plan_dft_c2r_1d(n, complex, real.get(), flags);
  return *forward && *inverse;
}

void DestroyPlan(fftw_plan* plan) {
  if (!*plan) return;
  PlannerLockGuard hold;
  fftw_destroy_plan(*plan);
  *plan = nullptr;
}

void CleanUpPlanner() {
  PlannerLockGuard hold;
  fftw_cleanup();
}

void ImportWisdom(const char* path) {
  std::FILE* file = std::fopen(path, "rt");
  if (!file) return;
  {
    PlannerLockGuard hold;
    fftw_import_wisdom_from_file(file);
  }
  std::fclose(file);
}
