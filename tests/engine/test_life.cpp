// SPDX-License-Identifier: GPL-2.0-or-later
// The plug-in's life, phase by event: the phase each event leads to and what
// the listener hears next, against the direct-convolution oracle.
#include <chrono>
#include <cstring>
#include <thread>

#include "tests/support/engine_fixture.h"

namespace {

enum class Heard {
  Dry,          // the buffers come back as they were
  FromSilence,  // the IR in force from silence, as from a fresh start
  CarriedOn,    // the IR in force over the whole stream, as if nothing happened
};

class Life : public EngineTest {
 public:  // the table's events act on it
  using EngineTest::UseIr;
  const PcmAudio ir = DecayingIr(2, 1200, 90);
  const PcmAudio other = DecayingIr(2, 700, 91);
  std::vector<int16_t> history;  // the stereo input streamed since the last restart
  std::thread startUp;
  static int asked;

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

  void Bring(LifePhase phase, bool resample) {
    Settings.ResampleIR = resample;
    UseIr(ir);
    if (phase == LifePhase::Passing) NameIr(Path("missing.wav"));
    PrepareEngine(2);
    Feed(Noise(2, 2500, 92));
    if (phase == LifePhase::AfterQuit) {
      EndLife();
      ReleaseLife();
    }
    ASSERT_EQ(CurrentPhase(), phase);
  }
};
int Life::asked = 0;

struct Row {
  LifePhase from;
  const char* event;
  void (*act)(Life&);
  LifePhase to;
  Heard heard;
  int channels;  // of the buffers heard after the event
  bool resample = false;
};

void Nothing(Life&) {}

TEST_F(Life, EachPhaseTakesEachEventAsTheTableSays) {
  using P = LifePhase;
  const Row rows[] = {
      {P::AfterQuit, "a buffer", Nothing, P::AfterQuit, Heard::Dry, 2},
      {P::AfterQuit, "Init, no window", [](Life&) { StartLife(false); }, P::Ready,
       Heard::FromSilence, 2},
      {P::AfterQuit, "Init, the start-up preparation beside",
       [](Life& t) {
         StartLife(true);
         t.startUp = std::thread([] {
           std::this_thread::sleep_for(std::chrono::milliseconds(50));
           PrepareEngineAtStartUp();
         });
       },
       P::Ready, Heard::FromSilence, 2},
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
         EXPECT_EQ(t.Feed(bypassed), bypassed.samples);
         Settings.Active = 1;
       },
       P::Ready, Heard::CarriedOn, 2},
      {P::Ready, "a new channel count", Nothing, P::Ready, Heard::FromSilence, 1},
      {P::Ready, "Apply with nothing changed", [](Life&) { PrepareEngine(kStreamChannels); },
       P::Ready, Heard::FromSilence, 2},
      {P::Ready, "Load",
       [](Life& t) {
         t.UseIr(t.other, "other.wav");
         PrepareEngine(kStreamChannels);
       },
       P::Ready, Heard::FromSilence, 2},
      {P::Ready, "a new rate with ResampleIR", [](Life&) { PreparationWanted = [] { ++asked; }; },
       P::Ready, Heard::CarriedOn, 2, true},
      {P::Ready, "Quit",
       [](Life&) {
         EndLife();
         ReleaseLife();
       },
       P::AfterQuit, Heard::Dry, 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.event);
    TearDown();
    SetUp();
    history.clear();
    asked = 0;
    Bring(row.from, row.resample);
    row.act(*this);
    if (row.heard == Heard::FromSilence) history.clear();
    const PcmAudio next = Noise(row.channels, 4000, 94);
    const std::vector<int16_t> out = Feed(next, row.resample ? 48000 : 44100);
    if (startUp.joinable()) startUp.join();
    EXPECT_EQ(CurrentPhase(), row.to);
    if (row.heard == Heard::Dry) {
      EXPECT_EQ(out, next.samples);
      continue;
    }
    const PcmAudio& now = std::strcmp(row.event, "Load") == 0 ? other : ir;
    PcmAudio whole = next;
    if (row.channels == 2) whole.samples = history;
    const std::vector<int16_t> expected =
        ExpectedOutput(whole, now, 1.0, BlockInForce(), false, false);
    EXPECT_LE(
        WorstDifference(out, std::vector<int16_t>(expected.end() - out.size(), expected.end())), 1);
    EXPECT_EQ(asked, row.resample ? 1 : 0);
  }
}

}  // namespace
