// SPDX-License-Identifier: GPL-2.0-or-later
// The built DLL in the player-like host, end to end: audio through the
// host against a reference convolution computed here, and the behaviours of
// other hosts (preferences page, Config without Init, odd arguments,
// misaligned stacks, repeated cycles).
#include <gtest/gtest.h>
#include <windows.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "tools/wav_io.h"

namespace {

namespace fs = std::filesystem;

// CTest hands us the Unix paths of the host and the DLL.
std::string WindowsPath(const char* variable) {
  const char* value = std::getenv(variable);
  if (!value) return "";
  std::string path = value;
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) c = c == '/' ? '\\' : c;
  return path;
}

struct HostRun {
  DWORD exitCode = 99;
  std::string out;
  bool Says(const std::string& text) const { return out.find(text) != std::string::npos; }
};

PcmAudio Noise(int channels, int frames, uint32_t seed, int amplitude) {
  PcmAudio a;
  a.channels = channels;
  a.samples.resize(size_t(frames) * channels);
  for (auto& s : a.samples) {
    seed = seed * 1664525u + 1013904223u;
    s = static_cast<int16_t>(int(seed >> 16) % (2 * amplitude + 1) - amplitude);
  }
  return a;
}

PcmAudio DecayingIr(int channels, int frames, uint32_t seed) {
  PcmAudio ir = Noise(channels, frames, seed, 20000);
  for (int j = 0; j < frames; ++j) {
    for (int c = 0; c < channels; ++c) {
      auto& s = ir.samples[size_t(j) * channels + c];
      s = static_cast<int16_t>(s * std::exp(-4.0 * j / frames));
    }
  }
  return ir;
}

class HostEndToEnd : public ::testing::Test {
 protected:
  fs::path dir;
  int runs = 0;

  void SetUp() override {
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    // A folder per test: Wine's background processes may still hold an
    // inherited output file of an earlier run.
    dir = fs::path(exe).parent_path() /
          ("run_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    fs::create_directories(dir / "Plugins" / "Impulse Responses");
    ASSERT_FALSE(WindowsPath("QLV_DLL").empty());
    fs::copy_file(WindowsPath("QLV_DLL"), dir / "Plugins" / "dsp_qlv3.dll",
                  fs::copy_options::overwrite_existing);
  }

  std::string P(const std::string& name) const { return (dir / name).string(); }
  std::string Dll() const { return "\"" + P("Plugins\\dsp_qlv3.dll") + "\""; }

  void UseIr(const PcmAudio& ir, const std::string& ini = "AutoGain=0\r\nGainDB=-6\r\n") {
    WritePcm16(P("Plugins\\Impulse Responses\\Chapel.wav"), ir);
    std::ofstream(P("Plugins\\plugin.ini"), std::ios::binary) << "[Quillarven]\r\n" << ini;
  }

  // Output goes to a file: Wine's background processes hold pipes open.
  HostRun Run(const std::string& args) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const std::string outPath = P("host" + std::to_string(++runs) + ".out");
    HANDLE out = CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = out;
    startup.hStdInput = nullptr;
    std::string command = "\"" + WindowsPath("QLV_HOST") + "\" " + args;
    PROCESS_INFORMATION process{};
    HostRun run;
    const std::string cwd = dir.string();
    if (CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, cwd.c_str(),
                       &startup, &process)) {
      WaitForSingleObject(process.hProcess, 300000);
      GetExitCodeProcess(process.hProcess, &run.exitCode);
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
    }
    CloseHandle(out);
    std::ifstream in(outPath, std::ios::binary);
    run.out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return run;
  }

  PcmAudio Output(const std::string& name) {
    PcmAudio a;
    EXPECT_TRUE(ReadPcm16(P(name), &a)) << name;
    return a;
  }
};

// Direct convolution of the gained input with the IR / 32768, delayed by h,
// truncated and clipped.
std::vector<int16_t> Reference(const std::vector<double>& x, const std::vector<double>& ir,
                               size_t h) {
  std::vector<int16_t> y(x.size(), 0);
  for (size_t t = h; t < x.size(); ++t) {
    double sum = 0.0;
    for (size_t k = 0; k < ir.size() && k <= t - h; ++k) sum += x[t - h - k] * ir[k];
    sum /= 32768.0;
    y[t] = sum > 32767.0 ? 32767 : sum < -32768.0 ? -32768 : static_cast<int16_t>(sum);
  }
  return y;
}

