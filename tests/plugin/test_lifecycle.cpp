// SPDX-License-Identifier: GPL-2.0-or-later
// The plug-in's records and lifecycle in this process: start-up and
// shut-down, audio before and after the window, Quit while modal windows
// are open, and repeated cycles.
#include <xmmintrin.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "engine/engine_lock.h"
#include "settings/settings.h"
#include "tests/support/ini.h"
#include "tests/support/plugin_fixture.h"
#include "version.h"

namespace {

class Lifecycle : public PluginInProcess {
 protected:
  static std::vector<short> Clicks(int frames, int channels) {
    std::vector<short> audio(size_t(frames) * channels, 0);
    for (size_t i = 0; i < audio.size(); i += 4410 * channels) audio[i] = 20000;
    return audio;
  }

  // Streams `frames` frames of a loud click train; returns the output.
  std::vector<short> Play(int frames, int channels) {
    std::vector<short> audio = Clicks(frames, channels);
    for (int at = 0; at < frames; at += 576) {
      const int n = std::min(576, frames - at);
      EXPECT_EQ(Module.ModifySamples(&Module, audio.data() + size_t(at) * channels, n, 16, channels,
                                     44100),
                n);
    }
    return audio;
  }

  static bool Silent(const std::vector<short>& audio) {
    for (short s : audio) {
      if (s != 0) return false;
    }
    return true;
  }
};

TEST_F(Lifecycle, RecordsAsTheHostReadsThem) {
  DspHeader* header = &Header;  // what the export returns (the host tests call it)
  EXPECT_EQ(header->version, 0x20);
  EXPECT_STREQ(header->description, QLV_TITLE);
  DspModule* module = header->GetModule(0);
  ASSERT_EQ(module, &Module);
  EXPECT_EQ(header->GetModule(1), nullptr);
  EXPECT_EQ(header->GetModule(-1), nullptr);
  EXPECT_EQ(module->description, header->description);  // one shared text
  EXPECT_EQ(module->parent, nullptr);
  EXPECT_EQ(module->userData, nullptr);
  const void* const* fields = reinterpret_cast<const void* const*>(module);
  EXPECT_EQ(fields[3], reinterpret_cast<const void*>(&Config));
  EXPECT_EQ(fields[4], reinterpret_cast<const void*>(&Init));
  EXPECT_EQ(fields[5], reinterpret_cast<const void*>(&ModifySamples));
  EXPECT_EQ(fields[6], reinterpret_cast<const void*>(&Quit));
  module->Config(module);  // does nothing, opens nothing
  EXPECT_EQ(ui::WaitForWindow(kControlTitle, 200), nullptr);
}

TEST_F(Lifecycle, FirstStartWritesTheNineKeys) {
  Start();
  Stop();
  EXPECT_EQ(ReadIni(), SavedIni(dir.string(), {{"GainDB", std::to_string(Settings.GainDB)}}));
  EXPECT_EQ(EngineInForce(), nullptr);  // released at Quit, with all it held
  EXPECT_EQ(LiveAllocations(), 0);
}

// Before Init and after Quit (a bridge flushing a last buffer, a plug-in
// switched while playing) a buffer passes unchanged and nothing is prepared.
TEST_F(Lifecycle, BuffersBeforeInitAndAfterQuitPassUnchanged) {
  WriteIni("AutoGain=0\r\n");
  EXPECT_EQ(Play(5000, 2), Clicks(5000, 2));
  Start();
  EXPECT_NE(Play(5000, 2), Clicks(5000, 2));
  Stop();
  EXPECT_EQ(Play(5000, 1), Clicks(5000, 1));
  EXPECT_EQ(EngineInForce(), nullptr);
  EXPECT_EQ(LiveAllocations(), 0);
}

// The floating-point state of a player built with Delphi: x87 exceptions
// unmasked (0x1332, read back as 0x1372), and SSE invalid operation, zero
// divide and overflow unmasked. Every entry raises nothing and gives both
// back as it found them, for stored values at the ends of their ranges.
TEST_F(Lifecycle, HostFloatingPointStateIsKept) {
  struct State {
    uint16_t x87;
    uint32_t sse;
    bool operator==(const State& o) const { return x87 == o.x87 && sse == o.sse; }
  };
  const auto now = [] {
    State s;
    asm volatile("fnstcw %0" : "=m"(s.x87));
    s.sse = _mm_getcsr();
    return s;
  };
  const uint16_t delphi = 0x1332;
  asm volatile("fnclex\n\tfldcw %0" : : "m"(delphi));
  _mm_setcsr(0x1900);
  ASSERT_EQ(now().x87, 0x1372);

  PcmAudio gaps = DecayingIr(2, 20000, 3);  // silent stretches: the graph's log of 0
  std::fill(gaps.samples.begin() + 4000, gaps.samples.begin() + 30000, 0);
  const struct {
    PcmAudio ir;
    const char* ini;
    short level;
  } cases[] = {{DecayingIr(2, 5000, 2), "", 8000},
               {gaps, "", 8000},
               {Click(2, 3000, 0, 0), "AutoGain=1\r\n", 8000},
               {DecayingIr(2, 5000, 4), "AutoGain=0\r\nGainDB=20\r\n", 32767},
               {DecayingIr(2, 5000, 5), "AutoGain=0\r\nGainDB=2147483647\r\n", 32767}};
  for (const auto& c : cases) {
    WritePcm16(Path("Impulse Responses\\Chapel.wav"), c.ir);
    WriteIni(c.ini);
    State before = now();
    ASSERT_EQ(Init(&Module), 0);
    started = true;
    EXPECT_EQ(now(), before) << "Init, " << c.ini;
    window = ui::WaitForWindow(kControlTitle);
    for (int channels : {2, 1}) {  // the mono stream prepares on this thread
      std::vector<short> audio(2 * 4000, c.level);
      for (size_t i = 1; i < audio.size(); i += 3) audio[i] = static_cast<short>(-c.level);
      for (int at = 0; at + 576 <= 4000; at += 576) {
        before = now();
        Module.ModifySamples(&Module, audio.data() + at * channels, 576, 16, channels, 44100);
        ASSERT_EQ(now(), before) << "ModifySamples, " << c.ini;
      }
    }
    before = now();
    Stop();
    EXPECT_EQ(now(), before) << "Quit, " << c.ini;
  }
  const uint16_t standard = 0x027F;
  asm volatile("fnclex\n\tfldcw %0" : : "m"(standard));
  _mm_setcsr(0x1F80);
}

TEST_F(Lifecycle, WindowClosedWhileAudioPlays) {
  WriteIni("AutoGain=0\r\n");
  Start();
  Play(10000, 2);
  SendMessageA(window, WM_CLOSE, 0, 0);
  ASSERT_TRUE(ui::WaitGone(window));
  auto out = Play(44100 * 4, 2);
  EXPECT_FALSE(Silent(out));
  out = Play(44100 * 4, 1);  // a change of channel count is still handled
  EXPECT_EQ(PreparedInForce().Channels, 1);
  EXPECT_EQ(EngineNow().Route.InputMode, InputMono);
  EXPECT_FALSE(Silent(out));
  Module.Config(&Module);  // does not reopen the window
  EXPECT_EQ(ui::WaitForWindow(kControlTitle, 300), nullptr);
  Stop();
}

TEST_F(Lifecycle, QuitEndsOpenModalWindowsWithoutAPerson) {
  for (int id : {IDC_HELP_BUTTON, IDC_LOAD}) {
    Start();
    ui::ClickAsync(window, id);
    HWND modal = ui::WaitForWindow(id == IDC_LOAD ? kChooserTitle : kAboutTitle);
    ASSERT_NE(modal, nullptr) << id;
    Stop();
    EXPECT_FALSE(IsWindow(modal));
    EXPECT_FALSE(IsWindow(window));
  }
}

TEST_F(Lifecycle, SecondCycleRereadsTheIni) {
  WriteIni(
      "AutoGain=0\r\nGainDB=-7\r\nIRLimitEn=1\r\nIRLimit=300\r\nLowLatency=1\r\nResampleIR=7\r\n"
      "Mix=37\r\nMatchLoudness=5\r\n");
  Start();
  EXPECT_EQ(Settings.GainDB, -7);
  EXPECT_EQ(Settings.Mix, 37);
  EXPECT_EQ(Settings.MatchLoudness, 1);
  EXPECT_EQ(PreparedInForce().LowLatency, 1);
  EXPECT_EQ(PreparedInForce().ResampleIR, 1);
  EXPECT_EQ(BlockInForce(), 512);
  Stop();
  // Never written, never lost.
  EXPECT_NE(ReadIni().find("LowLatency=1\r\n"), std::string::npos) << ReadIni();
  EXPECT_NE(ReadIni().find("ResampleIR=7\r\n"), std::string::npos) << ReadIni();
  EXPECT_NE(ReadIni().find("Mix=37\r\n"), std::string::npos) << ReadIni();
  EXPECT_NE(ReadIni().find("MatchLoudness=5\r\n"), std::string::npos) << ReadIni();
  WriteIni("AutoGain=0\r\nGainDB=-3\r\nActive=0\r\n");
  Start();
  EXPECT_EQ(Settings.GainDB, -3);
  EXPECT_EQ(Settings.Mix, 100);
  EXPECT_EQ(Settings.MatchLoudness, 0);
  EXPECT_EQ(Settings.Active, 0);
  EXPECT_EQ(Settings.IRLimitEn, 0);
  // A full load, not a restart of the old one.
  EXPECT_EQ(PreparedInForce().LowLatency, 0);
  EXPECT_EQ(PreparedInForce().ResampleIR, 0);
  EXPECT_EQ(BlockInForce(), ChooseBlockLength(3 * 44100));
  EXPECT_EQ(ui::ItemText(window, IDC_GAIN_READOUT), "Set: -3 dB");
  Stop();
}

// Quit while the host's audio thread keeps changing rate with ResampleIR:
// a preparer started by a call that was under way as Quit began is waited
// for, so nothing of ours uses the lock after it is gone.
TEST_F(Lifecycle, QuitWaitsForAPreparerStartedDuringIt) {
  WritePcm16(Path("Impulse Responses\\Chapel.wav"), DecayingIr(2, 4410));
  for (int cycle = 0; cycle < 12; ++cycle) {
    WriteIni("ResampleIR=1\r\n");
    Start();
    std::atomic<bool> playing{true};
    std::thread audio([&] {
      std::vector<short> buffer(2 * 576, 100);
      for (int k = 0; playing.load(); ++k) {
        const int rates[] = {44100, 48000, 96000, 32000};
        Module.ModifySamples(&Module, buffer.data(), 576, 16, 2, rates[k % 4]);
      }
    });
    Sleep(20 + 7 * cycle);
    Stop();
    playing = false;
    audio.join();
    EXPECT_EQ(EngineLockMisuses(), 0) << "cycle " << cycle;
  }
}

TEST_F(Lifecycle, MissingIrLeavesAudioUntouched) {
  WriteIni("IRFile=" + Path("nowhere.wav") + "\r\n");
  Start();
  EXPECT_EQ(ui::ItemText(window, IDC_IR_NAME), "nowhere.wav");
  std::vector<short> audio(2 * 576, 1234);
  EXPECT_EQ(Module.ModifySamples(&Module, audio.data(), 576, 16, 2, 44100), 576);
  EXPECT_EQ(audio, std::vector<short>(2 * 576, 1234));
  Stop();
}

}  // namespace
