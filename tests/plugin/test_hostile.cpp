// SPDX-License-Identifier: GPL-2.0-or-later
// Hostile input, one case per class, through the plug-in as a host runs it:
// settings files, IR files, path lengths and host arguments.
#include <cstring>

#include "plugin_fixture.h"
#include "settings/settings.h"

namespace {

class Hostile : public PluginInProcess {
 protected:
  // Loads `ir` the way the control window's Load does after the chooser.
  int32_t LoadIr(const std::string& ir) {
    std::snprintf(Settings.IRFile, kPathChars, "%s", ir.c_str());
    return PrepareEngine(2);
  }

  std::string WriteFile(const std::string& name, const std::string& bytes) {
    std::ofstream(Path(name), std::ios::binary) << bytes;
    return Path(name);
  }

  static std::string Wav(uint16_t tag, uint16_t channels, uint16_t bits, uint32_t dataSize,
                         size_t dataBytes) {
    std::string b = "RIFF" + std::string(4, '\0') + "WAVEfmt ";
    auto u32 = [&](uint32_t v) {
      for (int i = 0; i < 4; ++i) b += static_cast<char>(v >> (8 * i));
    };
    auto u16 = [&](uint16_t v) {
      b += static_cast<char>(v);
      b += static_cast<char>(v >> 8);
    };
    u32(16);
    u16(tag);
    u16(channels);
    u32(44100);
    u32(44100u * channels * bits / 8);
    u16(static_cast<uint16_t>(channels * bits / 8));
    u16(bits);
    b += "data";
    u32(dataSize);
    b += std::string(dataBytes, '\x11');
    return b;
  }
};

TEST_F(Hostile, SettingsFilesOfEveryKind) {
  const char junk[] =
      "\x01\x02\xff\xfe\r\nGainDB=\x7f\x80\r\n[\r\n=\r\n==\r\nIRLimit=12\x00"
      "34\r\n";
  const std::string cases[] = {
      "Active=99999999999999999999\r\nGainDB=-99999999999999999999\r\nIRLimit=-5\r\n",
      "GainDB=abc\r\nIRLimit=\r\nAutoGain=yes\r\nForceMonoIn=-1\r\n",
      "IRFile=" + std::string(5000, 'x') + "\r\nIRDir=" + std::string(5000, 'y') + "\r\n",
      std::string(junk, sizeof junk - 1),
  };
  for (const std::string& ini : cases) {
    WriteIni(ini);
    Start();
    EXPECT_GE(Settings.GainDB, -60);  // the window brought them into range
    EXPECT_LE(Settings.GainDB, 20);
    EXPECT_GE(Settings.IRLimit, 1);
    EXPECT_LE(Settings.IRLimit, 4000);
    EXPECT_LT(std::strlen(Settings.IRFile), size_t{kPathChars});
    Stop();
    EXPECT_NE(ReadIni().find("AutoGain="), std::string::npos);
  }
}

TEST_F(Hostile, ImpulseResponseFilesOfEveryKind) {
  WriteIni("AutoGain=0\r\n");
  Start();
  // Claims of gigabytes: refused before allocating, for mono and stereo.
  EXPECT_EQ(LoadIr(WriteFile("huge_mono.wav", Wav(1, 1, 16, 0x7FFFFFFF, 64))), PrepareNoMemory);
  EXPECT_EQ(LoadIr(WriteFile("huge_stereo.wav", Wav(1, 2, 16, 0x7FFFFFFC, 64))), PrepareNoMemory);
  EXPECT_EQ(LoadIr(WriteFile("over_2g.wav", Wav(1, 2, 16, 0x80000000u, 64))), PrepareBadWav);
  // Truncated: the missing samples are silence.
  EXPECT_EQ(LoadIr(WriteFile("truncated.wav", Wav(1, 2, 16, 40000, 100))), PrepareOk);
  EXPECT_EQ(LoadIr(WriteFile("empty.wav", "")), PrepareBadWav);
  EXPECT_EQ(LoadIr(Path("")), PrepareOpenFailed);  // a directory
  EXPECT_EQ(LoadIr(Path("missing.wav")), PrepareOpenFailed);
  for (auto [tag, channels, bits] : {std::tuple{1, 1, 8},
                                     {1, 2, 24},
                                     {1, 2, 32},
                                     {3, 1, 32},
                                     {0xFFFE, 2, 16},
                                     {1, 3, 16},
                                     {1, 6, 16}}) {
    EXPECT_EQ(LoadIr(WriteFile("format.wav",
                               Wav(uint16_t(tag), uint16_t(channels), uint16_t(bits), 64, 64))),
              PrepareBadWav)
        << tag << " " << channels << " " << bits;
  }
  // A file locked by another program cannot be opened.
  const std::string locked = WriteFile("locked.wav", Wav(1, 1, 16, 64, 64));
  HANDLE lock = CreateFileA(locked.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  EXPECT_EQ(LoadIr(locked), PrepareOpenFailed);
  CloseHandle(lock);
  EXPECT_EQ(LoadIr(locked), PrepareOk);
}

TEST_F(Hostile, PathsOfExactly259And260Characters) {
  // Folders nested so that the whole path has the length wanted.
  auto pathOf = [&](size_t length) {
    std::string p = dir.string() + "\\";
    while (p.size() + 9 < length) {
      const size_t n = std::min<size_t>(100, length - p.size() - 9);
      p += std::string(n, 'd') + "\\";
      CreateDirectoryA(p.c_str(), nullptr);
    }
    p += std::string(length - p.size() - 4, 'i') + ".wav";
    return p;
  };
  const std::string p259 = pathOf(259);
  ASSERT_EQ(p259.size(), 259u);
  ASSERT_TRUE(WritePcm16(p259, DecayingIr(0.1)));
  WriteIni("AutoGain=0\r\nIRFile=" + p259 + "\r\n");
  Start();
  EXPECT_STREQ(Settings.IRFile, p259.c_str());
  EXPECT_EQ(Engine.EngineLoaded, 1);
  Stop();
  // 260 characters do not fit the field: cut to 259, not written past it.
  const std::string p260 = p259.substr(0, 255) + "x.wav";
  WriteIni("AutoGain=0\r\nIRFile=" + p260 + "\r\n");
  Start();
  EXPECT_EQ(std::strlen(Settings.IRFile), 259u);
  EXPECT_EQ(Engine.EngineLoaded, 0);
  Stop();
}

TEST_F(Hostile, HostArgumentsOfEveryKind) {
  WriteIni("AutoGain=0\r\n");
  Start();
  std::vector<short> audio(2 * 1000, 77);
  const auto copy = audio;
  EXPECT_EQ(Module.ModifySamples(&Module, nullptr, 0, 16, 2, 44100), 0);
  EXPECT_EQ(Module.ModifySamples(&Module, nullptr, 500, 16, 2, 44100), 500);
  EXPECT_EQ(Module.ModifySamples(&Module, audio.data(), -1, 16, 2, 44100), -1);
  EXPECT_EQ(Module.ModifySamples(&Module, audio.data(), INT32_MIN, 16, 2, 44100), INT32_MIN);
  EXPECT_EQ(Module.ModifySamples(nullptr, audio.data(), 0, 16, 2, 44100), 0);
  EXPECT_EQ(audio, copy);
  for (int rate : {0, -44100, 1, 2147483647}) {
    EXPECT_EQ(Module.ModifySamples(&Module, audio.data(), 1000, 16, 2, rate), 1000);
    EXPECT_EQ(Settings.SampleRate, rate);
  }
  // An IR prepared at an absurd rate still loads, with an empty graph axis.
  ui::ClickAsync(window, IDC_APPLY);
  Sleep(300);
  EXPECT_EQ(Module.ModifySamples(&Module, audio.data(), 1000, 16, 1, 0), 1000);
  EXPECT_EQ(Engine.EngineLoaded, 1);
  Stop();
}

}  // namespace
