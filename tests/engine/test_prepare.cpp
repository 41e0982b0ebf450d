// SPDX-License-Identifier: GPL-2.0-or-later
// PrepareEngine: fast restart against full reload, the four results and the
// state each leaves, IR limiting and automatic gain.
#include <algorithm>
#include <cstring>
#ifdef _WIN32
#include <windows.h>
#endif

#include "tests/support/engine_fixture.h"

namespace {

class Prepare : public EngineTest {
 protected:
  // A full reload allocates; a fast restart does not.
  bool Reloads(int channels = 2) {
    const int64_t before = AllocationCount();
    EXPECT_EQ(PrepareEngine(channels), PrepareOk);
    return AllocationCount() != before;
  }

  void ExpectUnloadedAndEmpty() {
    EXPECT_EQ(Engine.EngineLoaded, 0);
    EXPECT_EQ(Engine.ForwardPlan, nullptr);
    EXPECT_EQ(Engine.InversePlan, nullptr);
    EXPECT_EQ(Engine.WorkBuffer.Data[0], nullptr);
    EXPECT_EQ(Engine.WorkBuffer.Data[1], nullptr);
    EXPECT_EQ(Engine.SpectrumBuffer.Data[0], nullptr);
    EXPECT_EQ(Engine.IrSpectrum.Data[0], nullptr);
    EXPECT_EQ(Engine.IrSpectrum.Data[1], nullptr);
    EXPECT_EQ(Engine.InputBlock[0], nullptr);
    EXPECT_EQ(Engine.InputBlock[1], nullptr);
  }
};

TEST_F(Prepare, SameSettingsTakeTheFastRestart) {
  const std::string path = UseIr(DecayingIr(2, 2000, 21));
  Settings.AutoGain = 1;
  ASSERT_TRUE(Reloads());
  const int32_t gain = Settings.GainDB;
  Stream(NoiseSamples(2 * 3000, 22), 2, {576});
  std::filesystem::remove(path);  // a fast restart opens no file
  SetGainDB(gain + 5);
  EXPECT_FALSE(Reloads());
  EXPECT_EQ(Settings.GainDB, gain + 5);  // automatic gain is not applied again
  EXPECT_EQ(Engine.FillPos, Engine.BlockLength);
  for (int c = 0; c < 2; ++c) {
    const double* w = Engine.WorkBuffer.Data[c];
    EXPECT_TRUE(std::all_of(w, w + Engine.FftLength, [](double v) { return v == 0.0; }));
  }
  // AutoGain, GainDB, Active and the rate are not part of the test.
  Settings.AutoGain = 0;
  Settings.Active = 0;
  Settings.SampleRate = 8000;
  EXPECT_FALSE(Reloads());
}

TEST_F(Prepare, AnyRelevantChangeReloads) {
  UseIr(DecayingIr(2, 2000, 23));
  ASSERT_TRUE(Reloads());
  Settings.ForceMonoIn = 1;
  EXPECT_TRUE(Reloads());
  Settings.ForceMonoOut = 1;
  EXPECT_TRUE(Reloads());
  Settings.IRLimitEn = 1;
  EXPECT_TRUE(Reloads());
  Settings.IRLimit = 20;
  EXPECT_TRUE(Reloads());
  EXPECT_TRUE(Reloads(1));
  EXPECT_FALSE(Reloads(1));
  // Letter case of the path counts, although the file system may ignore it.
  Settings.IRFile[std::strlen(Settings.IRFile) - 1] = 'V';  // ir.waV
  const int32_t result = PrepareEngine(1);
  EXPECT_NE(std::string(Engine.PreparedIRFile).back(), 'v');
  EXPECT_TRUE(result == PrepareOk || result == PrepareOpenFailed);  // Wine finds it, Linux not
}

TEST_F(Prepare, OpenFailureIsResultOneAndIsTriedAgain) {
  const std::string path = Path("later.wav");
  NameIr(path);
  EXPECT_EQ(PrepareEngine(2), PrepareOpenFailed);
  ExpectUnloadedAndEmpty();
  EXPECT_EQ(Engine.PreparedChannels, 2);
  EXPECT_STREQ(Engine.PreparedIRFile, Settings.IRFile);
  // The same settings again: a full attempt, not a fast restart.
  WritePcm16(path, Click(1, 10));
  EXPECT_EQ(PrepareEngine(2), PrepareOk);
  EXPECT_EQ(Engine.EngineLoaded, 1);
#ifdef _WIN32
  // A file that another program holds without sharing cannot be opened.
  HANDLE lock = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  Settings.IRLimitEn = 1;  // a full reload
  EXPECT_EQ(PrepareEngine(2), PrepareOpenFailed);
  CloseHandle(lock);
  EXPECT_EQ(PrepareEngine(2), PrepareOk);
#endif
}

// Folders nested so that the path fills the 259 characters of its field.
TEST_F(Prepare, PathOfTheWholeFieldLoads) {
  std::string path = dir.string() + "/";
  while (path.size() + 9 < kPathChars - 1) {
    path += std::string(std::min<size_t>(100, kPathChars - 10 - path.size()), 'd') + "/";
    std::filesystem::create_directory(path);
  }
  path += std::string(kPathChars - 1 - path.size() - 4, 'i') + ".wav";
  ASSERT_EQ(path.size(), 259u);
  UseIr(Click(1, 10), path.c_str());
  EXPECT_EQ(PrepareEngine(2), PrepareOk);
  EXPECT_STREQ(Engine.PreparedIRFile, path.c_str());
}

TEST_F(Prepare, NotAWavIsResultTwo) {
  UseIr(DecayingIr(1, 100, 24));
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  UseBytes(Riff({}, "RIFF", "AVI "), "x.wav");
  EXPECT_EQ(PrepareEngine(2), PrepareBadWav);
  ExpectUnloadedAndEmpty();
  // A directory is no WAV file either: Windows does not open it, Linux
  // opens it and reads nothing.
  NameIr(dir.string());
  const int32_t result = PrepareEngine(2);
#ifdef _WIN32
  EXPECT_EQ(result, PrepareOpenFailed);
#else
  EXPECT_TRUE(result == PrepareOpenFailed || result == PrepareBadWav) << result;
#endif
  ExpectUnloadedAndEmpty();
}

TEST_F(Prepare, EveryAllocationFailureIsResultThreeAndLeavesNothing) {
  for (int irChannels : {1, 2}) {
    for (int streamChannels : {1, 2}) {
      UseIr(DecayingIr(irChannels, 3000, 25));
      UnloadEngine();
      const int64_t before = AllocationCount();
      ASSERT_EQ(PrepareEngine(streamChannels), PrepareOk);
      const int64_t needed = AllocationCount() - before;
      ASSERT_GT(needed, 5);
      for (int64_t k = 0; k < needed; ++k) {
        UnloadEngine();
        FailAllocationsAfter(k);
        EXPECT_EQ(PrepareEngine(streamChannels), PrepareNoMemory) << k;
        FailAllocationsAfter(-1);
        ExpectUnloadedAndEmpty();
        EXPECT_EQ(Engine.PreparedChannels, streamChannels);
        // Audio passes unchanged, and the next attempt loads.
        auto audio = NoiseSamples(static_cast<size_t>(100) * streamChannels, 26);
        const auto copy = audio;
        ProcessSamples(nullptr, audio.data(), 100, 16, streamChannels, 44100);
        EXPECT_EQ(audio, copy);
        EXPECT_EQ(PrepareEngine(streamChannels), PrepareOk);
      }
    }
  }
}

TEST_F(Prepare, IrLimitCutsTheFramesUsed) {
  UseIr(DecayingIr(2, 5000, 27));
  Settings.IRLimitEn = 1;
  Settings.IRLimit = 0;  // taken as 10 ms
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  EXPECT_EQ(Engine.BlockLength, 441);
  EXPECT_EQ(Engine.FftLength, 882);
  Settings.IRLimit = 4000;  // longer than the IR: no effect
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  EXPECT_EQ(Engine.BlockLength, ChooseBlockLength(5000));
  Settings.SampleRate = 8000;
  Settings.IRLimit = 100;
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  EXPECT_EQ(Engine.BlockLength, 800);
  // Values that would overflow 32 bits, and negative ones, stay sane.
  Settings.IRLimit = INT32_MAX;
  Settings.SampleRate = INT32_MAX;
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  EXPECT_EQ(Engine.BlockLength, ChooseBlockLength(5000));
  Settings.IRLimit = -50;
  Settings.SampleRate = 44100;
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  EXPECT_EQ(Engine.BlockLength, 1);
  Settings.IRLimit = 1000;
  Settings.SampleRate = -44100;
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  EXPECT_EQ(Engine.BlockLength, 1);
}

TEST_F(Prepare, SingleChannelStreamMixesAStereoIr) {
  UseIr(Click(2, 1, 0, 32767));
  ASSERT_EQ(PrepareEngine(1), PrepareOk);
  EXPECT_EQ(Engine.InputMode, 0);
  EXPECT_EQ(Engine.BlockMode, 0);
  EXPECT_EQ(Engine.IrSpectrum.Channels, 1);
  EXPECT_EQ(Engine.BlockLength, 1);
  EXPECT_EQ(Engine.FftLength, 2);
}

TEST_F(Prepare, AutomaticGainTable) {
  const struct {
    double peak;
    int32_t db;
  } table[] = {{0.5, 12}, {2.0, 0},  {4.0, -6},    {0.05, 20},  {10000, -60},
               {0.0, 0},  {3.0, -3}, {1e-300, 20}, {1e300, -60}};
  for (const auto& row : table) EXPECT_EQ(AutoGainDB(row.peak), row.db) << row.peak;
}

TEST_F(Prepare, AutomaticGainAtAFullLoad) {
  UseIr(Click(1, 10, 0, 16384));  // an impulse of one half: peak 0.5
  Settings.AutoGain = 1;
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  EXPECT_DOUBLE_EQ(Engine.PeakMagnitude, 0.5);
  EXPECT_EQ(Settings.GainDB, 12);
  EXPECT_DOUBLE_EQ(Settings.GainLinear, std::pow(10.0, 12 * 0.05));
  UseIr(Click(1, 10, 0, 0), "silent.wav");
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  EXPECT_EQ(Settings.GainDB, 0);
}

TEST_F(Prepare, TruncatedFileLoadsWithZeros) {
  const std::string path = UseIr(Click(1, 4));
  std::filesystem::resize_file(path, 44 + 2);  // only the first sample is left
  ASSERT_EQ(PrepareEngine(1), PrepareOk);
  EXPECT_EQ(Engine.BlockLength, 4);
  auto out = Stream({1000, 2000, 3000, 4000, 5000, 6000, 7000, 8000}, 1, {8});
  EXPECT_EQ(out, (std::vector<int16_t>{0, 0, 0, 0, 999, 1999, 2999, 3999}));
}

TEST_F(Prepare, IrTooLongToSizeIsRefusedBeforeAllocating) {
  // 2^31 - 1 bytes of mono samples: the transform length would pass the
  // 32-bit range.
  UseBytes(Wav(1, 1, 16, 0x7FFFFFFF, 64), "huge.wav");
  const int64_t before = AllocationCount();
  EXPECT_EQ(PrepareEngine(2), PrepareNoMemory);
  EXPECT_EQ(AllocationCount(), before);
  ExpectUnloadedAndEmpty();
#ifdef _WIN32
  // Half as many stereo frames fit the range, but no 32-bit address space.
  UseBytes(Wav(1, 2, 16, 0x7FFFFFFC, 64), "huge_stereo.wav");
  EXPECT_EQ(PrepareEngine(2), PrepareNoMemory);
  ExpectUnloadedAndEmpty();
#endif
}

}  // namespace