std::vector<double> ChannelOf(const PcmAudio& a, int c, double gain = 1.0) {
  std::vector<double> v(size_t(a.Frames()));
  for (size_t j = 0; j < v.size(); ++j) v[j] = a.samples[j * a.channels + c] * gain;
  return v;
}

// Worst difference between channel c of a host's output and the reference.
int WorstError(const PcmAudio& in, const PcmAudio& ir, const PcmAudio& out, int c, double gain) {
  // A mono stream takes the mean of the IR's two channels.
  std::vector<double> irc = ChannelOf(ir, c);
  if (in.channels == 1) {
    const auto right = ChannelOf(ir, 1);
    for (size_t k = 0; k < irc.size(); ++k) irc[k] = (irc[k] + right[k]) * 0.5;
  }
  const size_t h = static_cast<size_t>(ChooseBlockLength(ir.Frames()));
  const auto expected = Reference(ChannelOf(in, c, gain), irc, h);
  int worst = 0;
  for (size_t j = 0; j < expected.size(); ++j) {
    worst = std::max(worst, std::abs(out.samples[j * in.channels + c] - expected[j]));
  }
  return worst;
}

// Waiting after Init or not: the audio is reverberated from its first frame.
// Without the wait the first buffer comes before the plug-in's UI thread has
// prepared anything, and each cycle loads the DLL afresh.
TEST_F(HostEndToEnd, AudioEqualsAReferenceConvolution) {
  const PcmAudio ir = DecayingIr(2, 3000, 5);
  UseIr(ir);
  const double gain = std::pow(10.0, -6 * 0.05);
  for (int channels : {1, 2}) {
    PcmAudio in = Noise(channels, 30000, 11 + channels, 9000);
    WritePcm16(P("in.wav"), in);
    for (const char* options : {"--wait-ms 1500", "--wait-ms 0 --cycles 3",
                                "--wait-ms 0 --cycles 3", "--wait-ms 0 --buffer 32"}) {
      const HostRun run = Run(std::string(options) + " " + Dll() + " in.wav out.wav");
      ASSERT_EQ(run.exitCode, 0u) << run.out;
      const PcmAudio out = Output("out.wav");
      ASSERT_EQ(out.samples.size(), in.samples.size());
      for (int c = 0; c < channels; ++c) {
        EXPECT_LE(WorstError(in, ir, out, c, gain), 1)
            << channels << " channel(s), channel " << c << ", " << options;
      }
    }
  }
}

// The player's interface allows 255 characters for the DLL's name; a longer
// name cut inside the file name still gives the folder and its settings.
TEST_F(HostEndToEnd, LongPluginPathsKeepTheirSettings) {
  const PcmAudio in = Noise(2, 8000, 21, 8000);
  WritePcm16(P("in.wav"), in);
  // The default IR's path would not fit beside such a long folder.
  WritePcm16(P("ir.wav"), DecayingIr(2, 500, 22));
  for (size_t length = 254; length <= 260; ++length) {
    const std::string tail = "\\Plugins\\dsp_qlv3.dll";
    const std::string pad(length - dir.string().size() - 1 - tail.size(), 'x');
    const fs::path folder = dir / pad / "Plugins";
    ASSERT_EQ((folder / "dsp_qlv3.dll").string().size(), length);
    fs::create_directories(folder);
    fs::copy_file(P("Plugins\\dsp_qlv3.dll"), folder / "dsp_qlv3.dll");
    std::ofstream((folder / "plugin.ini").string(), std::ios::binary)
        << "[Quillarven]\r\nAutoGain=0\r\nIRLimit=777\r\nIRFile=" << P("ir.wav") << "\r\n";
    const HostRun run =
        Run("--wait-ms 0 \"" + (folder / "dsp_qlv3.dll").string() + "\" in.wav out.wav");
    ASSERT_EQ(run.exitCode, 0u) << length << "\n" << run.out;
    EXPECT_NE(Output("out.wav").samples, in.samples) << length << ": plugin.ini was not read";
    {
      std::ifstream saved((folder / "plugin.ini").string(), std::ios::binary);
      const std::string ini(std::istreambuf_iterator<char>(saved), {});
      EXPECT_NE(ini.find("IRLimit=777\r\n"), std::string::npos) << length << "\n" << ini;
      EXPECT_NE(ini.find("ForceMonoOut=0\r\n"), std::string::npos) << length << "\n" << ini;
    }
    fs::remove_all(dir / pad);
  }
}

