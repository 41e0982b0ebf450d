// SPDX-License-Identifier: GPL-2.0-or-later
// Engine allocation: fftw_malloc so every array suits the FFT plans.
#include "base/memory.h"

#include <fftw3.h>

#include <atomic>
#include <cstring>

namespace {
std::atomic<int64_t> allocations{0};
std::atomic<int64_t> live{0};
std::atomic<int64_t> failAfter{-1};
std::atomic<int64_t> failCount{0};

// Counts an allocation against the failure switch: true when it must fail.
bool MustFail() {
  int64_t left = failAfter.load();
  while (left > 0) {
    if (failAfter.compare_exchange_weak(left, left - 1)) return false;
  }
  if (left < 0) return false;
  // The switch is on and spent: fail `count` times, then disable it.
  int64_t fails = failCount.load();
  while (fails > 0) {
    if (failCount.compare_exchange_weak(fails, fails - 1)) return true;
  }
  failAfter = -1;
  return false;
}
// A successful allocation or a release on this thread.
void Watch() {
  if (auto watch = MemoryWatch.load(std::memory_order_relaxed)) watch();
}
}  // namespace

std::atomic<void (*)()> MemoryWatch{nullptr};

void* AllocZeroed(int64_t count, size_t size) {
  if (count < 0 || size == 0) return nullptr;
  if (static_cast<uint64_t>(count) > (SIZE_MAX / 2) / size) return nullptr;
  const size_t bytes = count == 0 ? size : static_cast<size_t>(count) * size;
  if (MustFail()) return nullptr;
  void* block = fftw_malloc(bytes);
  if (!block) return nullptr;
  std::memset(block, 0, bytes);
  ++allocations;
  ++live;
  Watch();
  return block;
}

double* AllocDoubles(int64_t count) {
  return static_cast<double*>(AllocZeroed(count, sizeof(double)));
}

float* AllocFloats(int64_t count) { return static_cast<float*>(AllocZeroed(count, sizeof(float))); }

void FreeMemory(void* block) {
  if (!block) return;
  fftw_free(block);
  --live;
  Watch();
}

int64_t AllocationCount() { return allocations.load(); }
int64_t LiveAllocations() { return live.load(); }

void FailAllocationsAfter(int64_t after, int64_t count) {
  failCount = count;
  failAfter = after;
}

bool AllocChannelPair(ChannelPair* pair, int32_t channels, int64_t length) {
  pair->Channels = channels;
  pair->Data[0] = AllocDoubles(length);
  pair->Data[1] = nullptr;
  if (pair->Data[0] && (channels == 1 || (pair->Data[1] = AllocDoubles(length)))) return true;
  FreeChannelPair(pair);
  return false;
}

void FreeChannelPair(ChannelPair* pair) {
  for (double*& data : pair->Data) {
    FreeMemory(data);
    data = nullptr;
  }
}
