// SPDX-License-Identifier: GPL-2.0-or-later
// The low-latency engine (its routing rows are in test_process.cpp): a long
// IR against the one-block engine moved earlier, the spread step against
// the whole one, each call's work against its even share, preparations
// while streaming, Loads during a fade, and what a Load finds after a new
// stream, a fade or a failure.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
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
};

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
    const int64_t shift = 2 * (BlockInForce() - kLag);
    const std::vector<int16_t> moved(one.begin() + shift, one.end());
    Settings.LowLatency = 1;
    for (bool older : {false, true}) {
      UnloadEngine();
      ASSERT_EQ(PrepareEngine(2), PrepareOk);
      LowLatencyState& partitions = *PartitionsOf(*EngineInForce());
      if (older) partitions.Fma = false;
      const auto low = Stream(input.samples, 2, RandomSchedule(22));
      ASSERT_GE(partitions.LevelCount, 3);
      EXPECT_LE(WorstDifference(std::vector<int16_t>(low.begin(), low.end() - shift), moved), 1)
          << irChannels << " IR channel(s), " << (older ? "without" : "with") << " AVX2";
    }
  }
}

// An IR of `frames` noise frames per channel, in the time domain.
struct TimeIr {
  std::vector<double> samples[2];
  const double* channels[2] = {};
  TimeIr(int64_t frames, uint32_t seed) {
    const PcmAudio ir = DecayingIr(2, frames, seed);
    for (int c = 0; c < 2; ++c) {
      samples[c].resize(frames);
      for (int64_t i = 0; i < frames; ++i) samples[c][i] = ir.samples[2 * i + c] / 32768.0;
      channels[c] = samples[c].data();
    }
  }
};

// The block modes as the partitions see them: inputs, paths, shared IR.
struct Shape {
  int32_t inputs, paths, irChannels;
  bool shared;
};
constexpr Shape kShapes[] = {{1, 1, 1, false}, {1, 2, 2, false}, {2, 2, 1, true}, {2, 2, 2, false}};

// Each long level's step cut over the calls of its period gives bit for bit
// what the whole step in one call gives, for every block mode, with and
// without AVX2 products, for IRs that end inside each level.
TEST_F(LowLatency, SpreadStepIsTheWholeStepBitForBit) {
  PartitionLayout whole = kPartitionLayout;
  whole.Spread = false;
  for (int64_t frames : {int64_t{20000}, int64_t{70000}, int64_t{200000}}) {
    const TimeIr ir(frames, 40);
    for (const Shape& shape : kShapes) {
      for (bool fma : {true, false}) {
        LowLatencyState states[2];
        for (int spread : {0, 1}) {
          ASSERT_TRUE(BuildLowLatency(&states[spread], ir.channels, shape.irChannels, frames,
                                      shape.inputs, shape.paths, shape.shared,
                                      spread ? kPartitionLayout : whole));
          states[spread].Fma = states[spread].Fma && fma;
        }
        const int32_t b = states[0].Block;
        const std::vector<int16_t> noise = NoiseSamples(2 * b, 41);
        std::vector<double> in[2], out[2][2];
        for (int c = 0; c < 2; ++c) {
          in[c].assign(b, 0.0);
          for (auto& o : out[c]) o.assign(b, 0.0);
        }
        const double* input[2] = {in[0].data(), in[1].data()};
        bool same = true;
        for (int64_t call = 0; call < (frames + 3 * 65536) / b && same; ++call) {
          for (int c = 0; c < 2; ++c) {
            for (int32_t i = 0; i < b; ++i) in[c][i] = noise[(2 * i + c + call * 7) % noise.size()];
          }
          for (int spread : {0, 1}) {
            double* output[2] = {out[spread][0].data(), out[spread][1].data()};
            LowLatencyStep(&states[spread], input, output);
          }
          for (int p = 0; p < shape.paths; ++p) {
            same = same && std::memcmp(out[0][p].data(), out[1][p].data(), sizeof(double) * b) == 0;
          }
        }
        EXPECT_TRUE(same) << frames << " frames, " << shape.inputs << " in, " << shape.paths
                          << " paths, " << (fma ? "AVX2" : "SSE2");
        for (auto& s : states) FreeLowLatency(&s);
      }
    }
  }
  EXPECT_EQ(LiveAllocations(), 0);
}

