// SPDX-License-Identifier: GPL-2.0-or-later
// IR loading and analysis: the spectral peak and the graph's time bins and
// rows, on IRs whose answers are known.
#include <cmath>

#include "engine/plans.h"
#include "ir/wav_header.h"
#include "tests/support/engine_fixture.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

class IrAnalysis : public EngineTest {
 protected:
  // An IR of `frames` silent frames with one sample of `value` at `at`.
  void LoadClick(int channels, int frames, int at, int16_t value = 32767, int stream = 2) {
    UseIr(Click(channels, frames, at, value));
    UnloadEngine();
    ASSERT_EQ(PrepareEngine(stream), PrepareOk);
  }

  std::vector<int> PointBins() {
    std::vector<int> bins;
    for (int k = 0; k < kGraphBins; ++k) {
      if (IrGraph[k] != kNoPoint) bins.push_back(k);
    }
    return bins;
  }
};

// The loader alone, as a full load calls it: the spectra and the analysis.
struct Loaded {
  int32_t n = 0;
  ChannelPair spectra{}, cross{};
  ::IrAnalysis analysis{};
  ~Loaded() {
    FreeChannelPair(&spectra);
    FreeChannelPair(&cross);
  }
};

void Load(const PcmAudio& ir, int targetChannels, Loaded* out) {
  const std::string path = (std::filesystem::temp_directory_path() / "qlv_ir_load.wav").string();
  ASSERT_TRUE(WritePcm16(path, ir));
  OwnedFile file(std::fopen(path.c_str(), "rb"));
  WavFormat format{};
  int32_t size = 0;
  ASSERT_EQ(ReadWavHeader(file.get(), &format, &size), 0);
  const int32_t frames = size / format.BlockAlign;
  out->n = TransformLength(frames);
  fftw_plan forward = nullptr, inverse = nullptr;
  ASSERT_TRUE(MakeTransformPlans(out->n, FFTW_ESTIMATE, &forward, &inverse));
  EXPECT_TRUE(LoadImpulseResponse(file.get(), nullptr, frames, targetChannels, format.Channels,
                                  44100, out->n, forward, &out->spectra, &out->cross,
                                  &out->analysis));
  DestroyPlan(&forward);
  DestroyPlan(&inverse);
}

TEST(IrLoader, ImpulseHasAFlatSpectrum) {
  Loaded l;
  Load(Click(1, 1000, 0), 1, &l);
  EXPECT_NEAR(l.analysis.PeakMagnitude, 32767.0 / 32768.0, 1e-12);
  const int32_t n = l.n;
  const double expected = 32767.0 / 32768.0 / n;
  for (int32_t k = 0; k < n; ++k) {
    const double re = l.spectra.Data[0][k];
    if (k <= n / 2) {
      ASSERT_NEAR(re, expected, 1e-15) << k;  // real bins and real parts
    } else {
      ASSERT_NEAR(re, 0.0, 1e-15) << k;  // imaginary parts
    }
  }
}

TEST(IrLoader, HalfcomplexOrderOfADelayedImpulse) {
  // x[1] = 1: bin k is e^{-2 pi i k / N}: real cos, imaginary -sin.
  Loaded l;
  Load(Click(1, 8, 1, 16384), 1, &l);
  const int32_t n = l.n;
  const double* x = l.spectra.Data[0];
  const double scale = 0.5 / n;
  for (int32_t k = 1; k < n / 2; ++k) {
    EXPECT_NEAR(x[k], scale * std::cos(2 * kPi * k / n), 1e-15) << k;
    EXPECT_NEAR(x[n - k], -scale * std::sin(2 * kPi * k / n), 1e-15) << k;
  }
  EXPECT_NEAR(x[n / 2], -scale, 1e-15);
}

TEST(IrLoader, IdenticalChannelsGiveThePeakOfWhatIsInForce) {
  Loaded mixed, kept;
  Load(Click(2, 300, 5, 20000), 1, &mixed);
  Load(Click(2, 300, 5, 20000), 2, &kept);
  EXPECT_EQ(kept.spectra.Channels, 2);
  EXPECT_NEAR(kept.analysis.PeakMagnitude, mixed.analysis.PeakMagnitude, 1e-12);
  EXPECT_NEAR(mixed.analysis.PeakMagnitude, 20000.0 / 32768.0, 1e-12);
  // True stereo: the four paths kept, or what one source feeding both
  // inputs meets, which is twice as loud.
  Loaded four, two, one;
  Load(Click(4, 300, 5, 20000), 4, &four);
  Load(Click(4, 300, 5, 20000), 2, &two);
  Load(Click(4, 300, 5, 20000), 1, &one);
  EXPECT_EQ(four.spectra.Channels + four.cross.Channels, 4);
  EXPECT_EQ(two.cross.Channels, 0);
  EXPECT_NEAR(four.analysis.PeakMagnitude, 20000.0 / 32768.0, 1e-12);
  EXPECT_NEAR(two.analysis.PeakMagnitude, 40000.0 / 32768.0, 1e-12);
  EXPECT_NEAR(one.analysis.PeakMagnitude, 40000.0 / 32768.0, 1e-12);
}

