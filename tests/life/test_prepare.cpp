// SPDX-License-Identifier: GPL-2.0-or-later
// PrepareEngine: fast restart against full reload, the four results and the
// state each leaves, IR limiting and automatic gain; the window's loads
// built beside the audio and swapped in between two buffers.
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>
#ifdef _WIN32
#include <windows.h>
#endif

#include "engine/low_latency.h"
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

  // No engine, and nothing of the failed load left allocated: only the
  // stream's dry line stays.
  void ExpectUnloadedAndEmpty() {
    EXPECT_EQ(EngineInForce(), nullptr);
    const DryLine& dry = DryLineInForce();
    EXPECT_EQ(LiveAllocations(), dry.Length > 0 ? dry.Channels : 0);
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
  // AutoGain, GainDB, Active and the rate are not part of the test.
  Settings.AutoGain = 0;
  Settings.Active = 0;
  Settings.SampleRate = 8000;
  EXPECT_FALSE(Reloads());
}

// A file rewritten under the same name (a conversion over it, say) is read
// again by the next Load or Apply; left as it is, Apply stays a fast restart.
TEST_F(Prepare, ARewrittenFileIsReadAgain) {
  UseIr(DecayingIr(2, 2000, 80));
  ASSERT_TRUE(Reloads());
  EXPECT_FALSE(Reloads());
  UseIr(DecayingIr(2, 3000, 81));
  EXPECT_TRUE(Reloads());
  EXPECT_EQ(BlockInForce(), ChooseBlockLength(3000));
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
  EXPECT_NE(std::string(PreparedInForce().IRFile).back(), 'v');
  EXPECT_TRUE(result == PrepareOk || result == PrepareOpenFailed);  // Wine finds it, Linux not
}

