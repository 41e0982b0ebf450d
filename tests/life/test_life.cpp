// SPDX-License-Identifier: GPL-2.0-or-later
// The plug-in's life, phase by event: the phase each event leads to and what
// the listener hears next, wet and dry, against the direct-convolution oracle.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "tests/support/engine_fixture.h"

namespace {

constexpr size_t kFade = 2205;  // 50 ms at 44.1 kHz

enum class Heard {
  Dry,          // the buffers come back as they were
  FromSilence,  // the IR in force from silence, as from a fresh start
  CarriedOn,    // the IR in force over the whole stream, as if nothing happened
  Faded,        // after a 50 ms fade: as CarriedOn, or Dry when no engine is in force
  AsOneBlock,   // for the low-latency engine: what the one-block engine gives
};

// The dry under the mix: the stream as the line holds it, or from silence
// (a new Init or channel count starts the line anew).
enum class DryHeard { CarriedOn, Anew };

class Life : public EngineTest {
 public:  // the table's events act on it
  using EngineTest::Path;
  using EngineTest::UseIr;
  const PcmAudio ir = DecayingIr(2, 1200, 90);
  const PcmAudio other = DecayingIr(2, 700, 91);    // a shorter latency
  const PcmAudio longer = DecayingIr(2, 3000, 96);  // a longer one than the line holds
  std::vector<int16_t> history;  // the stereo input streamed since the line started
  size_t wetFrom = 0;            // its first frame the wet has heard
  size_t dryFrom = 0;            // its first frame the line still held
  std::thread startUp;
  static int asked;
  static std::thread quitting;  // the host's Quit beside the audio thread

  void TearDown() override {
    if (startUp.joinable()) startUp.join();
    PreparationWanted = [] { PrepareForRate(); };
    EngineTest::TearDown();
  }

  std::vector<int16_t> Feed(const PcmAudio& audio, int rate = 44100) {
    if (audio.channels == 2)
      history.insert(history.end(), audio.samples.begin(), audio.samples.end());
    return Stream(audio.samples, audio.channels, {576, 100, 1000}, rate);
  }

  // What the last `frames` frames of `audio` come out as: the wet of the
  // history since wetFrom through `now`, blended with the dry one latency
  // late from the history the line held.
  std::vector<int16_t> Expected(const PcmAudio& audio, const PcmAudio& now, int mix) const {
    const int h = BlockInForce();
    const int ch = audio.channels;
    std::vector<double> wet(audio.samples.begin(), audio.samples.end());
    if (ch == 2) wet.assign(history.begin(), history.end());
    std::vector<double> dry = wet;
    std::fill(wet.begin(), wet.begin() + std::min(wet.size(), wetFrom * ch), 0.0);
    std::fill(dry.begin(), dry.begin() + std::min(dry.size(), dryFrom * ch), 0.0);
    const auto sums = Blended(ExpectedSums(wet, ch, now, 1.0, h), dry, ch, h, mix);
    std::vector<int16_t> out;
    for (size_t i = sums.size() - audio.samples.size(); i < sums.size(); ++i) {
      out.push_back(static_cast<int16_t>(AtDepth(sums[i], 16)));
    }
    return out;
  }

