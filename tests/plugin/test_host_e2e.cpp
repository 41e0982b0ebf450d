// SPDX-License-Identifier: GPL-2.0-or-later
// The built DLL in the player-like host, end to end: audio through the
// host against a reference convolution computed here, and the behaviours of
// other hosts (preferences page, Config without Init, misaligned stacks,
// long paths, repeated cycles), and the IR tool beside the DLL.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "engine/engine.h"
#include "engine/low_latency.h"
#include "engine/plans.h"
#include "tests/support/audio.h"
#include "tests/support/win32.h"
#include "version.h"

namespace {

namespace fs = std::filesystem;

class HostEndToEnd : public ::testing::Test {
 protected:
  fs::path dir;
  int runs = 0;

  void SetUp() override {
    dir = FreshFolderBesideTest("run_");
    fs::create_directories(dir / "Plugins" / "Impulse Responses");
    ASSERT_FALSE(WindowsPath("QLV_DLL").empty());
    fs::copy_file(WindowsPath("QLV_DLL"), dir / "Plugins" / "dsp_qlv3.dll",
                  fs::copy_options::overwrite_existing);
  }

  std::string P(const std::string& name) const { return (dir / name).string(); }
  std::string Dll() const { return "\"" + P("Plugins\\dsp_qlv3.dll") + "\""; }

  void UseIr(const PcmAudio& ir, const std::string& ini = "AutoGain=0\r\nGainDB=-6\r\n") {
    WritePcm16(P("Plugins\\Impulse Responses\\Chapel.wav"), ir);
    WriteText(P("Plugins\\plugin.ini"), "[Quillarven]\r\n" + ini);
  }

  ProcessRun Run(const std::string& args) { return RunProgram(WindowsPath("QLV_HOST"), args); }

  ProcessRun RunProgram(const std::string& program, const std::string& args) {
    const std::string cwd = dir.string();
    return RunProcess("\"" + program + "\" " + args, P("host" + std::to_string(++runs) + ".out"),
                      cwd.c_str());
  }

