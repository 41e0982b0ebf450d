// SPDX-License-Identifier: GPL-2.0-or-later
// The fixture of the engine and IR tests: a scratch folder for IR files,
// baseline settings and an engine that starts unloaded.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "base/memory.h"
#include "engine/engine_lock.h"
#include "ir/impulse_response.h"
#include "tests/support/audio.h"
#include "tests/support/engine.h"

class EngineTest : public ::testing::Test {
 protected:
  std::filesystem::path dir;

  void SetUp() override {
    // Each test starts a life of its own, as after the host's Init.
    const LifePhase phase = CurrentPhase();
    if (phase != LifePhase::BeforeInit && phase != LifePhase::AfterQuit) {
      EndLife();
      ReleaseLife();
    }
    StartLife(false);
    // The preparer for a new rate runs on the calling thread here.
    PreparationWanted = [] { PrepareForRate(); };
    dir = std::filesystem::temp_directory_path() /
          ("qlv_engine_" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir);
    ResetSettings();
    UnloadEngine();
  }

  void TearDown() override {
    FailAllocationsAfter(-1);
    if (CurrentPhase() != LifePhase::AfterQuit) UnloadEngine();  // Quit released it
    EXPECT_EQ(EngineLockMisuses(), 0) << "the engine lock was used while it did not exist";
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }

  std::string Path(const char* name) const { return (dir / name).string(); }

  // Writes an IR file and names it in the settings.
  std::string UseIr(const PcmAudio& ir, const char* name = "ir.wav") {
    EXPECT_TRUE(WritePcm16(Path(name), ir));
    NameIr(Path(name));
    return Path(name);
  }

  std::string UseBytes(const Bytes& bytes, const char* name) {
    EXPECT_TRUE(WriteBytes(Path(name), bytes));
    NameIr(Path(name));
    return Path(name);
  }

  // The processed copy of `audio`, every call giving back its frame count.
  static std::vector<int16_t> Stream(std::vector<int16_t> audio, int channels,
                                     const std::vector<int>& sizes, int rate = 44100) {
    EXPECT_EQ(StreamInPlace(audio, channels, sizes, rate), 0);
    return audio;
  }
};
