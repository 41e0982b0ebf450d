// SPDX-License-Identifier: GPL-2.0-or-later
// The engine in tests and test tools: baseline settings, an IR named in the
// settings, and audio streamed through ProcessSamples. No test framework.
#pragma once

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "engine/engine_lock.h"
#include "engine/in_force.h"
#include "engine/plans.h"

// Active, 0 dB without automatic gain, no limit, no mono options, the
// one-block engine, 44.1 kHz.
inline void ResetSettings() {
  Settings.Active = 1;
  Settings.AutoGain = 0;
  SetGainDB(0);
  Settings.IRLimitEn = 0;
  Settings.IRLimit = 4000;
  Settings.ForceMonoIn = 0;
  Settings.ForceMonoOut = 0;
  Settings.LowLatency = 0;
  Settings.SampleRate = 44100;
}

inline void NameIr(const std::string& path) {
  std::snprintf(Settings.IRFile, kPathChars, "%s", path.c_str());
}

// A copy of the engine in force's common part (BlockLength 0 when none is
// loaded), read under EngineLock so that a swap on another thread cannot
// free it meanwhile.
inline ConvolutionEngine EngineNow() {
  EngineLockGuard hold;
  const ConvolutionEngine* e = EngineInForce();
  return e ? *e : ConvolutionEngine{};
}

// Its block length, also the latency.
inline int32_t BlockInForce() { return EngineNow().BlockLength; }

// Host calls of 0 frames to several thousand, mostly large.
inline std::vector<int> RandomSchedule(uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> size(0, 3000);
  std::vector<int> sizes(48);
  for (int& s : sizes) s = size(rng) < 300 ? size(rng) % 3 : size(rng);
  sizes[0] = 1;
  return sizes;
}

// Streams interleaved `audio` through ProcessSamples in place, in buffers
// of the given sizes (cycled); returns how many calls did not give back
// their frame count.
inline int StreamInPlace(std::vector<int16_t>& audio, int channels, const std::vector<int>& sizes,
                         int rate = 44100) {
  int wrong = 0;
  const size_t frames = audio.size() / channels;
  for (size_t frame = 0, i = 0; frame < frames; ++i) {
    int32_t n = sizes[i % sizes.size()];
    if (frame + n > frames) n = static_cast<int32_t>(frames - frame);
    wrong += ProcessSamples(nullptr, audio.data() + frame * channels, n, 16, channels, rate) != n;
    frame += n;
  }
  return wrong;
}
