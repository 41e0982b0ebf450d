// SPDX-License-Identifier: GPL-2.0-or-later
// Soak: thousands of odd buffers while the control window loads, applies
// and closes, then 50 Init/Quit cycles with the process's memory measured.
#include "tests/support/plugin_fixture.h"
// After windows.h, which the fixture brings.
#include <psapi.h>

#include <atomic>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "settings/settings.h"

namespace {

size_t ProcessMemory() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return counters.PagefileUsage;  // Wine leaves PrivateUsage at 0
}

class Soak : public PluginInProcess {
 protected:
  std::atomic<bool> stop{false};
  std::atomic<long> buffers{0};
  std::atomic<long> wrongCounts{0};

  // Random sizes (0 included), channel counts, rates and sample widths; the
  // buffer is always big enough for what the call claims.
  void Stream(unsigned seed, long count) {
    std::mt19937 rng(seed);
    std::vector<short> audio(3 * 4096 + 16);  // 4096 stereo frames of 24 bits
    for (auto& s : audio) s = static_cast<short>(rng() % 20001) - 10000;
    const int rates[] = {44100, 48000, 22050, 8000, 96000, 0, -1, 2147483647};
    const int bits[] = {16, 16, 16, 16, 8, 24, 32};
    for (long i = 0; i < count && !stop; ++i) {
      const int frames = rng() % 8 == 0 ? 0 : static_cast<int>(rng() % 4096) + 1;
      const int channels = rng() % 4 == 0 ? 1 : 2;
      const int rate = rng() % 10 == 0 ? rates[rng() % 8] : 44100;
      const int width = bits[rng() % 7];
      const int got = Module.ModifySamples(&Module, audio.data(), frames, width, channels, rate);
      if (got != frames) ++wrongCounts;
      ++buffers;
    }
  }

  // plugin.ini: the section with each of the nine keys once, numbers well
  // formed (keys that were in the file before keep their places).
  void ExpectNineKeys() {
    const std::string ini = ReadIni();
    ASSERT_EQ(ini.rfind("[Quillarven]\r\n", 0), 0u) << ini;
    static const std::regex number("-?\\d+");
    std::map<std::string, std::string> keys;
    std::istringstream lines(ini.substr(14));
    for (std::string line; std::getline(lines, line);) {
      ASSERT_FALSE(line.empty()) << ini;
      ASSERT_EQ(line.back(), '\r') << ini;
      const size_t eq = line.find('=');
      ASSERT_NE(eq, std::string::npos) << ini;
      EXPECT_TRUE(
          keys.emplace(line.substr(0, eq), line.substr(eq + 1, line.size() - eq - 2)).second)
          << ini;
    }
    ASSERT_EQ(keys.size(), 9u) << ini;
    for (const char* name :
         {"Active", "IRLimitEn", "IRLimit", "GainDB", "ForceMonoIn", "ForceMonoOut", "AutoGain"}) {
      EXPECT_TRUE(std::regex_match(keys[name], number)) << name << " in\n" << ini;
    }
    EXPECT_EQ(keys.count("IRFile") + keys.count("IRDir"), 2u);
  }
};

TEST_F(Soak, OddBuffersWhileTheWindowLoadsAppliesAndCloses) {
  std::filesystem::create_directories(dir / "Soak IRs");
  const std::string good = Path("Soak IRs\\Room.wav");
  WritePcm16(good, DecayingIr(2, 22050, 3));
  const std::string bad = Path("Soak IRs\\Bad.wav");
  WriteText(bad, "RIFF....WAVEfmt junk");
  Start();
  std::thread audio([this] { Stream(1, 6000); });

  HWND limit = GetDlgItem(window, IDC_LIMIT_SLIDER);
  HWND gain = GetDlgItem(window, IDC_GAIN_SLIDER);
  for (int round = 0; round < 12; ++round) {
    ui::Click(window, round % 3 == 0 ? IDC_FORCE_MONO_OUT : IDC_IR_LIMIT_EN);
    SendMessageA(limit, TBM_SETPOS, TRUE, 100 + 300 * round);
    SendMessageA(window, WM_HSCROLL, 0, reinterpret_cast<LPARAM>(limit));
    SendMessageA(gain, TBM_SETPOS, TRUE, 10 + 5 * round);
    SendMessageA(window, WM_HSCROLL, 0, reinterpret_cast<LPARAM>(gain));
    ui::ClickAsync(window, IDC_APPLY);
    // Load through the real chooser, a good file and a bad one in turn.
    ASSERT_TRUE(LoadThroughChooser(round % 2 ? bad : good));
  }
  SendMessageA(window, WM_CLOSE, 0, 0);  // closed mid-stream
  ASSERT_TRUE(ui::WaitGone(window));
  audio.join();
  std::printf("soak: %ld buffers through the plug-in while 12 Loads and Applies ran\n",
              buffers.load());
  EXPECT_EQ(wrongCounts, 0);
  EXPECT_GE(buffers, 6000);
  Stop();
  ExpectNineKeys();
}

// Every other cycle quits at once, before the UI thread has done anything.
TEST_F(Soak, FiftyCyclesInOneProcessKeepMemoryFlat) {
  WriteIni("AutoGain=1\r\n");
  size_t first = 0;
  size_t last = 0;
  for (int cycle = 1; cycle <= 50; ++cycle) {
    ASSERT_EQ(Init(&Module), 0);
    started = true;
    if (cycle % 2) Stream(100 + cycle, 60);
    Stop();
    ExpectNineKeys();
    if (cycle == 1) first = ProcessMemory();
    last = ProcessMemory();
  }
  std::printf("cycles: memory after cycle 1 %.2f MB, after cycle 50 %.2f MB\n", first / 1e6,
              last / 1e6);
  // One engine left behind per cycle (about 15 MB with this 3 s IR) would fail this.
  EXPECT_LT(last, first + 4 * 1000 * 1000);
  Quit(&Module);  // a stray Quit without Init does nothing
}

}  // namespace
