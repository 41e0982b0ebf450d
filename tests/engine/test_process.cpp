// SPDX-License-Identifier: GPL-2.0-or-later
// Streaming convolution against a direct time-domain oracle, for every
// routing row and both kinds of engine, with random buffer sizes and the
// dry/wet mix; latency, clipping and pass-through.
#include <algorithm>
#include <cmath>
#include <functional>
#include <tuple>

#include "engine/low_latency.h"
#include "engine/pcm.h"
#include "tests/support/engine_fixture.h"

namespace {

struct Row {
  int streamChannels, forceMonoOut, forceMonoIn, irChannels;
  int inputMode, blockMode;
};

// Each routing row with each kind of engine (the LowLatency setting).
class Routing : public EngineTest, public ::testing::WithParamInterface<std::tuple<Row, int>> {};

TEST_P(Routing, MatchesDirectConvolution) {
  const auto [row, kind] = GetParam();
  Settings.ForceMonoOut = row.forceMonoOut;
  Settings.ForceMonoIn = row.forceMonoIn;
  Settings.LowLatency = kind;
  SetGainDB(-3);
  const double g = Settings.GainLinear;
  // Shorter and longer than the buffers; for the partitions, exactly one
  // first partition and partitions of two sizes.
  const std::vector<int> lengths =
      kind ? std::vector<int>{37, 512, 12000} : std::vector<int>{37, 3000};
  for (int irFrames : lengths) {
    for (int mix : {100, 37, 0}) {
      Settings.Mix = mix;
      UnloadEngine();
      const PcmAudio ir = DecayingIr(row.irChannels, irFrames, 7 + irFrames);
      UseIr(ir);
      const PcmAudio input = Noise(row.streamChannels, 15000, irFrames);
      const auto out = Stream(input.samples, input.channels, RandomSchedule(irFrames + kind));
      const ConvolutionEngine& e = *EngineInForce();
      ASSERT_EQ(e.Route.InputMode, row.inputMode);
      ASSERT_EQ(e.Route.BlockMode, row.blockMode);
      const int64_t h = kind ? 512 : ChooseBlockLength(irFrames);
      ASSERT_EQ(e.BlockLength, h);
      if (kind) {
        ASSERT_EQ(PartitionsOf(e)->LevelCount, irFrames > 4096 ? 2 : 1);
      }
      const auto expected = ExpectedOutput(input, ir, g, h, row.forceMonoOut, row.forceMonoIn, mix);
      EXPECT_LE(WorstDifference(out, expected), 1) << "IR frames " << irFrames << ", mix " << mix;
      if (mix == 0) {  // the music alone, exactly, one latency late
        std::vector<int16_t> late(size_t(h) * input.channels, 0);
        late.insert(late.end(), input.samples.begin(), input.samples.end() - late.size());
        EXPECT_EQ(out, late) << "IR frames " << irFrames;
      }
      if (row.inputMode == 1 && mix == 100) {  // one result written to both channels
        for (size_t j = 0; j < out.size() / 2; ++j) ASSERT_EQ(out[2 * j], out[2 * j + 1]);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryRowBothKinds, Routing,
    ::testing::Combine(::testing::Values(Row{1, 0, 0, 1, 0, 0}, Row{1, 1, 1, 2, 0, 0},
                                         Row{2, 1, 0, 2, 1, 0}, Row{2, 1, 1, 1, 1, 0},
                                         Row{2, 0, 1, 1, 1, 0}, Row{2, 0, 1, 2, 2, 1},
                                         Row{2, 0, 0, 1, 3, 2}, Row{2, 0, 0, 2, 3, 3},
                                         // true stereo, and its three reductions
                                         Row{2, 0, 0, 4, 3, 4}, Row{2, 0, 1, 4, 2, 1},
                                         Row{2, 1, 0, 4, 1, 0}, Row{1, 0, 0, 4, 0, 0}),
                       ::testing::Values(0, 1)));

// A true-stereo IR whose cross paths are silent plays, is drawn and is
// gained exactly as the stereo IR of its direct paths, on every route and
// both kinds, and converted to the stream's rate too.
TEST_F(Routing, SilentCrossPathsPlayAsTheStereoIrOfTheDirectPaths) {
  PcmAudio stereo = DecayingIr(2, 9000, 21);
  PcmAudio four = stereo;
  four.channels = 4;
  four.samples.assign(4 * stereo.Frames(), 0);
  for (int64_t j = 0; j < stereo.Frames(); ++j) {
    four.samples[4 * j] = stereo.samples[2 * j];
    four.samples[4 * j + 3] = stereo.samples[2 * j + 1];
  }
  Settings.AutoGain = 1;
  Settings.Mix = 37;
  for (const auto& [kind, resample] : {std::pair{0, 0}, std::pair{1, 0}, std::pair{0, 1}}) {
    stereo.rate = four.rate = resample ? 48000 : 44100;
    Settings.ResampleIR = resample;
    for (const Row& row : {Row{2, 0, 0, 0, 0, 0}, Row{2, 0, 1, 0, 0, 0}, Row{2, 1, 0, 0, 0, 0},
                           Row{1, 0, 0, 0, 0, 0}}) {
      Settings.LowLatency = kind;
      Settings.ForceMonoIn = row.forceMonoIn;
      Settings.ForceMonoOut = row.forceMonoOut;
      const PcmAudio input = Noise(row.streamChannels, 20000, 5);
      std::vector<int16_t> out[2];
      int32_t gain[2], graph[2][kGraphBins];
      for (int f = 0; f < 2; ++f) {
        UnloadEngine();
        UseIr(f ? four : stereo, f ? "four.wav" : "two.wav");
        out[f] = Stream(input.samples, input.channels, RandomSchedule(kind));
        if (resample) {
          ASSERT_NE(BlockInForce(), ChooseBlockLength(9000));  // converted to 44.1 kHz
        }
        gain[f] = Settings.GainDB;
        for (int k = 0; k < kGraphBins; ++k) graph[f][k] = IrGraph[k];
      }
      const std::string where =
          "kind " + std::to_string(kind) + ", resampled " + std::to_string(resample) + ", " +
          std::to_string(row.streamChannels) + " channels, mono in " +
          std::to_string(row.forceMonoIn) + ", mono out " + std::to_string(row.forceMonoOut);
      EXPECT_EQ(out[0], out[1]) << where;
      EXPECT_EQ(gain[0], gain[1]) << where;
      EXPECT_TRUE(std::equal(graph[0], graph[0] + kGraphBins, graph[1])) << where;
    }
  }
}

TEST_F(Routing, SplittingBuffersDifferentlyGivesIdenticalOutput) {
  for (int kind : {0, 1}) {
    Settings.LowLatency = kind;
    UseIr(DecayingIr(2, kind ? 40000 : 1500, 3));
    const auto input = NoiseSamples(2 * 50000, 4);
    UnloadEngine();
    const auto a = Stream(input, 2, {576});
    UnloadEngine();
    const auto b = Stream(input, 2, RandomSchedule(5));
    UnloadEngine();
    const auto c = Stream(input, 2, {50000});
    EXPECT_EQ(a, b) << "kind " << kind;
    EXPECT_EQ(a, c) << "kind " << kind;
    // A fast restart mid-block, after the engine filled with other audio:
    // as from nothing.
    Stream(NoiseSamples(2 * 45000, 6), 2, {700});
    ASSERT_EQ(PrepareEngine(2), PrepareOk);
    EXPECT_EQ(Stream(input, 2, {576}), a) << "kind " << kind;
  }
}

TEST_F(Routing, LatencyIsOneBlockAfterEveryPreparation) {
  UseIr(Click(1, 1009));  // block length 1080
  auto input = NoiseSamples(2 * 5000, 5, 20000);
  auto out = Stream(input, 2, {576});
  ASSERT_EQ(BlockInForce(), 1080);
  for (size_t i = 0; i < 2 * 1080; ++i) ASSERT_EQ(out[i], 0) << i;
  // The unit impulse delays by h: out[t] = trunc(in[t - h] * 32767 / 32768).
  for (size_t t = 1080; t < 5000; ++t) {
    ASSERT_EQ(out[2 * t], static_cast<int16_t>(input[2 * (t - 1080)] * (32767.0 / 32768.0)));
  }
  // A fast restart silences the next h frames again.
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  out = Stream(input, 2, {333});
  for (size_t i = 0; i < 2 * 1080; ++i) ASSERT_EQ(out[i], 0) << i;
  EXPECT_NE(out[2 * 1080], 0);
}

TEST_F(Routing, BlockLengthOneDelaysByOneFrame) {
  UseIr(Click(1, 1, 0, 16384));  // gain one half
  std::vector<int16_t> input = {1000, -1000, 3, -3, 32767, -32768, 7};
  const auto out = Stream(input, 1, {1, 2, 4});
  ASSERT_EQ(BlockInForce(), 1);
  const std::vector<int16_t> expected = {0, 500, -500, 1, -1, 16383, -16384};
  EXPECT_EQ(out, expected);
}

TEST_F(Routing, GainIsReadAfreshForEveryFrame) {
  UseIr(Click(1, 1));
  std::vector<int16_t> buffer = {1000, 1000, 1000, 0};
  ProcessSamples(nullptr, buffer.data(), 2, 16, 1, 44100);
  SetGainDB(-6);
  ProcessSamples(nullptr, buffer.data() + 2, 2, 16, 1, 44100);
  EXPECT_EQ(buffer[2], 999);  // frame 1 at 0 dB
  EXPECT_EQ(buffer[3], static_cast<int16_t>(1000 * Settings.GainLinear * 32767 / 32768));
}

// With the low-latency engine a new gain, mix or bypass moves linearly over
// 50 ms of the stream's frames, then is exactly the new value: each checked
// sample by sample, through a click of gain one half on steady music. A
// slider dragged a step every buffer never jumps.
TEST_F(Routing, LowLatencyRampsTheGainTheMixAndTheBypass) {
  Settings.LowLatency = 1;
  UseIr(Click(1, 1, 0, 16384));
  constexpr int kRamp = 2205;  // 50 ms at 44.1 kHz
  constexpr int kLatency = 512;
  constexpr double x = 10000;  // steady music on both channels
  const auto steady = [](int frames) {
    return Stream(std::vector<int16_t>(2 * frames, static_cast<int16_t>(x)), 2, {576});
  };
  // The frames after a change, against value(k) at the k-th of them.
  const auto check = [&](const char* what, const std::function<double(int)>& value) {
    const auto out = steady(kLatency + kRamp + 500);
    for (int k = 0; k < kLatency + kRamp + 500; ++k) {
      ASSERT_LE(std::abs(out[2 * k] - AtDepth(value(k), 16)), 1) << what << ", frame " << k;
      ASSERT_EQ(out[2 * k], out[2 * k + 1]) << what << ", frame " << k;
    }
  };
  const auto along = [](double from, double to, int k) {
    return k < 0 ? from : k + 1 >= kRamp ? to : from + (to - from) * (k + 1) / kRamp;
  };
  steady(3000);
  const double g = std::pow(10.0, -6 * 0.05);
  SetGainDB(-6);  // the wet follows the gain one latency late
  check("gain", [&](int k) { return 0.5 * x * along(1.0, g, k - kLatency); });
  const double wet = 0.5 * x * g;
  Settings.Mix = 40;
  check("mix", [&](int k) {
    const double m = along(1.0, 0.4, k);
    return m * wet + (1 - m) * x;
  });
  const double blend = 0.4 * wet + 0.6 * x;
  Settings.Active = 0;
  check("bypass off", [&](int k) { return along(blend, x, k); });
  EXPECT_EQ(steady(576), std::vector<int16_t>(2 * 576, static_cast<int16_t>(x)));
  Settings.Active = 1;
  check("bypass on", [&](int k) { return along(x, blend, k); });

  std::vector<int16_t> dragged;
  for (int step = 0; step < 20; ++step) {
    Settings.Mix = step % 2 ? 100 : 100 - 5 * step;
    const auto out = steady(576);
    dragged.insert(dragged.end(), out.begin(), out.end());
  }
  for (size_t j = 2; j < dragged.size(); ++j) {
    ASSERT_LE(std::abs(dragged[j] - dragged[j - 2]), 3) << "frame " << j / 2;
  }
}

TEST_F(Routing, PassThroughCases) {
  UseIr(DecayingIr(2, 100, 9));
  const auto input = NoiseSamples(2 * 600, 6);

  Settings.Active = 0;
  auto out = input;
  EXPECT_EQ(ProcessSamples(nullptr, out.data(), 600, 16, 2, 22050), 600);
  EXPECT_EQ(out, input);
  EXPECT_EQ(Settings.SampleRate, 22050);
  EXPECT_EQ(PreparedInForce().Channels, 0);  // no preparation while off

  Settings.Active = 1;
  EXPECT_EQ(ProcessSamples(nullptr, out.data(), 0, 16, 2, 44100), 0);
  EXPECT_EQ(PreparedInForce().Channels, 2);  // a changed count still prepares
  EXPECT_EQ(EngineInForce()->FillPos, 0);
  EXPECT_EQ(out, input);
  EXPECT_EQ(ProcessSamples(nullptr, out.data(), -5, 16, 2, 44100), -5);
  EXPECT_EQ(ProcessSamples(nullptr, out.data(), INT32_MIN, 16, 2, 44100), INT32_MIN);
  EXPECT_EQ(ProcessSamples(nullptr, nullptr, 600, 16, 2, 44100), 600);
  EXPECT_EQ(out, input);
  // Any rate is stored as it comes (the graph and the limit cope with it).
  for (int rate : {0, -44100, 1, INT32_MAX, 44100}) {
    auto audio = input;
    EXPECT_EQ(ProcessSamples(nullptr, audio.data(), 600, 16, 2, rate), 600);
    EXPECT_EQ(Settings.SampleRate, rate);
  }

  // Other depths, or more than two channels, are left alone and prepare
  // nothing.
  for (auto [bits, channels] :
       {std::pair{32, 2}, {32, 1}, {12, 2}, {0, 2}, {16, 6}, {24, 3}, {16, 0}, {16, -1}}) {
    EXPECT_EQ(ProcessSamples(nullptr, out.data(), 300, bits, channels, 48000), 300);
    EXPECT_EQ(out, input);
    EXPECT_EQ(PreparedInForce().Channels, 2);
    EXPECT_EQ(Settings.SampleRate, 48000);
  }

  // Unloaded engine (missing file): unchanged, with the frame count.
  UnloadEngine();
  std::snprintf(Settings.IRFile, kPathChars, "%s", (dir / "missing.wav").string().c_str());
  EXPECT_EQ(ProcessSamples(nullptr, out.data(), 600, 16, 2, 44100), 600);
  EXPECT_EQ(out, input);
  EXPECT_EQ(EngineInForce(), nullptr);
}

// Bypassed buffers come back untouched, but the engine goes on taking the
// stream: turned on again, each kind gives what it would have given had it
// never been off, nothing of the music before the bypass and no silence.
// The low-latency engine fades each way over 50 ms first.
TEST_F(Routing, BypassKeepsTheStreamGoing) {
  UseIr(DecayingIr(2, 3000, 15));
  const std::vector<int16_t> input = NoiseSamples(2 * 30000, 16);
  const auto part = [&](size_t from, size_t to) {
    return std::vector<int16_t>(input.begin() + 2 * from, input.begin() + 2 * to);
  };
  for (int lowLatency : {0, 1}) {
    Settings.LowLatency = lowLatency;
    Settings.Active = 1;
    UnloadEngine();
    const auto whole = Stream(input, 2, {576});
    UnloadEngine();
    Stream(part(0, 5760), 2, {576});
    const size_t fade = lowLatency ? 2 * 2205 : 0;
    Settings.Active = 0;
    const auto bypassed = Stream(part(5760, 17280), 2, {576, 100, 1000});
    EXPECT_EQ(std::vector<int16_t>(bypassed.begin() + fade, bypassed.end()),
              std::vector<int16_t>(input.begin() + 2 * 5760 + fade, input.begin() + 2 * 17280));
    Settings.Active = 1;
    const auto back = Stream(part(17280, 30000), 2, {576});
    EXPECT_EQ(std::vector<int16_t>(back.begin() + fade, back.end()),
              std::vector<int16_t>(whole.begin() + 2 * 17280 + fade, whole.end()))
        << "low latency " << lowLatency;
  }
}

TEST_F(Routing, ChannelChangeMidStreamReloads) {
  UseIr(DecayingIr(2, 500, 11));
  auto stereo = Stream(NoiseSamples(2 * 3000, 12), 2, {576});
  ASSERT_EQ(PreparedInForce().Channels, 2);
  ASSERT_EQ(EngineInForce()->Route.InputMode, InputStereo);
  const auto mono = Stream(NoiseSamples(3000, 13), 1, {576});
  EXPECT_EQ(PreparedInForce().Channels, 1);
  EXPECT_EQ(EngineInForce()->Route.InputMode, InputMono);
  for (int i = 0; i < BlockInForce(); ++i) ASSERT_EQ(mono[i], 0);  // the tail is dropped
  stereo = Stream(NoiseSamples(2 * 3000, 14), 2, {576});
  EXPECT_EQ(PreparedInForce().Channels, 2);
}

TEST_F(Routing, AudioPathAllocatesNothingAtAnyDepth) {
  for (int lowLatency : {0, 1}) {
    Settings.LowLatency = lowLatency;
    UseIr(DecayingIr(2, 40000, 15));
    auto audio = NoiseSamples(3 * 576, 16);  // room for 576 stereo frames of 24 bits
    ProcessSamples(nullptr, audio.data(), 576, 16, 2, 44100);  // prepares
    const int64_t before = AllocationCount();
    for (int i = 0; i < 300; ++i) {
      ProcessSamples(nullptr, audio.data(), 576, 8 << (i % 3 == 2 ? 0 : i % 3), 2, 44100);
    }
    EXPECT_EQ(AllocationCount(), before) << "low latency " << lowLatency;
    UnloadEngine();
  }
}

// Noise at `bits` bits (8-bit without its offset), as loud as the 16-bit
// noise of the other tests, with every bit of the depth in use.
std::vector<int32_t> NoiseAt(int bits, size_t count, uint32_t seed) {
  const auto loud = NoiseSamples(count, seed, 8000);
  const auto fine = NoiseSamples(count, seed + 1, 127);
  std::vector<int32_t> out(count);
  for (size_t i = 0; i < count; ++i) out[i] = bits == 24 ? loud[i] * 256 + fine[i] : loud[i] / 256;
  return out;
}

// Values of `bits` bits in the engine's 16-bit units.
std::vector<double> InUnits(const std::vector<int32_t>& values, int bits) {
  std::vector<double> out(values.begin(), values.end());
  for (double& v : out) v = std::ldexp(v, 16 - bits);
  return out;
}

class Depth : public EngineTest, public ::testing::WithParamInterface<std::tuple<Row, int>> {};

// The result keeps the stream's own depth: at 24 bits within one LSB of
// 24 bits of the exact convolution, not a 16-bit result widened; the dry of
// a 37 % mix at its own depth too.
TEST_P(Depth, MatchesDirectConvolutionAtItsOwnDepth) {
  const auto [row, bits] = GetParam();
  Settings.ForceMonoOut = row.forceMonoOut;
  Settings.ForceMonoIn = row.forceMonoIn;
  SetGainDB(-3);
  const PcmAudio ir = DecayingIr(row.irChannels, 700, 60);
  UseIr(ir);
  const auto input = NoiseAt(bits, 6000 * row.streamChannels, 61);
  Settings.Mix = 37;
  const auto out = StreamAtDepth(input, row.streamChannels, bits, RandomSchedule(62));
  const auto x = InUnits(input, bits);
  const int64_t h = ChooseBlockLength(700);
  const auto sums = Blended(ExpectedSums(x, row.streamChannels, ir, Settings.GainLinear, h,
                                         row.forceMonoOut, row.forceMonoIn),
                            x, row.streamChannels, h, 37);
  std::vector<int32_t> expected(sums.size());
  for (size_t i = 0; i < sums.size(); ++i) expected[i] = AtDepth(sums[i], bits);
  EXPECT_LE(WorstDifference(out, expected), 1);
}

INSTANTIATE_TEST_SUITE_P(
    SevenRowsTwoDepths, Depth,
    ::testing::Combine(::testing::Values(Row{1, 0, 0, 1, 0, 0}, Row{2, 1, 0, 2, 1, 0},
                                         Row{2, 0, 1, 1, 1, 0}, Row{2, 0, 1, 2, 2, 1},
                                         Row{2, 0, 0, 1, 3, 2}, Row{2, 0, 0, 2, 3, 3},
                                         Row{2, 0, 0, 4, 3, 4}),  // true stereo
                       ::testing::Values(8, 24)));

// The engine works in the same units at every depth: a stream may change
// depth between two buffers without a new preparation. The low-latency
// engine's single-precision spectra are within two LSB at 24 bits.
TEST_F(Depth, ChangesWithinOneStreamOnBothKinds) {
  const PcmAudio ir = DecayingIr(2, 1500, 63);
  UseIr(ir);
  const int segments[] = {16, 24, 8, 24, 16};
  for (int kind : {0, 1}) {
    Settings.LowLatency = kind;
    UnloadEngine();
    ASSERT_EQ(PrepareEngine(2), PrepareOk);
    const int64_t allocations = AllocationCount();
    std::vector<double> units;
    std::vector<int32_t> out;
    for (int i = 0; i < 5; ++i) {
      const auto input = NoiseAt(segments[i], 2 * 2000, 64 + i);
      const auto x = InUnits(input, segments[i]);
      units.insert(units.end(), x.begin(), x.end());
      const auto y = StreamAtDepth(input, 2, segments[i], {300, 1, 777});
      out.insert(out.end(), y.begin(), y.end());
    }
    EXPECT_EQ(AllocationCount(), allocations) << "kind " << kind;
    const int64_t h = kind ? 512 : ChooseBlockLength(1500);
    const auto sums = ExpectedSums(units, 2, ir, 1.0, h);
    for (size_t i = 0; i < sums.size(); ++i) {
      const int bits = segments[i / (2 * 2000)];
      ASSERT_LE(std::abs(out[i] - AtDepth(sums[i], bits)), kind && bits == 24 ? 2 : 1)
          << "kind " << kind << ", sample " << i << " at " << bits << " bits";
    }
  }
}

// Runs of frames, one or two channels, of an odd count and of one whole
// group of eight samples, read and write what Read and Write give sample by
// sample, NaN and values past the bounds included, and write nothing past
// their end.
template <class F>
void ExpectRunsAsSampleBySample() {
  const double values[] = {0.0,          1.9, -1.9, -0.5,  32767.9, -32768.5, 1e12,  -1e12,
                           std::nan(""), 8e6, -8e6, 127.5, -3e9,    12345.6,  -777.7};
  constexpr int32_t n = sizeof values / sizeof values[0];
  for (int32_t count : {n, 8}) {
    for (int32_t channels = 1; channels <= 2; ++channels) {
      const int32_t frames = count / channels;
      double y[2][n];
      for (int32_t i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) y[c][i] = values[i * channels + c];
      }
      std::vector<uint8_t> run(n * 3, 0x5A), one = run;
      WriteRun<F>(run.data(), channels, frames, y[0], y[1]);
      for (int32_t i = 0; i < frames * channels; ++i) F::Write(&one[i * F::kBytes], values[i]);
      EXPECT_EQ(run, one) << F::kBytes * 8 << " bits, " << channels << " channels, " << frames;
      double x[2][n];
      ReadRun<F>(one.data(), channels, frames, x[0], x[1]);
      for (int32_t i = 0; i < frames * channels; ++i) {
        EXPECT_EQ(x[i % channels][i / channels], F::Read(&one[i * F::kBytes])) << i;
      }
    }
  }
}

// Each depth clips at its own bounds and truncates toward zero; NaN is
// silence at every depth.
TEST_F(Depth, ClipsAndTruncatesAtEachDepthsOwnBounds) {
  EXPECT_EQ(ToSample(32767.9), 32767);
  EXPECT_EQ(ToSample(-32768.5), -32768);
  EXPECT_EQ(ToSample(1.9), 1);
  EXPECT_EQ(ToSample(-1.9), -1);
  EXPECT_EQ(ToSample(-0.5), 0);
  EXPECT_EQ(ToSample(std::nan("")), 0);
  // Through the engine: +20 dB on a loud signal clips both ways.
  SetGainDB(20);
  UseIr(Click(1, 1));
  EXPECT_EQ(StreamAtDepth({0, 20000, -20000, 0}, 1, 16, {4}),
            (std::vector<int32_t>{0, 0, 32767, -32768}));
  EXPECT_EQ(StreamAtDepth({0, 8000000, -8000000, 100}, 1, 24, {4}),
            (std::vector<int32_t>{0, 0, 8388607, -8388608}));
  EXPECT_EQ(StreamAtDepth({0, 100, -100, 1}, 1, 8, {4}), (std::vector<int32_t>{0, 0, 127, -128}));
  uint8_t bytes[3] = {1, 1, 1};
  Pcm24::Write(bytes, std::nan(""));
  EXPECT_EQ(UnpackPcm({bytes, bytes + 3}, 24), std::vector<int32_t>{0});
  Pcm8::Write(bytes, std::nan(""));
  EXPECT_EQ(bytes[0], 128);
  ExpectRunsAsSampleBySample<Pcm8>();
  ExpectRunsAsSampleBySample<Pcm16>();
  ExpectRunsAsSampleBySample<Pcm24>();
}

TEST_F(Depth, QuietDetailSurvivesAndSilenceStaysSilent) {
  UseIr(Click(2, 1));
  // -100 dBFS at 24 bits is a third of a 16-bit LSB.
  std::vector<int32_t> sine(2 * 2000);
  for (size_t i = 0; i < sine.size(); ++i) {
    sine[i] = static_cast<int32_t>(std::lround(8388608e-5 * std::sin(0.1 * double(i / 2))));
  }
  const auto out = StreamAtDepth(sine, 2, 24, {576});
  EXPECT_TRUE(std::any_of(out.begin(), out.end(), [](int32_t v) { return v != 0; }));
  std::vector<uint8_t> silence(2 * 1000, 128);
  StreamBytes(silence.data(), 1000, 2, 8, {576});
  EXPECT_TRUE(std::all_of(silence.begin(), silence.end(), [](uint8_t v) { return v == 128; }));
}

}  // namespace