  void Bring(LifePhase phase, bool resample) {
    Settings.ResampleIR = resample;
    UseIr(ir);
    if (phase == LifePhase::Passing) NameIr(Path("missing.wav"));
    PrepareEngine(2);
    Feed(Noise(2, 2500, 92));
    wetFrom = dryFrom = 0;
    if (phase == LifePhase::AfterQuit) {
      EndLife();
      ReleaseLife();
    }
    ASSERT_EQ(CurrentPhase(), phase);
  }
};
int Life::asked = 0;
std::thread Life::quitting;

struct Row {
  LifePhase from;
  const char* event;
  void (*act)(Life&);
  LifePhase to;
  Heard heard;
  int channels;  // of the buffers heard after the event
  DryHeard dry = DryHeard::CarriedOn;
  bool resample = false;
  const PcmAudio Life::*ir = &Life::ir;  // the IR heard after the event
  Heard lowLatency = Heard::AsOneBlock;  // with LowLatency=1
};

void Nothing(Life&) {}

TEST_F(Life, EachPhaseTakesEachEventAsTheTableSays) {
  using P = LifePhase;
  const Row rows[] = {
      {P::AfterQuit, "a buffer", Nothing, P::AfterQuit, Heard::Dry, 2},
      {P::AfterQuit, "Init, no window", [](Life&) { StartLife(false); }, P::Ready,
       Heard::FromSilence, 2, DryHeard::Anew},
      {P::AfterQuit, "Init, the start-up preparation beside",
       [](Life& t) {
         StartLife(true);
         t.startUp = std::thread([] {
           std::this_thread::sleep_for(std::chrono::milliseconds(50));
           PrepareEngineAtStartUp();
         });
       },
       P::Ready, Heard::FromSilence, 2, DryHeard::Anew},
      {P::Passing, "a buffer", Nothing, P::Passing, Heard::Dry, 2},
      {P::Passing, "Apply with the file there",
       [](Life& t) {
         t.UseIr(t.ir);
         PrepareEngine(kStreamChannels);
       },
       P::Ready, Heard::FromSilence, 2},
      {P::Ready, "a buffer", Nothing, P::Ready, Heard::CarriedOn, 2},
      {P::Ready, "Active off and on",
       [](Life& t) {
         Settings.Active = 0;
         const PcmAudio bypassed = Noise(2, 3000, 93);
         const auto out = t.Feed(bypassed);
         // Passing once the low-latency engine's bypass has faded in.
         EXPECT_TRUE(
             std::equal(out.begin() + 2 * kFade, out.end(), bypassed.samples.begin() + 2 * kFade));
         Settings.Active = 1;
       },
       P::Ready, Heard::CarriedOn, 2, DryHeard::CarriedOn, false, &Life::ir, Heard::Faded},
      {P::Ready, "a new channel count", Nothing, P::Ready, Heard::FromSilence, 1, DryHeard::Anew},
      {P::Ready, "Apply with nothing changed", [](Life&) { PrepareEngine(kStreamChannels); },
       P::Ready, Heard::FromSilence, 2, DryHeard::CarriedOn, false, &Life::ir, Heard::CarriedOn},
      {P::Ready, "Load of a shorter IR",
       [](Life& t) {
         t.UseIr(t.other, "other.wav");
         PrepareEngine(kStreamChannels);
       },
       P::Ready, Heard::FromSilence, 2, DryHeard::CarriedOn, false, &Life::other, Heard::Faded},
      {P::Ready, "Load of a longer IR",
       [](Life& t) {
         t.UseIr(t.longer, "longer.wav");
         PrepareEngine(kStreamChannels);
       },
       P::Ready, Heard::FromSilence, 2, DryHeard::CarriedOn, false, &Life::longer, Heard::Faded},
      {P::Ready, "a failed Load",
       [](Life& t) {
         NameIr(t.Path("missing.wav"));
         EXPECT_EQ(PrepareEngine(kStreamChannels), PrepareOpenFailed);
       },
       P::Passing, Heard::Dry, 2, DryHeard::CarriedOn, false, &Life::ir, Heard::Faded},
      {P::AfterQuit, "a Load",
       [](Life&) { EXPECT_EQ(PrepareEngine(kStreamChannels), PrepareRefused); }, P::AfterQuit,
       Heard::Dry, 2},
      {P::Ready, "a new rate with ResampleIR", [](Life&) { PreparationWanted = [] { ++asked; }; },
       P::Ready, Heard::CarriedOn, 2, DryHeard::CarriedOn, true},
      {P::Ready, "Quit while a buffer is in a full load",
       [](Life&) {
         // Quit comes while a new channel count builds on the audio thread:
         // it lets the call end before the lock goes, and nothing goes in.
         BeforeEngineSwap = [] {
           BeforeEngineSwap = nullptr;
           quitting = std::thread([] {
             EndLife();
             ReleaseLife();
           });
           while (CurrentPhase() != LifePhase::AfterQuit) std::this_thread::yield();
           std::this_thread::sleep_for(std::chrono::milliseconds(20));
         };
         const int64_t misuses = EngineLockMisuses();
         std::vector<int16_t> mono(576, 100);
         ProcessSamples(nullptr, mono.data(), 576, 16, 1, 44100);
         quitting.join();
         EXPECT_EQ(EngineLockMisuses(), misuses);
         EXPECT_EQ(LiveAllocations(), 0);
       },
       P::AfterQuit, Heard::Dry, 2},
      {P::Ready, "Quit",
       [](Life&) {
         EndLife();
         ReleaseLife();
       },
       P::AfterQuit, Heard::Dry, 2},
  };
  for (const Row& row : rows) {
    for (int low : {0, 1}) {
      for (int mix : {100, 37, 0}) {
        SCOPED_TRACE(std::string(row.event) + ", LowLatency " + std::to_string(low) + ", mix " +
                     std::to_string(mix));
        TearDown();
        SetUp();
        Settings.LowLatency = low;
        Settings.Mix = mix;
        history.clear();
        asked = 0;
        Bring(row.from, row.resample);
        // The line holds the last latency's frames; older ones are silence.
        const size_t held = static_cast<size_t>(DryLineInForce().Length);
        dryFrom = history.size() / 2 - std::min(held, history.size() / 2);
        row.act(*this);
        Heard heard = low && row.lowLatency != Heard::AsOneBlock ? row.lowLatency : row.heard;
        size_t from = 0;  // the first output sample compared
        if (heard == Heard::Faded) {
          from = 2 * kFade;
          heard = row.to == LifePhase::Ready ? Heard::CarriedOn : Heard::Dry;
        }
        if (heard == Heard::FromSilence) wetFrom = history.size() / 2;
        if (row.dry == DryHeard::Anew) {
          history.clear();
          wetFrom = dryFrom = 0;
        }
        const PcmAudio next = Noise(row.channels, 4000, 94);
        const std::vector<int16_t> out = Feed(next, row.resample ? 48000 : 44100);
        if (startUp.joinable()) startUp.join();
        EXPECT_EQ(CurrentPhase(), row.to);
        const std::vector<int16_t> tail(out.begin() + from, out.end());
        if (heard == Heard::Dry) {
          EXPECT_EQ(tail, std::vector<int16_t>(next.samples.begin() + from, next.samples.end()));
          continue;
        }
        const auto expected = Expected(next, this->*row.ir, mix);
        // At Mix 0, exactly the music one latency late.
        EXPECT_LE(
            WorstDifference(tail, std::vector<int16_t>(expected.begin() + from, expected.end())),
            mix == 0 ? 0 : 1);
        EXPECT_EQ(asked, row.resample ? 1 : 0);
      }
    }
  }
}

}  // namespace
