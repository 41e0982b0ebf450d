// SPDX-License-Identifier: GPL-2.0-or-later
// Shared set-up for engine tests: a scratch folder for IR files, baseline
// settings and an engine that starts unloaded.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/engine_lock.h"
#include "engine/memory.h"
#include "ir/impulse_response.h"
#include "tools/wav_io.h"

class EngineTest : public ::testing::Test {
 protected:
  std::filesystem::path dir;

  void SetUp() override {
    static bool lockMade = false;
    if (!lockMade) CreateEngineLock();
    lockMade = true;
    dir = std::filesystem::temp_directory_path() /
          ("qlv_engine_" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir);
    Settings.Active = 1;
    Settings.AutoGain = 0;
    SetGainDB(0);
    Settings.IRLimitEn = 0;
    Settings.IRLimit = 4000;
    Settings.ForceMonoIn = 0;
    Settings.ForceMonoOut = 0;
    Settings.SampleRate = 44100;
    UnloadEngine();
  }

  void TearDown() override {
    FailAllocationsAfter(-1);
    UnloadEngine();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }

  // Writes an IR file and names it in the settings.
  std::string UseIr(const PcmAudio& ir, const char* name = "ir.wav") {
    const std::string path = (dir / name).string();
    EXPECT_TRUE(WritePcm16(path, ir));
    std::snprintf(Settings.IRFile, kPathChars, "%s", path.c_str());
    return path;
  }

  std::string WriteBytes(const std::vector<unsigned char>& bytes, const char* name) {
    const std::string path = (dir / name).string();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return path;
  }
};

// An IR of `frames` frames: an impulse of `peak` at frame 0, or, with a
// seed, decaying noise.
inline PcmAudio MakeIr(int channels, int frames, unsigned seed = 0, int16_t peak = 32767) {
  PcmAudio ir;
  ir.channels = channels;
  ir.samples.assign(static_cast<size_t>(frames) * channels, 0);
  if (seed == 0) {
    for (int c = 0; c < channels && frames > 0; ++c) ir.samples[c] = peak;
    return ir;
  }
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> noise(-20000, 20000);
  for (int j = 0; j < frames; ++j) {
    const double envelope = 1.0 - 0.9 * j / frames;
    for (int c = 0; c < channels; ++c) {
      ir.samples[static_cast<size_t>(j) * channels + c] =
          static_cast<int16_t>(noise(rng) * envelope);
    }
  }
  return ir;
}

inline std::vector<int16_t> Noise(size_t count, unsigned seed, int amplitude = 8000) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> value(-amplitude, amplitude);
  std::vector<int16_t> out(count);
  for (auto& s : out) s = static_cast<int16_t>(value(rng));
  return out;
}

// Streams `audio` through ProcessSamples in buffers of the given sizes
// (cycled), returning the processed copy.
inline std::vector<int16_t> Stream(std::vector<int16_t> audio, int channels,
                                   const std::vector<int>& sizes, int rate = 44100) {
  size_t frame = 0, i = 0;
  const size_t frames = audio.size() / channels;
  while (frame < frames) {
    int32_t n = sizes[i++ % sizes.size()];
    if (frame + n > frames) n = static_cast<int32_t>(frames - frame);
    EXPECT_EQ(ProcessSamples(nullptr, audio.data() + frame * channels, n, 16, channels, rate), n);
    frame += n;
  }
  return audio;
}