  PcmAudio Output(const std::string& name) {
    PcmAudio a;
    EXPECT_TRUE(ReadPcm16(P(name), &a)) << name;
    return a;
  }
};

// Waiting after Init or not: the audio is reverberated from its first frame.
// Without the wait the first buffer comes before the plug-in's UI thread has
// prepared anything, and each cycle loads the DLL afresh.
TEST_F(HostEndToEnd, AudioEqualsAReferenceConvolution) {
  const PcmAudio ir = DecayingIr(2, 3000, 5);
  UseIr(ir);
  const double gain = std::pow(10.0, -6 * 0.05);
  const int64_t h = ChooseBlockLength(ir.Frames());
  for (int channels : {1, 2}) {
    PcmAudio in = Noise(channels, 30000, 11 + channels, 9000);
    WritePcm16(P("in.wav"), in);
    for (const char* options : {"--wait-ms 1500", "--wait-ms 0 --cycles 3",
                                "--wait-ms 0 --cycles 3", "--wait-ms 0 --buffer 32"}) {
      const ProcessRun run = Run(std::string(options) + " " + Dll() + " in.wav out.wav");
      ASSERT_EQ(run.exitCode, 0u) << run.out;
      EXPECT_LE(WorstDifference(Output("out.wav").samples, ExpectedOutput(in, ir, gain, h)), 1)
          << channels << " channel(s), " << options;
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
    const std::string iniPath = (folder / "plugin.ini").string();
    WriteText(iniPath,
              "[Quillarven]\r\nAutoGain=0\r\nIRLimit=777\r\nIRFile=" + P("ir.wav") + "\r\n");
    const ProcessRun run =
        Run("--wait-ms 0 \"" + (folder / "dsp_qlv3.dll").string() + "\" in.wav out.wav");
    ASSERT_EQ(run.exitCode, 0u) << length << "\n" << run.out;
    EXPECT_NE(Output("out.wav").samples, in.samples) << length << ": plugin.ini was not read";
    const std::string ini = ReadText(iniPath);
    EXPECT_NE(ini.find("IRLimit=777\r\n"), std::string::npos) << length << "\n" << ini;
    EXPECT_NE(ini.find("ForceMonoOut=0\r\n"), std::string::npos) << length << "\n" << ini;
    fs::remove_all(dir / pad);
  }
}

// A host that frees the library without Quit: the window keeps its code
// until it is closed, then the plug-in's threads end, and a new load and
// Init in the same process work.
TEST_F(HostEndToEnd, FreeLibraryWithoutQuit) {
  UseIr(DecayingIr(2, 500, 31));
  WritePcm16(P("in.wav"), Noise(2, 20000, 32, 8000));
  const ProcessRun run =
      Run("--wait-ms 300 --free-without-quit --cycles 2 " + Dll() + " in.wav out.wav");
  EXPECT_EQ(run.exitCode, 0u) << run.out;
  size_t ended = 0;
  for (size_t at = 0;
       (at = run.out.find("threads ended after its window closed", at)) != std::string::npos;
       ++at) {
    ++ended;
  }
  EXPECT_EQ(ended, 2u) << run.out;
}

TEST_F(HostEndToEnd, PreferencesPageAndConfigStartNothing) {
  UseIr(DecayingIr(2, 100, 1), "");
  fs::remove(P("Plugins\\plugin.ini"));
  ProcessRun run = Run("--prefs " + Dll());
  EXPECT_EQ(run.exitCode, 0u) << run.out;
  EXPECT_TRUE(run.Says(QLV_TITLE)) << run.out;
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
    const ProcessRun run = Run(std::string(options) + " " + Dll() + " in.wav out.wav");
    EXPECT_EQ(run.exitCode, 0u) << options << "\n" << run.out;
  }
  // Closing the window mid-stream still saves the settings at Quit.
  EXPECT_TRUE(fs::exists(P("Plugins\\plugin.ini")));
}

// The player calls with a 4-byte aligned stack; with an IR long enough for
// FFTW's vector code the output must not change.
TEST_F(HostEndToEnd, MisalignedStacksGiveTheSameOutput) {
  UseIr(DecayingIr(2, 44100, 12));
  WritePcm16(P("in.wav"), Noise(2, 3 * 44100, 13, 8000));
  ProcessRun run = Run("--misalign 0 --wait-ms 1500 " + Dll() + " in.wav out0.wav");
  ASSERT_EQ(run.exitCode, 0u) << run.out;
  const PcmAudio aligned = Output("out0.wav");
  for (int offset : {4, 8, 12}) {
    run = Run("--misalign " + std::to_string(offset) + " --wait-ms 1500 " + Dll() +
              " in.wav out.wav");
    ASSERT_EQ(run.exitCode, 0u) << offset << "\n" << run.out;
    EXPECT_EQ(Output("out.wav").samples, aligned.samples) << offset;
  }
}

// With ResampleIR, a 48 kHz click converted for 44.1 kHz at start-up is
// used as it is once a 48 kHz stream has brought its rate, and the stream
// is the click's echo from then on.
TEST_F(HostEndToEnd, ANewRateIsPreparedInTime) {
  PcmAudio ir = Click(2, 100, 0, 16384);
  ir.rate = 48000;
  UseIr(ir, "AutoGain=0\r\nGainDB=-6\r\nResampleIR=1\r\n");
  const PcmAudio in = Noise(2, 30000, 17, 9000);
  WritePcm16(P("in.wav"), in);
  const std::vector<int16_t> echo = ExpectedOutput(in, ir, std::pow(10.0, -6 * 0.05), 100);
  // Music at 48 kHz from the start: the start-up converted for 44.1 kHz, so
  // the first buffer waits for 48 kHz and all of it is right. Then music
  // that turns 48 kHz later: the window converts beside it.
  for (const std::string rate : {"--rate 48000", "--rate-from 48000@200"}) {
    const ProcessRun run =
        Run("--wait-ms 1500 --realtime " + rate + " " + Dll() + " in.wav out.wav");
    ASSERT_EQ(run.exitCode, 0u) << run.out;
    const std::vector<int16_t> out = Output("out.wav").samples;
    ASSERT_EQ(out.size(), echo.size());
    const size_t tail = rate == "--rate 48000" ? out.size() : 2 * 10000;
    EXPECT_LE(WorstDifference(std::vector<int16_t>(out.end() - tail, out.end()),
                              std::vector<int16_t>(echo.end() - tail, echo.end())),
              1)
        << rate << "\n"
        << run.out;
  }
}

// The IR tool beside the DLL converts a foreign IR (float, extensible,
// 96 kHz) and tunes for it as plugin.ini says (size limit and low latency
// on): a damaged dsp_qlv3.dat is replaced, and every plan either engine
// makes for the IR, with and without the limit, is then in the wisdom. The
// output equals the reference convolution with the tuned wisdom in both
// engines, and with a damaged file, which the plug-in ignores.
TEST_F(HostEndToEnd, IrToolConvertsAndTunesForThePlugin) {
  const std::string tool = P("Plugins\\qlv_irtool.exe"), wisdom = P("Plugins\\dsp_qlv3.dat");
  const std::string ir = P("Plugins\\Impulse Responses\\ir_f32_96k.wav");
  fs::copy_file(WindowsPath("QLV_IRTOOL"), tool);
  const std::string damaged = "(fftw-3.3.10 fftw_wisdom #x1 #x2 #x3 #x4\n  (garbage";
  WriteText(wisdom, damaged);
  auto settings = [&](bool lowLatency) {
    WriteText(
        P("Plugins\\plugin.ini"),
        "[Quillarven]\r\nAutoGain=0\r\nGainDB=-6\r\nIRLimitEn=1\r\nIRLimit=20\r\nLowLatency=" +
            std::to_string(lowLatency) + "\r\nIRFile=" + ir + "\r\n");
  };
  settings(true);

  const ProcessRun converted =
      RunProgram(tool, "convert \"" + WindowsPath("QLV_TESTDATA") + "\\ir_f32_96k.wav\"");
  ASSERT_EQ(converted.exitCode, 0u) << converted.out;
  EXPECT_TRUE(converted.Says("is replaced")) << converted.out;
  PcmAudio full;
  ASSERT_TRUE(ReadPcm16(ir, &full)) << converted.out;
  const int64_t limited = LimitedFrames(full.Frames(), 1, 20, 44100);
  ASSERT_TRUE(fftw_import_wisdom_from_filename(wisdom.c_str()));
  for (int64_t frames : {full.Frames(), limited}) {
    std::vector<int32_t> lengths = {TransformLength(frames)};
    PartitionLevel levels[kMaxLevels];
    const int count = PlanPartitions(frames, kPartitionLayout, levels);
    for (int l = 0; l < count; ++l) lengths.push_back(2 * levels[l].Size);
    for (int32_t n : lengths) {
      fftw_plan forward = nullptr, inverse = nullptr;
      EXPECT_TRUE(MakeTransformPlans(n, FFTW_MEASURE | FFTW_WISDOM_ONLY, &forward, &inverse))
          << "no tuned plans for N = " << n << "\n"
          << converted.out;
      if (forward) fftw_destroy_plan(forward);
      if (inverse) fftw_destroy_plan(inverse);
    }
  }

  PcmAudio used = full;
  used.samples.resize(size_t(limited) * used.channels);
  const PcmAudio in = Noise(2, 30000, 31, 9000);
  WritePcm16(P("in.wav"), in);
  struct Case {
    bool lowLatency, damage;
  };
  for (const Case& run : {Case{false, false}, Case{true, false}, Case{false, true}}) {
    settings(run.lowLatency);
    if (run.damage) WriteText(wisdom, damaged);
    const ProcessRun host = Run("--wait-ms 1500 " + Dll() + " in.wav out.wav");
    ASSERT_EQ(host.exitCode, 0u) << host.out;
    const int64_t h = run.lowLatency ? kPartitionLayout.Block : ChooseBlockLength(limited);
    EXPECT_LE(WorstDifference(Output("out.wav").samples,
                              ExpectedOutput(in, used, std::pow(10.0, -6 * 0.05), h)),
              1)
        << (run.damage ? "damaged" : "tuned") << " wisdom, low latency " << run.lowLatency;
  }
}

}  // namespace