TEST_F(HostEndToEnd, PreferencesPageAndConfigStartNothing) {
  UseIr(DecayingIr(2, 100, 1), "");
  fs::remove(P("Plugins\\plugin.ini"));
  HostRun run = Run("--prefs " + Dll());
  EXPECT_EQ(run.exitCode, 0u) << run.out;
  EXPECT_TRUE(run.Says("Quillarven Convolution 3.1.0")) << run.out;
  run = Run("--config-only " + Dll());
  EXPECT_EQ(run.exitCode, 0u) << run.out;
  EXPECT_FALSE(fs::exists(P("Plugins\\plugin.ini")));  // no Init, no Quit, nothing saved
}

TEST_F(HostEndToEnd, OtherHostsBehaviours) {
  UseIr(DecayingIr(2, 2000, 3));
  WritePcm16(P("in.wav"), Noise(2, 44100, 4, 8000));
  for (const char* options : {"--null-parent", "--hidden-parent", "--config-after-init",
                              "--buffer 1", "--random-buffers 9", "--quit-free-at-once --post-quit",
                              "--change-channels", "--wait-ms 1500 --close-window-ms 300"}) {
    const HostRun run = Run(std::string(options) + " " + Dll() + " in.wav out.wav");
    EXPECT_EQ(run.exitCode, 0u) << options << "\n" << run.out;
  }
  // Closing the window mid-stream still saves the settings at Quit.
  EXPECT_TRUE(fs::exists(P("Plugins\\plugin.ini")));
}

TEST_F(HostEndToEnd, OddArgumentsLeaveTheAudioAlone) {
  UseIr(DecayingIr(2, 500, 6));
  const PcmAudio in = Noise(2, 20000, 8, 8000);
  WritePcm16(P("in.wav"), in);
  for (const char* options : {"--bits 8", "--bits 24", "--channels 6"}) {
    const HostRun run = Run(std::string(options) + " " + Dll() + " in.wav out.wav");
    ASSERT_EQ(run.exitCode, 0u) << options << "\n" << run.out;
    EXPECT_EQ(Output("out.wav").samples, in.samples) << options;
  }
  const HostRun run = Run("--rate 0 " + Dll() + " in.wav out.wav");
  EXPECT_EQ(run.exitCode, 0u) << run.out;
}

// The player calls with a 4-byte aligned stack; with an IR long enough for
// FFTW's vector code the output must not change.
TEST_F(HostEndToEnd, MisalignedStacksGiveTheSameOutput) {
  UseIr(DecayingIr(2, 44100, 12));
  WritePcm16(P("in.wav"), Noise(2, 3 * 44100, 13, 8000));
  HostRun run = Run("--misalign 0 --wait-ms 1500 " + Dll() + " in.wav out0.wav");
  ASSERT_EQ(run.exitCode, 0u) << run.out;
  const PcmAudio aligned = Output("out0.wav");
  for (int offset : {4, 8, 12}) {
    run = Run("--misalign " + std::to_string(offset) + " --wait-ms 1500 " + Dll() +
              " in.wav out.wav");
    ASSERT_EQ(run.exitCode, 0u) << offset << "\n" << run.out;
    EXPECT_EQ(Output("out.wav").samples, aligned.samples) << offset;
  }
}

TEST_F(HostEndToEnd, RepeatedCyclesInOneProcess) {
  UseIr(DecayingIr(2, 20000, 14));
  WritePcm16(P("in.wav"), Noise(2, 44100, 15, 8000));
  const HostRun run = Run("--cycles 5 " + Dll() + " in.wav out.wav");
  EXPECT_EQ(run.exitCode, 0u) << run.out;
  EXPECT_TRUE(run.Says("cycle 5 of 5")) << run.out;
}

}  // namespace
