// SPDX-License-Identifier: GPL-2.0-or-later
// The low-latency engine: every routing row against the oracle at 512 frames
// of latency, a long IR against the one-block engine moved earlier, any
// buffer schedule giving the same bytes, preparations while streaming.
#include <random>

#include "tests/support/engine_fixture.h"

namespace {

constexpr int64_t kLag = 512;

struct Row {
  int streamChannels, forceMonoOut, forceMonoIn, irChannels;
};

class LowLatency : public EngineTest, public ::testing::WithParamInterface<Row> {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    Settings.LowLatency = 1;
  }

  // Calls of 0 frames to several thousand.
  static std::vector<int> Schedule(uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> size(0, 3000);
    std::vector<int> sizes(48);
    for (int& s : sizes) s = size(rng) < 300 ? size(rng) % 3 : size(rng);
    sizes[0] = 1;
    return sizes;
  }
};

TEST_P(LowLatency, MatchesDirectConvolution) {
  const Row row = GetParam();
  Settings.ForceMonoOut = row.forceMonoOut;
  Settings.ForceMonoIn = row.forceMonoIn;
  SetGainDB(-3);
  // Shorter than the first partition, exactly one, partitions of two sizes.
  for (int irFrames : {37, 512, 12000}) {
    UnloadEngine();
    const PcmAudio ir = DecayingIr(row.irChannels, irFrames, 5 + irFrames);
    UseIr(ir);
    const PcmAudio input = Noise(row.streamChannels, 15000, irFrames);
    const auto out = Stream(input.samples, input.channels, Schedule(irFrames));
    ASSERT_EQ(Engine.BlockLength, kLag);
    ASSERT_EQ(Engine.Partitioned.LevelCount, irFrames > 4096 ? 2 : 1);
    const auto expected =
        ExpectedOutput(input, ir, Settings.GainLinear, kLag, row.forceMonoOut, row.forceMonoIn);
    EXPECT_LE(WorstDifference(out, expected), 1) << "IR frames " << irFrames;
  }
}

INSTANTIATE_TEST_SUITE_P(SixRows, LowLatency,
                         ::testing::Values(Row{1, 0, 0, 1}, Row{1, 1, 1, 2}, Row{2, 1, 0, 2},
                                           Row{2, 0, 1, 1}, Row{2, 0, 1, 2}, Row{2, 0, 0, 1},
                                           Row{2, 0, 0, 2}));

// Seconds of IR put every level to work: the result is the one-block
// engine's, moved earlier by its block less 512 frames, with the products
// this processor runs and with those of processors without AVX2 and FMA.
TEST_F(LowLatency, EqualsTheOneBlockEngineMovedEarlier) {
  for (int irChannels : {1, 2}) {
    const int64_t irFrames = 2 * 44100;
    UseIr(DecayingIr(irChannels, irFrames, 20 + irChannels));
    const PcmAudio input = Noise(2, 2 * irFrames + 2000, 21);
    Settings.LowLatency = 0;
    UnloadEngine();
    const auto one = Stream(input.samples, 2, {576});
    const int64_t shift = 2 * (Engine.BlockLength - kLag);
    const std::vector<int16_t> moved(one.begin() + shift, one.end());
    Settings.LowLatency = 1;
    for (bool older : {false, true}) {
      UnloadEngine();
      ASSERT_EQ(PrepareEngine(2), PrepareOk);
      if (older) Engine.Partitioned.Fma = false;
      const auto low = Stream(input.samples, 2, Schedule(22));
      ASSERT_GE(Engine.Partitioned.LevelCount, 3);
      EXPECT_LE(WorstDifference(std::vector<int16_t>(low.begin(), low.end() - shift), moved), 1)
          << irChannels << " IR channel(s), " << (older ? "without" : "with") << " AVX2";
    }
  }
}

TEST_F(LowLatency, AnyScheduleGivesTheSameBytes) {
  UseIr(DecayingIr(2, 40000, 3));
  const auto input = NoiseSamples(2 * 50000, 4);
  const auto a = Stream(input, 2, {576});
  UnloadEngine();
  const auto b = Stream(input, 2, Schedule(5));
  UnloadEngine();
  const auto c = Stream(input, 2, {50000});
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, c);
}

// Apply restarts from silence, Load reloads, a channel change reloads, and
// the option itself is part of what a preparation compares.
TEST_F(LowLatency, PreparationsWhileStreaming) {
  const PcmAudio first = DecayingIr(2, 3000, 6);
  const PcmAudio second = DecayingIr(1, 800, 7);
  UseIr(first);
  Stream(NoiseSamples(2 * 5000, 8), 2, Schedule(9));

  const PcmAudio afterApply = Noise(2, 6000, 10);
  ASSERT_EQ(PrepareEngine(Engine.PreparedChannels), PrepareOk);  // Apply
  EXPECT_LE(WorstDifference(Stream(afterApply.samples, 2, Schedule(11)),
                            ExpectedOutput(afterApply, first, 1.0, kLag)),
            1);

  UseIr(second, "second.wav");
  ASSERT_EQ(PrepareEngine(Engine.PreparedChannels), PrepareOk);  // Load
  const PcmAudio afterLoad = Noise(2, 6000, 12);
  EXPECT_LE(WorstDifference(Stream(afterLoad.samples, 2, Schedule(13)),
                            ExpectedOutput(afterLoad, second, 1.0, kLag)),
            1);

  const PcmAudio mono = Noise(1, 6000, 14);
  EXPECT_LE(WorstDifference(Stream(mono.samples, 1, Schedule(15)),
                            ExpectedOutput(mono, second, 1.0, kLag)),
            1);
  EXPECT_EQ(Engine.PreparedChannels, 1);

  Settings.LowLatency = 0;
  ASSERT_EQ(PrepareEngine(1), PrepareOk);
  EXPECT_EQ(Engine.BlockLength, ChooseBlockLength(800));
  Settings.LowLatency = 1;
  ASSERT_EQ(PrepareEngine(1), PrepareOk);
  EXPECT_EQ(Engine.BlockLength, kLag);
}

}  // namespace
