// SPDX-License-Identifier: GPL-2.0-or-later
// qlv_irtool's conversion against sox's conversion of the same foreign
// files, its refusals of bad input, and its care for existing files.
#include <fftw3.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/audio.h"
#include "tools/irtool/irtool.h"

namespace {

namespace fs = std::filesystem;

std::string Data(const std::string& name) {
  return std::string(std::getenv("QLV_TESTDATA")) + "/" + name;
}

// Energy in dB of third-octave bands from 100 Hz up to `top` Hz.
std::vector<double> BandLevels(const std::vector<double>& x, int rate, double top) {
  const int n = static_cast<int>(x.size());
  std::vector<double> in(x);
  std::vector<fftw_complex> bins(n / 2 + 1);
  fftw_plan plan = fftw_plan_dft_r2c_1d(n, in.data(), bins.data(), FFTW_ESTIMATE);
  fftw_execute(plan);
  fftw_destroy_plan(plan);
  std::vector<double> levels;
  for (double low = 100; low * 1.26 <= top; low *= 1.26) {
    double energy = 1e-30;
    for (int k = int(low * n / rate); k < int(low * 1.26 * n / rate); ++k) {
      energy += bins[k][0] * bins[k][0] + bins[k][1] * bins[k][1];
    }
    levels.push_back(10 * std::log10(energy));
  }
  return levels;
}

class IrTool : public ::testing::Test {
 protected:
  fs::path work, out;
  std::string said;  // everything the tool printed

  void SetUp() override {
    work = fs::temp_directory_path() / "qlv_irtool_test" /
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    out = work / "out";
    fs::remove_all(work);
    fs::create_directories(out);
  }

  int Run(std::vector<std::string> args) {
    args.insert(args.begin(), "qlv_irtool");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    ToolContext context;
    context.programDir = work.string();
    context.out = std::tmpfile();
    const int status = RunIrTool(int(argv.size()), argv.data(), context);
    std::rewind(context.out);
    said.clear();
    for (int c; (c = std::fgetc(context.out)) != EOF;) said += char(c);
    std::fclose(context.out);
    return status;
  }