// No call does more than the even share of the long levels' work (the sum
// over levels of a step's work over its period) by more than one transform
// of the largest level, counted call by call from the work it ran, for the
// chosen layout and the ones the benchmark compares, short and long IRs,
// mono and stereo.
TEST_F(LowLatency, NoCallExceedsItsShareByMoreThanOneLargestTransform) {
  const PartitionLayout layouts[] = {kPartitionLayout,      {512, 2, 32768, true},
                                     {512, 8, 32768, true}, {512, 4, 16384, true},
                                     {512, 4, 65536, true}, {256, 4, 32768, true}};
  const TimeIr ir(10 * 44100, 42);
  for (const PartitionLayout& layout : layouts) {
    for (int64_t frames :
         {int64_t{5000}, int64_t{44100}, int64_t{3 * 44100}, int64_t{10 * 44100}}) {
      for (const Shape& shape : {kShapes[0], kShapes[3]}) {
        LowLatencyState s;
        ASSERT_TRUE(BuildLowLatency(&s, ir.channels, shape.irChannels, frames, shape.inputs,
                                    shape.paths, shape.shared, layout));
        double even = 0, largest = 0;
        for (int l = 1; l < s.LevelCount; ++l) {
          const PartitionLevel& level = s.Levels[l];
          const double transform = TransformWork(2 * level.Size);
          even += ((shape.inputs + shape.paths) * transform +
                   shape.paths * (level.Size + 1.0) * level.Count * kProductWork) /
                  (level.Size / s.Block);
          largest = transform;
        }
        std::vector<double> silence(s.Block, 0.0);
        const double* input[2] = {silence.data(), silence.data()};
        std::vector<double> out0(s.Block), out1(s.Block);
        double* output[2] = {out0.data(), out1.data()};
        double worst = 0;
        int64_t transforms = 0, expected = 0;
        for (int l = 1; l < s.LevelCount; ++l) {
          expected += (shape.inputs + shape.paths) * (s.Cycle / s.Levels[l].Period);
        }
        for (int32_t call = 1; call <= 3 * s.Cycle; ++call) {
          LowLatencyStep(&s, input, output);
          double work = 0;
          for (int l = 1; l < s.LevelCount; ++l) {
            work += s.LastStep.Transforms[l] * TransformWork(2 * s.Levels[l].Size) +
                    s.LastStep.Products[l] * kProductWork;
            if (call >= s.Cycle && call < 2 * s.Cycle) transforms += s.LastStep.Transforms[l];
          }
          worst = std::max(worst, work);
        }
        EXPECT_EQ(transforms, expected);  // one cycle runs each long level's steps exactly
        EXPECT_LE(worst, even + largest)
            << layout.Block << " x" << layout.Growth << " to " << layout.Largest << ", " << frames
            << " frames, " << shape.inputs << " in: worst " << worst << ", even " << even;
        FreeLowLatency(&s);
      }
    }
  }
}

