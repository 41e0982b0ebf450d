// SPDX-License-Identifier: GPL-2.0-or-later
// Engine allocation: fftw_malloc so every array suits the FFT plans.
#include "engine/memory.h"

#include <fftw3.h>

#include <atomic>
#include <cstring>

namespace {
std::atomic<int64_t> allocations{0};
std::atomic<int64_t> failAfter{-1};
}  // namespace

void* AllocZeroed(int64_t count, size_t size) {
  if (count < 0 || size == 0) return nullptr;
  if (static_cast<uint64_t>(count) > (SIZE_MAX / 2) / size) return nullptr;
  const size_t bytes = count == 0 ? size : static_cast<size_t>(count) * size;
  int64_t left = failAfter.load();
  while (left >= 0) {
    if (left == 0) return nullptr;
    if (failAfter.compare_exchange_weak(left, left - 1)) break;
  }
  void* block = fftw_malloc(bytes);
  if (!block) return nullptr;
  std::memset(block, 0, bytes);
  ++allocations;
  return block;
}

double* AllocDoubles(int64_t count) {
  return static_cast<double*>(AllocZeroed(count, sizeof(double)));
}

float* AllocFloats(int64_t count) { return static_cast<float*>(AllocZeroed(count, sizeof(float))); }

void FreeMemory(void* block) {
  if (block) fftw_free(block);
}

int64_t AllocationCount() { return allocations.load(); }

void FailAllocationsAfter(int64_t after) { failAfter = after; }