TEST_F(Prepare, OpenFailureIsResultOneAndIsTriedAgain) {
  const std::string path = Path("later.wav");
  NameIr(path);
  EXPECT_EQ(PrepareEngine(2), PrepareOpenFailed);
  ExpectUnloadedAndEmpty();
  EXPECT_EQ(PreparedInForce().Channels, 2);
  EXPECT_STREQ(PreparedInForce().IRFile, Settings.IRFile);
  // The same settings again: a full attempt, not a fast restart.
  WritePcm16(path, Click(1, 10));
  EXPECT_EQ(PrepareEngine(2), PrepareOk);
  EXPECT_NE(EngineInForce(), nullptr);
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
  EXPECT_STREQ(PreparedInForce().IRFile, path.c_str());
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
  for (int irChannels : {1, 2, 4}) {
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
        EXPECT_EQ(PreparedInForce().Channels, streamChannels);
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

// A Load that primes a low-latency engine beside the one in force: any one
// of its allocations failing (a priming chunk among them) gives a whole
// result, and nothing is left behind.
TEST_F(Prepare, EveryAllocationFailureOfAPrimedLoadLeavesNothing) {
  Settings.LowLatency = 1;
  for (int irChannels : {2, 4}) {
    const std::string first = UseIr(DecayingIr(irChannels, 3000, 27));
    const std::string second = UseIr(DecayingIr(irChannels, 8000, 28), "second.wav");
    int64_t needed = -1;
    for (int64_t k = -1; k < needed || needed < 0; ++k) {
      UnloadEngine();
      NameIr(first);
      ASSERT_EQ(PrepareEngine(2), PrepareOk);
      Stream(NoiseSamples(2 * 12000, 29), 2, {576});  // more than the swap feeds
      NameIr(second);
      const int64_t before = AllocationCount();
      FailAllocationsAfter(k, 1);  // one at a time: the others go on
      const int32_t result = PrepareEngine(kStreamChannels);
      FailAllocationsAfter(-1);
      if (k < 0) needed = AllocationCount() - before;
      EXPECT_TRUE(result == PrepareOk || result == PrepareNoMemory) << k;
      Stream(NoiseSamples(2 * 6000, 30), 2, {576});
      UnloadEngine();
      EXPECT_EQ(LiveAllocations(), 0) << k;
    }
  }
}

TEST_F(Prepare, IrLimitCutsTheFramesUsed) {
  UseIr(DecayingIr(2, 5000, 27));
  Settings.IRLimitEn = 1;
  Settings.IRLimit = 0;  // taken as 10 ms
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  EXPECT_EQ(BlockInForce(), 441);
  Settings.IRLimit = 4000;  // longer than the IR: no effect
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  EXPECT_EQ(BlockInForce(), ChooseBlockLength(5000));
  Settings.SampleRate = 8000;
  Settings.IRLimit = 100;
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  EXPECT_EQ(BlockInForce(), 800);
  // Values that would overflow 32 bits, and negative ones, stay sane.
  Settings.IRLimit = INT32_MAX;
  Settings.SampleRate = INT32_MAX;
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  EXPECT_EQ(BlockInForce(), ChooseBlockLength(5000));
  Settings.IRLimit = -50;
  Settings.SampleRate = 44100;
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  EXPECT_EQ(BlockInForce(), 1);
  Settings.IRLimit = 1000;
  Settings.SampleRate = -44100;
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  EXPECT_EQ(BlockInForce(), 1);
}

TEST_F(Prepare, SingleChannelStreamMixesAStereoIr) {
  UseIr(Click(2, 1, 0, 32767));
  ASSERT_EQ(PrepareEngine(1), PrepareOk);
  EXPECT_EQ(EngineInForce()->Route.InputMode, InputMono);
  EXPECT_EQ(EngineInForce()->Route.BlockMode, BlockMono);
  EXPECT_EQ(EngineInForce()->Route.IrChannels, 1);
  EXPECT_EQ(BlockInForce(), 1);
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
  EXPECT_DOUBLE_EQ(EngineInForce()->PeakMagnitude, 0.5);
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
  EXPECT_EQ(BlockInForce(), 4);
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

// The window's preparation held open after its build, before its swap,
// while buffers go on streaming.
class BesideAudio : public Prepare {
 protected:
  std::mutex lock;
  std::condition_variable changed;
  bool held = false, released = false;
  std::thread::id window;  // only this thread's preparation is held
  int builds = 0;
  static BesideAudio* self;

  void SetUp() override {
    Prepare::SetUp();
    self = this;
    BeforeEngineSwap = [] { self->AtSwap(); };
  }
  void TearDown() override {
    Release();
    BeforeEngineSwap = nullptr;
    Prepare::TearDown();
  }

  void AtSwap() {
    std::unique_lock<std::mutex> hold(lock);
    ++builds;
    if (std::this_thread::get_id() != window) return;
    held = true;
    changed.notify_all();
    changed.wait(hold, [this] { return released; });
  }

  // Starts a window preparation and waits until it is held before its swap.
  std::future<int32_t> HeldLoad() {
    auto load = std::async(std::launch::async, [this] {
      {
        std::lock_guard<std::mutex> hold(lock);
        window = std::this_thread::get_id();
      }
      return PrepareEngine(kStreamChannels);
    });
    std::unique_lock<std::mutex> hold(lock);
    EXPECT_TRUE(changed.wait_for(hold, std::chrono::seconds(60), [this] { return held; }));
    return load;
  }

  void Release() {
    std::lock_guard<std::mutex> hold(lock);
    released = true;
    changed.notify_all();
  }

  // Streams on a thread of its own, so that a stream stuck behind the
  // preparation fails the test instead of hanging it.
  std::vector<int16_t> StreamBeside(const PcmAudio& audio) {
    auto stream = std::async(std::launch::async,
                             [&] { return Stream(audio.samples, audio.channels, {576}); });
    if (stream.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
      ADD_FAILURE() << "the stream waited for the window's preparation";
      Release();
    }
    return stream.get();
  }

  static PcmAudio Joined(const PcmAudio& a, const PcmAudio& b) {
    PcmAudio both = a;
    both.samples.insert(both.samples.end(), b.samples.begin(), b.samples.end());
    return both;
  }
};
BesideAudio* BesideAudio::self = nullptr;

TEST_F(BesideAudio, TheOldEnginePlaysUntilTheSwapThenTheNewOneFromSilence) {
  const PcmAudio first = DecayingIr(2, 1000, 41);
  UseIr(first);
  const PcmAudio before = Noise(2, 3000, 42);
  const auto playedBefore = Stream(before.samples, 2, {576});
  std::vector<int32_t> graph(IrGraph, IrGraph + kGraphBins);

  Settings.AutoGain = 1;
  UseIr(Click(1, 10, 0, 16384), "second.wav");  // peak 0.5: +12 dB
  auto load = HeldLoad();
  const PcmAudio during = Noise(2, 5000, 43);
  auto played = StreamBeside(during);
  // Wet with the old IR at the old gain, the graph and record unchanged.
  played.insert(played.begin(), playedBefore.begin(), playedBefore.end());
  EXPECT_LE(WorstDifference(played, ExpectedOutput(Joined(before, during), first, 1.0, 1000)), 1);
  EXPECT_EQ(Settings.GainDB, 0);
  EXPECT_EQ(std::vector<int32_t>(IrGraph, IrGraph + kGraphBins), graph);
  EXPECT_EQ(BlockInForce(), 1000);

  Release();
  EXPECT_EQ(load.get(), PrepareOk);
  EXPECT_EQ(Settings.GainDB, 12);
  const PcmAudio after = Noise(2, 3000, 44);
  EXPECT_LE(WorstDifference(StreamBeside(after),
                            ExpectedOutput(after, Click(1, 10, 0, 16384), Settings.GainLinear,
                                           ChooseBlockLength(10))),
            1);
}

// The stream turns mono while the window builds for stereo: the window's
// engine is not swapped in; the audio thread's, built from the same
// settings, stays and restarts.
TEST_F(BesideAudio, AStaleResultIsNotSwappedIn) {
  UseIr(DecayingIr(2, 800, 45));
  Stream(Noise(2, 2000, 46).samples, 2, {576});
  const PcmAudio second = DecayingIr(2, 600, 47);
  UseIr(second, "second.wav");
  builds = 0;
  auto load = HeldLoad();
  StreamBeside(Noise(1, 1000, 48));  // prepares for one channel on this side
  EXPECT_EQ(PreparedInForce().Channels, 1);
  Release();
  EXPECT_EQ(load.get(), PrepareOk);
  EXPECT_EQ(builds, 2);  // the window's and the stream's; then a fast restart
  EXPECT_EQ(PreparedInForce().Channels, 1);
  const PcmAudio mono = Noise(1, 3000, 49);
  EXPECT_LE(WorstDifference(StreamBeside(mono), ExpectedOutput(mono, second, 1.0, 600)), 1);
}

// The stream turns mono while the window's load finds no room: the retry
// leaves the engine the audio thread swapped in meanwhile, and the result
// says what is in force.
TEST_F(Prepare, TheRetryReleasesOnlyTheEngineItReplaces) {
  UseIr(DecayingIr(2, 2000, 53));
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  UseIr(DecayingIr(2, 1000, 54), "second.wav");
  static int builds;
  builds = 0;
  BeforeEngineSwap = [] {
    if (builds++ > 0) return;
    FailAllocationsAfter(-1);
    std::vector<int16_t> mono(576, 100);
    ProcessSamples(nullptr, mono.data(), 576, 16, 1, 44100);
  };
  FailAllocationsAfter(0);
  EXPECT_EQ(PrepareEngine(kStreamChannels), PrepareOk);
  BeforeEngineSwap = nullptr;
  ASSERT_NE(EngineInForce(), nullptr);
  EXPECT_EQ(PreparedInForce().Channels, 1);
  EXPECT_EQ(BlockInForce(), ChooseBlockLength(1000));
}

// The audio thread's own preparation ends with a swap even when the window
// changed a setting meanwhile; the change waits for the next Apply.
TEST_F(Prepare, TheAudioThreadsPreparationAlwaysSwaps) {
  UseIr(DecayingIr(2, 2000, 55));
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  static int builds;
  builds = 0;
  BeforeEngineSwap = [] {
    if (builds++ == 0) Settings.IRLimitEn = 1;
  };
  Stream(NoiseSamples(1000, 56), 1, {576});
  BeforeEngineSwap = nullptr;
  EXPECT_EQ(builds, 1);
  EXPECT_EQ(PreparedInForce().Channels, 1);
  EXPECT_EQ(PreparedInForce().IRLimitEn, 0);
  EXPECT_TRUE(Reloads(kStreamChannels));
  EXPECT_EQ(PreparedInForce().IRLimitEn, 1);
}

// The window's first build fails after the first buffer prepared the same
// settings on the audio thread: the engine that buffer swapped in stays.
TEST_F(Prepare, AFailedWindowBuildKeepsAnEngineSwappedInMeanwhile) {
  UseIr(DecayingIr(2, 1000, 57));
  static int builds;
  builds = 0;
  BeforeEngineSwap = [] {
    if (builds++ > 0) return;
    FailAllocationsAfter(-1);
    std::vector<int16_t> stereo(2 * 576, 100);
    ProcessSamples(nullptr, stereo.data(), 576, 16, 2, 44100);
  };
  FailAllocationsAfter(0);
  EXPECT_EQ(PrepareEngine(kStreamChannels), PrepareOk);
  BeforeEngineSwap = nullptr;
  EXPECT_EQ(builds, 2);
  EXPECT_EQ(BlockInForce(), ChooseBlockLength(1000));
}

// Two engines do not fit side by side: the old one is released and the load
// tried once more.
TEST_F(Prepare, WithoutRoomForTwoTheOldEngineGoesFirst) {
  UseIr(DecayingIr(2, 3000, 50));
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  UseIr(DecayingIr(2, 2000, 51), "second.wav");
  FailAllocationsAfter(3, 1);  // the first attempt fails, the second has room
  EXPECT_EQ(PrepareEngine(2), PrepareOk);
  EXPECT_EQ(BlockInForce(), ChooseBlockLength(2000));
  UseIr(DecayingIr(2, 1000, 52), "third.wav");
  FailAllocationsAfter(3);  // no room at all
  EXPECT_EQ(PrepareEngine(2), PrepareNoMemory);
  FailAllocationsAfter(-1);
  ExpectUnloadedAndEmpty();
}

// ResampleIR: the IR is converted to the stream's rate.
class Resampling : public Prepare {
 protected:
  int builds = 0;
  static Resampling* self;
  void SetUp() override {
    Prepare::SetUp();
    self = this;
    BeforeEngineSwap = [] { ++self->builds; };
  }
  void TearDown() override {
    BeforeEngineSwap = nullptr;
    Prepare::TearDown();
  }

  // A 1 kHz tone recorded at 48 kHz, dying away over 0.2 s.
  // A room recorded at 48 kHz, named in the settings, with ResampleIR on.
  void UseRoomAt48k(uint32_t seed) {
    PcmAudio ir = DecayingIr(2, 2000, seed);
    ir.rate = 48000;
    UseIr(ir);
    Settings.ResampleIR = 1;
  }

  static PcmAudio RingingAt48k() {
    PcmAudio ir;
    ir.rate = 48000;
    for (int j = 0; j < 9600; ++j) {
      ir.samples.push_back(static_cast<int16_t>(
          20000 * std::exp(-j / 2400.0) * std::sin(2 * 3.14159265358979 * 1000.0 * j / 48000)));
    }
    return ir;
  }

  // The frequency the IR rings at in a mono stream at `rate`: a click
  // through it, its zero crossings counted over the first 0.1 s.
  double RingingFrequency(int rate) {
    std::vector<int16_t> click(rate, 0);
    click[0] = 32767;
    UnloadEngine();
    Settings.SampleRate = rate;
    EXPECT_EQ(StreamInPlace(click, 1, {576}, rate), 0);
    const int h = BlockInForce();
    int crossings = 0;
    const int span = rate / 10;
    for (int t = h + 1; t < h + span; ++t) crossings += (click[t - 1] < 0) != (click[t] < 0);
    return crossings * double(rate) / (2.0 * span);
  }
};
Resampling* Resampling::self = nullptr;

TEST_F(Resampling, TheIrRingsAtItsOwnFrequencyAtEveryRate) {
  UseIr(RingingAt48k());
  EXPECT_NEAR(RingingFrequency(44100), 918.75, 10);  // without the key: faster playback, lower
  Settings.ResampleIR = 1;
  EXPECT_NEAR(RingingFrequency(44100), 1000, 10);
  EXPECT_NEAR(RingingFrequency(96000), 1000, 10);
}

TEST_F(Resampling, AnIrAtTheStreamsRateIsUsedAsItIs) {
  UseIr(DecayingIr(2, 3000, 70));
  const auto input = NoiseSamples(2 * 8000, 71);
  const auto plain = Stream(input, 2, {576});
  Settings.ResampleIR = 1;
  UnloadEngine();
  EXPECT_EQ(Stream(input, 2, {576}), plain);
}

// The time axis in seconds: a click one second into a 48 kHz IR lies in
// the bin of one second at 44.1 kHz.
TEST_F(Resampling, TheGraphSeesTheConvertedIr) {
  PcmAudio ir = Click(1, 60000, 48000);
  ir.rate = 48000;
  UseIr(ir);
  Settings.ResampleIR = 1;
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  int loudest = 0;
  for (int k = 0; k < kGraphBins; ++k) loudest = IrGraph[k] < IrGraph[loudest] ? k : loudest;
  EXPECT_EQ(loudest, kGraphBins / kGraphSeconds);  // 45: one second
}

// A new rate prepares once, on the buffer that brings it; a failed load
// keeps the rate it was made for; without the key a rate prepares nothing.
TEST_F(Resampling, ARateChangePreparesOnce) {
  UseRoomAt48k(72);
  for (int key : {0, 1}) {
    Settings.ResampleIR = key;
    UnloadEngine();
    Stream(NoiseSamples(2 * 3000, 73), 2, {576}, 44100);
    builds = 0;
    Stream(NoiseSamples(2 * 6000, 74), 2, {576}, 96000);
    EXPECT_EQ(builds, key) << "key " << key;
  }
  NameIr(Path("missing.wav"));
  builds = 0;
  Stream(NoiseSamples(2 * 6000, 75), 2, {576}, 48000);
  EXPECT_EQ(builds, 1);
}

// A call with no rate a conversion can take (0, as some players probe or
// flush, or beyond 1,000 to 768,000 Hz) is no rate change: the stream goes
// on through the engine in force, which was made for the last usable rate.
TEST_F(Resampling, AnUnusableRateIsNoRateChange) {
  UseRoomAt48k(76);
  const auto input = NoiseSamples(2 * 12000, 77);
  const auto plain = Stream(input, 2, {576});
  UnloadEngine();
  auto out = Stream(std::vector<int16_t>(input.begin(), input.begin() + 2 * 6000), 2, {576});
  builds = 0;
  for (int rate : {0, 999, 768001, -44100}) {
    EXPECT_EQ(ProcessSamples(nullptr, nullptr, 0, 16, 2, rate), 0);
    EXPECT_EQ(PrepareEngine(kStreamChannels), PrepareOk);  // Apply: a fast restart...
  }
  EXPECT_EQ(builds, 0);  // ...never a full load
  UnloadEngine();
  out = Stream(std::vector<int16_t>(input.begin(), input.begin() + 2 * 6000), 2, {576});
  for (int rate : {0, 999, 768001}) EXPECT_EQ(ProcessSamples(nullptr, nullptr, 0, 16, 2, rate), 0);
  const auto rest = Stream(std::vector<int16_t>(input.begin() + 2 * 6000, input.end()), 2, {576});
  out.insert(out.end(), rest.begin(), rest.end());
  EXPECT_EQ(out, plain);
  EXPECT_EQ(builds, 2);  // after UnloadEngine: the IR as it is, then converted
}

// A new rate alone is asked of the preparer, not prepared on the audio
// thread: the engine in force plays on at the old rate, no gap, until the
// swap. A channel change prepares on the audio thread with the IR as it is,
// and asks for the conversion after. Bypassed, a new rate is asked for too.
TEST_F(Resampling, ANewRateIsPreparedBesideTheAudio) {
  UseRoomAt48k(78);
  const auto input = NoiseSamples(2 * 9000, 79);
  const auto part = [&](int from, int to) {
    return std::vector<int16_t>(input.begin() + 2 * from, input.begin() + 2 * to);
  };
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  const auto atOldRate = Stream(input, 2, {576});
  static int asked;
  asked = 0;
  PreparationWanted = [] { ++asked; };
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  auto out = Stream(part(0, 3000), 2, {576});
  builds = 0;
  const auto rest = Stream(part(3000, 9000), 2, {576}, 96000);
  out.insert(out.end(), rest.begin(), rest.end());
  EXPECT_EQ(out, atOldRate);
  EXPECT_EQ(builds, 0);
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(PrepareForRate(), PrepareOk);
  EXPECT_EQ(PreparedInForce().SampleRate, 96000);
  EXPECT_EQ(PrepareForRate(), PrepareOk);  // nothing left to do
  EXPECT_EQ(builds, 1);

  Stream(NoiseSamples(3000, 80), 1, {576}, 96000);
  EXPECT_EQ(builds, 2);
  EXPECT_EQ(PreparedInForce().AtStreamRate, 0);
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(PrepareForRate(), PrepareOk);
  EXPECT_EQ(PreparedInForce().AtStreamRate, 1);
  EXPECT_EQ(PreparedInForce().Channels, 1);

  Settings.Active = 0;  // bypassed, a new rate is asked for all the same
  Stream(NoiseSamples(3000, 81), 1, {576}, 48000);
  EXPECT_EQ(asked, 3);
  EXPECT_EQ(PrepareForRate(), PrepareOk);
  EXPECT_EQ(PreparedInForce().SampleRate, 48000);
}

// A preparation for a new rate applies automatic gain only when it is on at
// that moment; otherwise the listener's gain stands.
TEST_F(Resampling, ARatePreparationKeepsTheListenersGain) {
  UseRoomAt48k(84);
  Settings.AutoGain = 1;
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  for (int autoGain : {0, 1}) {
    Settings.AutoGain = autoGain;
    SetGainDB(-25);
    builds = 0;
    Stream(NoiseSamples(2 * 600, 85), 2, {576}, autoGain ? 96000 : 48000);
    ASSERT_EQ(builds, 1);
    EXPECT_EQ(Settings.GainDB, autoGain ? AutoGainDB(EngineInForce()->PeakMagnitude) : -25);
  }
}

// With ResampleIR the first buffers after Init are convolved at the stream's
// rate, whether the host waits after Init (the start-up preparation was for
// 44.1 kHz: the first buffer waits for 96 kHz), streams at once, or no
// window prepares, with either kind: the audio thread's own preparation
// neither primes nor fades. Nothing is left to ask of the preparer.
TEST_F(Resampling, TheFirstBuffersAreAtTheStreamsRate) {
  UseRoomAt48k(86);
  const auto input = NoiseSamples(2 * 6000, 87);
  static int asked;
  for (int kind : {0, 1}) {
    Settings.LowLatency = kind;
    Settings.SampleRate = 96000;
    UnloadEngine();
    ASSERT_EQ(PrepareEngine(2), PrepareOk);
    PreparationWanted = [] { PrepareForRate(); };
    const auto reference = Stream(input, 2, {576}, 96000);
    PreparationWanted = [] { ++asked; };
    enum Habit { WaitsAfterInit, StreamsAtOnce, NoWindow };
    for (Habit habit : {WaitsAfterInit, StreamsAtOnce, NoWindow}) {
      EndLife();
      ReleaseLife();
      Settings.SampleRate = 44100;  // as Init sets it
      StartLife(habit != NoWindow);
      std::thread startUp;
      if (habit == WaitsAfterInit) PrepareEngineAtStartUp();
      if (habit == StreamsAtOnce) {
        startUp = std::thread([] {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
          PrepareEngineAtStartUp();
        });
      }
      asked = builds = 0;
      EXPECT_EQ(Stream(input, 2, {576}, 96000), reference) << habit << ", kind " << kind;
      if (startUp.joinable()) startUp.join();
      EXPECT_EQ(asked, 0) << habit;
      // One build at 96 kHz; streaming at once may meet a start-up at 44.1 kHz first.
      EXPECT_LE(builds, habit == StreamsAtOnce ? 2 : 1) << habit;
    }
  }
}

// A rate's conversion that does not fit, whichever allocation fails, leaves
// the engine in force playing at the old rate and nothing allocated; the
// next Apply converts.
TEST_F(Resampling, ARateThatDoesNotFitKeepsTheEngineInForce) {
  UseRoomAt48k(88);
  ASSERT_EQ(PrepareEngine(2), PrepareOk);
  int64_t needed = 0;
  for (int trip = 0; trip < 2; ++trip) {  // the second with the dry line grown
    Settings.SampleRate = 96000;
    const int64_t before = AllocationCount();
    ASSERT_EQ(PrepareForRate(), PrepareOk);
    needed = AllocationCount() - before;
    Settings.SampleRate = 44100;
    ASSERT_EQ(PrepareForRate(), PrepareOk);
  }
  for (int64_t k = 0; k < needed; ++k) {
    const ConvolutionEngine* inForce = EngineInForce();
    const int64_t live = LiveAllocations();
    Settings.SampleRate = 96000;
    FailAllocationsAfter(k);
    EXPECT_EQ(PrepareForRate(), PrepareNoMemory) << k;
    FailAllocationsAfter(-1);
    EXPECT_EQ(EngineInForce(), inForce) << k;
    EXPECT_EQ(PreparedInForce().SampleRate, 44100) << k;
    EXPECT_EQ(LiveAllocations(), live) << k;
  }
  EXPECT_EQ(PrepareEngine(kStreamChannels), PrepareOk);
  EXPECT_EQ(PreparedInForce().SampleRate, 96000);
}

// However long the IR at the stream's rate, the conversion keeps at most
// 60 s at 44.1 kHz of it.
// A converted room keeps its level at every rate: its response at 1 kHz,
// and the gain automatic gain gives it.
TEST_F(Resampling, AConvertedRoomKeepsItsLevel) {
  UseIr(RingingAt48k());
  Settings.ResampleIR = 1;
  double level[3];
  int32_t gain[3];
  const int rates[] = {48000, 96000, 192000};
  for (int k = 0; k < 3; ++k) {
    UnloadEngine();
    Settings.SampleRate = rates[k];
    Settings.AutoGain = 1;
    ASSERT_EQ(PrepareEngine(1), PrepareOk);
    gain[k] = Settings.GainDB;
    Settings.AutoGain = 0;
    SetGainDB(-30);  // the ringing room's peak stays below full scale
    std::vector<int16_t> tone(rates[k]);
    for (size_t t = 0; t < tone.size(); ++t) {
      tone[t] = static_cast<int16_t>(1000 * std::sin(2 * 3.14159265358979 * 1000.0 * t / rates[k]));
    }
    ASSERT_EQ(StreamInPlace(tone, 1, {576}, rates[k]), 0);
    double sum = 0.0;
    const size_t from = tone.size() * 3 / 4;
    for (size_t t = from; t < tone.size(); ++t) sum += static_cast<double>(tone[t]) * tone[t];
    level[k] = 10 * std::log10(sum / double(tone.size() - from));
  }
  for (int k = 1; k < 3; ++k) {
    EXPECT_NEAR(level[k], level[0], 0.1) << rates[k];
    EXPECT_EQ(gain[k], gain[0]) << rates[k];
  }
}

TEST_F(Resampling, TheConvertedIrIsCut) {
  PcmAudio ir = Click(1, 1400000, 0);
  ir.rate = 22050;
  UseIr(ir);
  Settings.ResampleIR = 1;
  Settings.SampleRate = 48000;
  Settings.LowLatency = 1;
  ASSERT_EQ(PrepareEngine(1), PrepareOk);
  const LowLatencyState& cut = *PartitionsOf(*EngineInForce());
  const PartitionLevel& last = cut.Levels[cut.LevelCount - 1];
  const int64_t covered = last.Offset + int64_t{last.Count} * last.Size;
  EXPECT_GE(covered, kMaxConvertedFrames);
  EXPECT_LT(covered, kMaxConvertedFrames + last.Size);
}

}  // namespace