TEST_F(IrAnalysis, SilenceAndEmptyIrsDrawNothing) {
  LoadClick(1, 500, 0, 0);
  EXPECT_EQ(EngineInForce()->PeakMagnitude, 0.0);
  EXPECT_TRUE(PointBins().empty());
  UseIr(Click(2, 0));
  UnloadEngine();
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  EXPECT_EQ(BlockInForce(), 1);
  EXPECT_EQ(EngineInForce()->PeakMagnitude, 0.0);
  EXPECT_TRUE(PointBins().empty());
}

TEST_F(IrAnalysis, BinEdgesAt44100) {
  LoadClick(1, 180000, 974);
  EXPECT_EQ(PointBins(), std::vector<int>{0});
  LoadClick(1, 180000, 975);
  EXPECT_EQ(PointBins(), std::vector<int>{1});
  LoadClick(1, 180000, 176399);
  EXPECT_EQ(PointBins(), std::vector<int>{180});
  LoadClick(1, 180000, 176400);  // four seconds and later add nothing
  EXPECT_TRUE(PointBins().empty());
}

TEST_F(IrAnalysis, RateSetsTheTimeAxis) {
  Settings.SampleRate = 22050;
  LoadClick(1, 90000, 88199);
  EXPECT_EQ(PointBins(), std::vector<int>{180});
  LoadClick(1, 90000, 88200);
  EXPECT_TRUE(PointBins().empty());
  // A rate of 0 gives an empty time axis, not a division by zero.
  Settings.SampleRate = 0;
  LoadClick(1, 1000, 0);
  EXPECT_TRUE(PointBins().empty());
}

TEST_F(IrAnalysis, RowsFromLoudestToFaintest) {
  PcmAudio ir = Click(1, 3000, 0, 0);
  for (int j = 0; j < 975; ++j) ir.samples[j] = 32767;  // bin 0: far above the top
  ir.samples[1500] = 1;                                 // bin 1: tiny but not zero
  UseIr(ir);
  ASSERT_EQ(PrepareEngine(1), PrepareOk);
  EXPECT_EQ(IrGraph[0], 0);
  EXPECT_EQ(IrGraph[1], 52);
  EXPECT_EQ(IrGraph[2], 1000);
  EXPECT_EQ(IrGraph[3], 1000);
  // At 192 kHz one LSB lies below the bottom: row 56, never "no point".
  Settings.SampleRate = 192000;
  LoadClick(1, 10000, 9000, 1);
  EXPECT_EQ(PointBins(), std::vector<int>{2});
  EXPECT_EQ(IrGraph[2], 56);
}

TEST_F(IrAnalysis, KnownRowOfAConstantBin) {
  // 975 frames of 1000 in bin 0: p = 975 (1000/32768)^2, h = sqrt(p)/44100 * 4/181.
  PcmAudio ir = Click(1, 975, 0, 0);
  for (auto& s : ir.samples) s = 1000;
  UseIr(ir);
  ASSERT_EQ(PrepareEngine(1), PrepareOk);
  const double h = std::sqrt(975.0) * (1000.0 / 32768.0) / 44100.0 * (4.0 / 181.0);
  EXPECT_EQ(IrGraph[0], static_cast<int>(-56.0 - 10.0 * std::log10(h)));  // 7.2
  EXPECT_EQ(IrGraph[0], 7);
}

TEST_F(IrAnalysis, StereoRowsLieLowerThanMono) {
  PcmAudio mono = DecayingIr(1, 44100 * 2, 31);
  PcmAudio stereo;
  stereo.channels = 2;
  for (int16_t s : mono.samples) {
    stereo.samples.push_back(static_cast<int16_t>(s / 64));
    stereo.samples.push_back(static_cast<int16_t>(s / 64));
  }
  for (auto& s : mono.samples) s = static_cast<int16_t>(s / 64);
  UseIr(mono, "mono.wav");
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  std::vector<int32_t> monoRows(IrGraph, IrGraph + kGraphBins);
  UseIr(stereo, "stereo.wav");
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  int compared = 0;
  for (int k = 0; k < kGraphBins; ++k) {
    if (monoRows[k] == kNoPoint || monoRows[k] == 0 || monoRows[k] >= 55) continue;
    EXPECT_GE(IrGraph[k] - monoRows[k], 1) << k;
    EXPECT_LE(IrGraph[k] - monoRows[k], 2) << k;
    ++compared;
  }
  EXPECT_GT(compared, 50);
}

TEST_F(IrAnalysis, LimitEndsTheGraph) {
  PcmAudio ir = DecayingIr(2, 44100 * 3, 33);
  UseIr(ir);
  Settings.IRLimitEn = 1;
  Settings.IRLimit = 1000;  // 44100 frames: bins 0..45
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  const auto bins = PointBins();
  ASSERT_FALSE(bins.empty());
  EXPECT_EQ(bins.back(), 45);
}

TEST_F(IrAnalysis, FailedLoadKeepsTheGraph) {
  LoadClick(1, 2000, 975);
  ASSERT_EQ(PointBins(), std::vector<int>{1});
  FailAllocationsAfter(3);
  Settings.IRLimitEn = 1;  // force a full reload
  EXPECT_EQ(PrepareEngine(2), PrepareNoMemory);
  FailAllocationsAfter(-1);
  EXPECT_EQ(PointBins(), std::vector<int>{1});
}

}  // namespace