// Apply with nothing changed changes nothing a listener hears, Load
// reloads, a channel change reloads, and the option itself is part of what
// a preparation compares.
TEST_F(LowLatency, PreparationsWhileStreaming) {
  const PcmAudio first = DecayingIr(2, 3000, 6);
  const PcmAudio second = DecayingIr(1, 800, 7);
  UseIr(first);
  PcmAudio whole = Noise(2, 5000, 8);
  Stream(whole.samples, 2, RandomSchedule(9));

  const PcmAudio afterApply = Noise(2, 6000, 10);
  ASSERT_EQ(PrepareEngine(kStreamChannels), PrepareOk);  // Apply
  whole.samples.insert(whole.samples.end(), afterApply.samples.begin(), afterApply.samples.end());
  const auto carriedOn = ExpectedOutput(whole, first, 1.0, kLag);
  EXPECT_LE(WorstDifference(
                Stream(afterApply.samples, 2, RandomSchedule(11)),
                std::vector<int16_t>(carriedOn.end() - afterApply.samples.size(), carriedOn.end())),
            1);

  // Load: the new engine comes in primed with the music heard, and the old
  // one fades out over 50 ms: (1 - w) old + w new, w linear, then the new
  // IR as if it had always been in force.
  UseIr(second, "second.wav");
  ASSERT_EQ(PrepareEngine(kStreamChannels), PrepareOk);
  const PcmAudio afterLoad = Noise(2, 6000, 12);
  whole.samples.insert(whole.samples.end(), afterLoad.samples.begin(), afterLoad.samples.end());
  const auto out = Stream(afterLoad.samples, 2, RandomSchedule(13));
  const auto old = ExpectedOutput(whole, first, 1.0, kLag);
  const auto now = ExpectedOutput(whole, second, 1.0, kLag);
  const size_t at = whole.samples.size() - out.size();
  constexpr int kFade = 2205;  // 50 ms at 44.1 kHz
  for (size_t i = 0; i < out.size(); ++i) {
    const double w = std::min(1.0, (i / 2 + 1) / double{kFade});
    const double expected = (1 - w) * old[at + i] + w * now[at + i];
    ASSERT_LE(std::abs(out[i] - expected), i / 2 < kFade ? 2.5 : 1.0) << "frame " << i / 2;
  }

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

// Two Loads a moment apart while a tone plays on the audio thread: the
// second meets the first one's fade and waits for it, so the output never
// steps from one frame to the next by more than twice the reverb's own
// largest step in either room.
TEST_F(LowLatency, LoadsDuringAFadeNeverJump) {
  UseIr(DecayingIr(2, 4000, 31), "b.wav");
  UseIr(DecayingIr(2, 4000, 32), "c.wav");
  UseIr(DecayingIr(2, 4000, 30), "a.wav");
  constexpr int kFrames = 2 * 44100;
  std::vector<int16_t> out(2 * kFrames);
  for (int t = 0; t < kFrames; ++t) {
    out[2 * t] = out[2 * t + 1] =
        static_cast<int16_t>(300 * std::sin(2 * 3.14159265358979 * 220 * t / 44100));
  }
  std::atomic<int> streamed{0};
  std::thread audio([&] {
    for (int at = 0; at < kFrames; at += 576) {
      ProcessSamples(nullptr, out.data() + 2 * at, std::min(576, kFrames - at), 16, 2, 44100);
      streamed = at + 576;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  while (streamed.load() < kFrames / 3) std::this_thread::yield();
  const int firstLoad = streamed.load();
  for (const char* room : {"b.wav", "c.wav"}) {
    NameIrFile(Path(room).c_str(), false);
    EXPECT_EQ(PrepareEngine(kStreamChannels), PrepareOk);
  }
  audio.join();
  const auto largestStep = [&](int from, int to) {
    int step = 0;
    for (int t = from + 1; t < to; ++t)
      step = std::max(step, std::abs(out[2 * t] - out[2 * t - 2]));
    return step;
  };
  const int own =
      std::max(largestStep(kFrames / 6, firstLoad), largestStep(kFrames - 20000, kFrames));
  EXPECT_LE(largestStep(kFrames / 6, kFrames), 2 * own);
  EXPECT_STREQ(PreparedInForce().IRFile, Path("c.wav").c_str());
}

// The output of a Load's last `out` frames, after its 50 ms fade, against
// `ir` in force over the whole of `heard`.
void ExpectAfterTheFade(const std::vector<int16_t>& out, const PcmAudio& heard, const PcmAudio& ir,
                        int rate) {
  const auto whole = ExpectedOutput(heard, ir, 1.0, kLag);
  const size_t at = whole.size() - out.size();
  const size_t fade = 2 * static_cast<size_t>(rate / 20);
  for (size_t i = fade; i < out.size(); ++i) {
    ASSERT_LE(std::abs(out[i] - whole[at + i]), 1) << "frame " << i / 2;
  }
}

// A new stream (a channel change, or Quit and Init) primes a Load with its
// own music, although the stream before it had changed rate.
TEST_F(LowLatency, ALoadAfterANewStreamIsPrimedWithItsMusic) {
  const PcmAudio first = DecayingIr(2, 3000, 40);
  const PcmAudio second = DecayingIr(2, 2000, 41);
  for (bool quit : {false, true}) {
    SCOPED_TRACE(quit ? "Quit and Init" : "a channel change");
    UseIr(first);
    Stream(Noise(2, 30000, 42).samples, 2, {576}, 44100);
    Stream(Noise(2, 30000, 43).samples, 2, {576}, 48000);
    if (quit) {
      EndLife();
      ReleaseLife();
      StartLife(false);
    } else {
      Stream(Noise(1, 576, 44).samples, 1, {576}, 48000);
    }
    PcmAudio heard = Noise(2, 20000, 45);
    Stream(heard.samples, 2, {576}, 48000);
    UseIr(second, "second.wav");
    ASSERT_EQ(PrepareEngine(kStreamChannels), PrepareOk);
    const PcmAudio after = Noise(2, 12000, 46);
    heard.samples.insert(heard.samples.end(), after.samples.begin(), after.samples.end());
    ExpectAfterTheFade(Stream(after.samples, 2, {576}, 48000), heard, second, 48000);
  }
}

// A failed Load fades from the reverb to the music as it comes over 50 ms,
// as the bypass does; then the music passes.
TEST_F(LowLatency, AFailedLoadFadesToTheMusic) {
  const PcmAudio room = DecayingIr(2, 3000, 47);
  UseIr(room);
  PcmAudio heard = Noise(2, 20000, 48);
  Stream(heard.samples, 2, {576});
  NameIr(Path("missing.wav"));
  ASSERT_EQ(PrepareEngine(kStreamChannels), PrepareOpenFailed);
  EXPECT_EQ(CurrentPhase(), LifePhase::Passing);
  const PcmAudio after = Noise(2, 6000, 49);
  heard.samples.insert(heard.samples.end(), after.samples.begin(), after.samples.end());
  const auto out = Stream(after.samples, 2, RandomSchedule(50));
  const auto wet = ExpectedOutput(heard, room, 1.0, kLag);
  const size_t at = wet.size() - out.size();
  constexpr int kFade = 2205;
  for (size_t i = 0; i < out.size(); ++i) {
    const double w = std::min(1.0, (i / 2 + 1) / double{kFade});
    const double expected = (1 - w) * wet[at + i] + w * after.samples[i];
    ASSERT_LE(std::abs(out[i] - expected), i / 2 < kFade ? 2.5 : 0.0) << "frame " << i / 2;
  }
}

// A Load soon after another builds beside the engine in force alone: the
// one that faded out is released first, never kept through the build.
TEST_F(LowLatency, AtMostTwoEnginesLiveDuringABuild) {
  const char* rooms[] = {"a.wav", "b.wav", "c.wav"};
  for (int k = 0; k < 3; ++k) UseIr(DecayingIr(2, 3000, 51 + k), rooms[k]);
  static int64_t live[3];
  static int load;
  BeforeEngineSwap = [] { live[load] = LiveAllocations(); };
  for (load = 0; load < 3; ++load) {
    NameIrFile(Path(rooms[load]).c_str(), false);
    ASSERT_EQ(PrepareEngine(kStreamChannels), PrepareOk);
    Stream(Noise(2, 8000, 54).samples, 2, {576});  // past the fade: the old engine is parked
  }
  BeforeEngineSwap = nullptr;
  EXPECT_EQ(live[2], live[1]);
}

}  // namespace
