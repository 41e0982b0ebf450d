// SPDX-License-Identifier: GPL-2.0-or-later
// The low-latency engine (its routing rows are in test_process.cpp): a long
// IR against the one-block engine moved earlier, workers whose results come
// late, releases while they step, preparations while streaming.
#include <atomic>
#include <chrono>
#include <thread>

#include "engine/low_latency.h"
#include "tests/support/engine_fixture.h"

namespace {

constexpr int64_t kLag = 512;

class LowLatency : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    Settings.LowLatency = 1;
  }
  void TearDown() override {
    BeforeWorkerStep = nullptr;
    EngineTest::TearDown();
  }
};

std::atomic<int> stepsSlowed{0};

// Holds each worker step back for `ms` milliseconds.
template <int ms>
void SlowStep(int32_t) {
  ++stepsSlowed;
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Seconds of IR put every level to work: the result is the one-block
// engine's, moved earlier by its block less 512 frames, with the products
// this processor runs and with those of processors without AVX2 and FMA;
// and it is the output of the cut used before the workers (every level on
// the streaming thread), within rounding.
TEST_F(LowLatency, EqualsTheOneBlockEngineMovedEarlier) {
  const PartitionLayout workers = LowLatencyLayout;
  const PartitionLayout oneThread = {512, 8, 32768, false};
  for (int irChannels : {1, 2}) {
    const int64_t irFrames = 2 * 44100;
    UseIr(DecayingIr(irChannels, irFrames, 20 + irChannels));
    const PcmAudio input = Noise(2, 2 * irFrames + 2000, 21);
    Settings.LowLatency = 0;
    UnloadEngine();
    const auto one = Stream(input.samples, 2, {576});
    const int64_t shift = 2 * (BlockInForce() - kLag);
    const std::vector<int16_t> moved(one.begin() + shift, one.end());
    Settings.LowLatency = 1;
    for (bool older : {false, true}) {
      std::vector<int16_t> low[2];
      for (int cut : {0, 1}) {
        LowLatencyLayout = cut ? oneThread : workers;
        UnloadEngine();
        const int32_t result = PrepareEngine(2);
        LowLatencyLayout = workers;
        ASSERT_EQ(result, PrepareOk);
        LowLatencyState& partitions = *PartitionsOf(*EngineInForce());
        if (older) partitions.Fma = false;
        low[cut] = Stream(input.samples, 2, RandomSchedule(22));
        ASSERT_GE(partitions.LevelCount, 3);
        EXPECT_LE(
            WorstDifference(std::vector<int16_t>(low[cut].begin(), low[cut].end() - shift), moved),
            1)
            << irChannels << " IR channel(s), " << (older ? "without" : "with") << " AVX2, cut "
            << cut;
      }
      EXPECT_LE(WorstDifference(low[0], low[1]), 1);
    }
  }
}

// Workers slowed on purpose: their results come late and the stream waits
// for each, so the output is still the direct convolution for any buffer
// sizes; a fast restart with steps in flight waits for them before it
// empties the delay lines, so the stream after it is right too.
TEST_F(LowLatency, LateWorkersAreWaitedFor) {
  const PcmAudio ir = DecayingIr(2, 40000, 31);
  UseIr(ir);
  BeforeWorkerStep = SlowStep<5>;
  for (uint32_t seed : {32u, 33u}) {
    const PcmAudio input = Noise(2, 24000, seed);
    const auto out = Stream(input.samples, 2, RandomSchedule(seed));
    const LowLatencyState& partitions = *PartitionsOf(*EngineInForce());
    ASSERT_GE(partitions.LevelCount, 3);
    EXPECT_GT(partitions.LateWaits, 0);
    ASSERT_EQ(PrepareEngine(2), PrepareOk);  // Apply: the fast restart, steps still in flight
    EXPECT_LE(WorstDifference(out, ExpectedOutput(input, ir, 1.0, kLag)), 1) << seed;
  }
}

// A swap (the window's Load) and an unload (Quit) while every worker is in
// a step: each release waits for them before it frees (ASan sees a step
// that outlives its arrays), and nothing is left.
TEST_F(LowLatency, ReleaseWhileWorkersStep) {
  UseIr(DecayingIr(2, 40000, 34));
  BeforeWorkerStep = SlowStep<30>;
  for (bool quit : {false, true}) {
    stepsSlowed = 0;
    Stream(NoiseSamples(2 * 16384, 35), 2, {16384});
    ASSERT_GE(PartitionsOf(*EngineInForce())->LevelCount, 3);
    if (quit) {
      UnloadEngine();
      EXPECT_EQ(LiveAllocations(), 0);
    } else {
      UseIr(DecayingIr(2, 40000, 36), "other.wav");
      ASSERT_EQ(PrepareEngine(kStreamChannels), PrepareOk);
    }
    EXPECT_GT(stepsSlowed.load(), 0);
  }
}

// Apply restarts from silence, Load reloads, a channel change reloads, and
// the option itself is part of what a preparation compares.
TEST_F(LowLatency, PreparationsWhileStreaming) {
  const PcmAudio first = DecayingIr(2, 3000, 6);
  const PcmAudio second = DecayingIr(1, 800, 7);
  UseIr(first);
  Stream(NoiseSamples(2 * 5000, 8), 2, RandomSchedule(9));

  const PcmAudio afterApply = Noise(2, 6000, 10);
  ASSERT_EQ(PrepareEngine(kStreamChannels), PrepareOk);  // Apply
  EXPECT_LE(WorstDifference(Stream(afterApply.samples, 2, RandomSchedule(11)),
                            ExpectedOutput(afterApply, first, 1.0, kLag)),
            1);

  UseIr(second, "second.wav");
  ASSERT_EQ(PrepareEngine(kStreamChannels), PrepareOk);  // Load
  const PcmAudio afterLoad = Noise(2, 6000, 12);
  EXPECT_LE(WorstDifference(Stream(afterLoad.samples, 2, RandomSchedule(13)),
                            ExpectedOutput(afterLoad, second, 1.0, kLag)),
            1);

  const PcmAudio mono = Noise(1, 6000, 14);
  EXPECT_LE(WorstDifference(Stream(mono.samples, 1, RandomSchedule(15)),
                            ExpectedOutput(mono, second, 1.0, kLag)),
            1);
  EXPECT_EQ(PreparedInForce().Channels, 1);

  Settings.LowLatency = 0;
  ASSERT_EQ(PrepareEngine(1), PrepareOk);
  EXPECT_EQ(BlockInForce(), ChooseBlockLength(800));
  Settings.LowLatency = 1;
  ASSERT_EQ(PrepareEngine(1), PrepareOk);
  EXPECT_EQ(BlockInForce(), kLag);
}

}  // namespace