  int Files() const { return int(std::distance(fs::directory_iterator(out), {})); }
};

// Resampled, requantised and channel-picked like sox: the same length
// within 2 frames, third-octave levels within 0.5 dB up to 90 % of the
// lower Nyquist frequency, and the two conversions' difference at least
// 30 dB below the signal in every band (aligned in time, not just alike).
TEST_F(IrTool, ConvertsForeignFilesLikeSox) {
  struct Case {
    const char* name;
    int sourceRate, channels;
    std::vector<std::string> options;
  };
  const Case cases[] = {{"ir_s24_48k", 48000, 2, {}},
                        {"ir_f32_96k", 96000, 2, {}},
                        {"ir_u8_22k", 22050, 1, {}},
                        {"ir_6ch", 44100, 2, {"--channels", "3,5"}}};
  for (const Case& c : cases) {
    std::vector<std::string> args = {"convert", Data(std::string(c.name) + ".wav"), "--out",
                                     out.string()};
    args.insert(args.end(), c.options.begin(), c.options.end());
    ASSERT_EQ(Run(args), kStatusOk) << said;
    PcmAudio ours, sox;
    ASSERT_TRUE(ReadPcm16((out / (std::string(c.name) + ".wav")).string(), &ours)) << c.name;
    ASSERT_TRUE(ReadPcm16(Data(std::string("ref_") + c.name + ".wav"), &sox));
    EXPECT_EQ(ours.rate, 44100);
    ASSERT_EQ(ours.channels, c.channels) << c.name;
    EXPECT_NEAR(double(ours.Frames()), double(sox.Frames()), 2.0) << c.name;
    const size_t frames = size_t(std::min(ours.Frames(), sox.Frames()));
    const double top = 0.9 * std::min(c.sourceRate, 44100) / 2;
    for (int ch = 0; ch < c.channels; ++ch) {
      auto a = ChannelOf(ours.samples, c.channels, ch), b = ChannelOf(sox.samples, c.channels, ch);
      a.resize(frames);
      b.resize(frames);
      std::vector<double> d(frames);
      for (size_t j = 0; j < frames; ++j) d[j] = a[j] - b[j];
      const auto la = BandLevels(a, 44100, top), lb = BandLevels(b, 44100, top),
                 ld = BandLevels(d, 44100, top);
      const double loudest = *std::max_element(lb.begin(), lb.end());
      for (size_t k = 0; k < lb.size(); ++k) {
        if (lb[k] < loudest - 50) continue;  // sines: only their own bands
        EXPECT_NEAR(la[k], lb[k], 0.5) << c.name << " channel " << ch << " band " << k;
        EXPECT_LT(ld[k], lb[k] - 30) << c.name << " channel " << ch << " band " << k;
      }
    }
  }
}

// Each refusal: one line naming the file, its own status, nothing written.
TEST_F(IrTool, RefusesBadInputWithOneLineAndNoOutput) {
  const std::string wav = (work / "bad.wav").string();
  PcmAudio silent;
  silent.samples.assign(2000, 0);
  struct Case {
    const char* what;
    std::function<void()> make;
    std::string file;
    int status;
    std::vector<std::string> options;
  };
  const std::vector<Case> cases = {
      {"missing", [] {}, (work / "none.wav").string(), kStatusBadInput, {}},
      {"a folder", [] {}, out.string(), kStatusBadInput, {}},
      {"empty", [&] { WriteText(wav, ""); }, wav, kStatusBadInput, {}},
      {"text",
       [&] { WriteText(wav, "these are not the samples you are looking for\n"); },
       wav,
       kStatusBadInput,
       {}},
      {"truncated",
       [&] {
         const std::string bytes = ReadText(Data("sox_stereo16.wav"));
         WriteText(wav, bytes.substr(0, bytes.size() / 2));
       },
       wav,
       kStatusBadInput,
       {}},
      {"no frames", [&] { WritePcm16(wav, PcmAudio{}); }, wav, kStatusBadInput, {}},
      {"silent", [&] { WritePcm16(wav, silent); }, wav, kStatusBadInput, {}},
      {"six channels", [] {}, Data("ir_6ch.wav"), kStatusBadInput, {}},
      {"channels past the last", [] {}, Data("ir_6ch.wav"), kStatusBadInput, {"--channels", "1,7"}},
      // 8-bit mono claiming 4 GiB of samples: a sparse file of that size.
      {"over 2^31 frames",
       [&] {
         WriteBytes(wav, Wav(1, 1, 8, 0xFFFFFFF0u, 0));
         fs::resize_file(wav, 44 + 0xFFFFFFF0ull);
       },
       wav,
       kStatusBadInput,
       {}},
      {"not a number",
       [&] {
         Bytes nan = Wav(3, 1, 32, 8, 0);
         for (unsigned char b : {0x00, 0x00, 0x00, 0x3f, 0x00, 0x00, 0xc0, 0x7f}) nan.push_back(b);
         WriteBytes(wav, nan);
       },
       wav,
       kStatusBadInput,
       {}},
      {"unwritable folder",
       [] {},
       Data("ir_u8_22k.wav"),
       kStatusCannotWrite,
       {"--out", (work / "bad.wav" / "sub").string()}},
  };
  for (const Case& c : cases) {
    fs::remove(wav);
    c.make();
    std::vector<std::string> args = {"convert", c.file, "--out", out.string()};
    args.insert(args.end(), c.options.begin(), c.options.end());
    EXPECT_EQ(Run(args), c.status) << c.what << "\n" << said;
    const std::string last = said.substr(said.rfind('\n', said.size() - 2) + 1);
    EXPECT_EQ(last.find(c.file), 0u) << c.what << ": " << said;
    EXPECT_EQ(Files(), 0) << c.what;
  }
}

TEST_F(IrTool, ReplacesAnOutputOnlyWithForce) {
  const std::string in = Data("ir_u8_22k.wav"), result = (out / "ir_u8_22k.wav").string();
  ASSERT_EQ(Run({"convert", in, "--out", out.string()}), kStatusOk) << said;
  WriteText(result, "mine");
  EXPECT_EQ(Run({"convert", in, "--out", out.string()}), kStatusOutputExists) << said;
  EXPECT_NE(said.find("--force"), std::string::npos) << said;
  EXPECT_EQ(fs::file_size(result), 4u);
  EXPECT_EQ(Run({"convert", in, "--out", out.string(), "--force"}), kStatusOk) << said;
  PcmAudio converted;
  EXPECT_TRUE(ReadPcm16(result, &converted));
  EXPECT_EQ(Files(), 1);  // no temporary file left beside it
}

}  // namespace
