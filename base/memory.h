// SPDX-License-Identifier: GPL-2.0-or-later
// Zero-filled, SIMD-aligned allocation for the engine and the IR code, below
// both, with a counter and a
// failure switch that tests use to reach every out-of-memory path; channel
// pairs; owners that release memory and files on every exit.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

// count elements of size bytes, zero-filled; null when it fails or when the
// byte size cannot be expressed. Aligned for FFTW's vector code.
void* AllocZeroed(int64_t count, size_t size);
double* AllocDoubles(int64_t count);
float* AllocFloats(int64_t count);
void FreeMemory(void* block);

// Number of successful allocations so far (to show the audio path takes none).
int64_t AllocationCount();

// Allocations not yet released (to show that nothing leaks).
int64_t LiveAllocations();

// When set, called on the thread that allocates or releases, at each
// successful allocation and each release: tests tell which thread did it.
extern std::atomic<void (*)()> MemoryWatch;

// The next `after` allocations succeed, then `count` fail (every later one
// by default), then they succeed again; -1 disables.
void FailAllocationsAfter(int64_t after, int64_t count = INT64_MAX);

// One or two zero-filled arrays of doubles, one per channel.
struct ChannelPair {
  int32_t Channels;  // 1 or 2; Data[1] is null with 1
  double* Data[2];
};

// Both arrays or neither: false with the pair left empty.
bool AllocChannelPair(ChannelPair* pair, int32_t channels, int64_t length);
// Releases the arrays (a second call does nothing) and leaves the pair empty.
void FreeChannelPair(ChannelPair* pair);

struct MemoryFreer {
  void operator()(void* block) const { FreeMemory(block); }
};
// An engine allocation released when it goes out of scope.
template <class T>
using Owned = std::unique_ptr<T, MemoryFreer>;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using OwnedFile = std::unique_ptr<std::FILE, FileCloser>;
