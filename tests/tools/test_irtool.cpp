// SPDX-License-Identifier: GPL-2.0-or-later
// qlv_irtool's conversion against sox's conversion of the same foreign
// files, its level rule, its refusals of bad input, its care for existing
// files, its command line, and the order in which it tunes, the lengths
// its time budget lets it tune, and its progress while a length plans.
#include <fftw3.h>
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_lock.h"
#include "engine/plans.h"
#include "tests/support/audio.h"
#include "tests/support/engine.h"
#include "tools/irtool/convert.h"
#include "tools/irtool/files.h"
#include "tools/irtool/irtool.h"
#include "tools/irtool/tune.h"

namespace {

namespace fs = std::filesystem;

std::string Data(const std::string& name) {
  return std::string(std::getenv("QLV_TESTDATA")) + "/" + name;
}

// A sound file as libsndfile writes it: any container and sample format,
// interleaved samples with full scale 1 (floats as they are).
void WriteSound(const std::string& path, int format, int rate, int channels,
                const std::vector<double>& samples) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = format;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
  sf_writef_double(file, samples.data(), sf_count_t(samples.size() / channels));
  sf_close(file);
}

std::vector<double> Scaled(const std::vector<int16_t>& samples, double full) {
  std::vector<double> out;
  for (int16_t s : samples) out.push_back(s * full / 32768.0);
  return out;
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
  std::string said;     // everything the tool printed
  ToolContext context;  // no wisdom path: no tuning unless a test sets one

  void SetUp() override {
    work = fs::temp_directory_path() / "qlv_irtool_test" /
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    out = work / "out";
    fs::remove_all(work);
    fs::create_directories(out);
    context.programDir = work.string();
  }

  int Run(std::vector<std::string> args) {
    args.insert(args.begin(), "qlv_irtool");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    return Said([&] { return RunIrTool(int(argv.size()), argv.data(), context); });
  }

  // What `run` printed to context.out (a file, not a console) into `said`.
  int Said(const std::function<int()>& run) {
    context.out = std::tmpfile();
    const int status = run();
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

// Every container converts sample for sample (16-bit at 44.1 kHz: nothing
// to resample or dither), an AU whose size is unknown (-1) too.
TEST_F(IrTool, ConvertsEveryContainerSampleForSample) {
  PcmAudio noise = Noise(2, 4410, 7);
  noise.samples.back() = 1234;  // no silence at the end to drop
  const std::string in = (work / "ir.snd").string();
  for (int format : {SF_FORMAT_W64, SF_FORMAT_RF64, SF_FORMAT_AU, SF_FORMAT_AIFF, SF_FORMAT_CAF}) {
    WriteSound(in, format | SF_FORMAT_PCM_16, 44100, 2, Scaled(noise.samples, 1.0));
    if (format == SF_FORMAT_AU) {
      std::string bytes = ReadText(in);
      bytes.replace(8, 4, "\xFF\xFF\xFF\xFF");
      WriteText(in, bytes);
    }
    ASSERT_EQ(Run({"convert", in, "--out", out.string(), "--force"}), kStatusOk) << said;
    PcmAudio got;
    ASSERT_TRUE(ReadPcm16((out / "ir.wav").string(), &got));
    EXPECT_EQ(got.samples, noise.samples) << std::hex << format;
  }
}

// The level is kept; only an IR that would clip, however loud, is scaled to
// just below full scale (32766), in its shape, negative samples too. The
// peak that counts is the resampled one: a sinc converter overshoots.
TEST_F(IrTool, KeepsTheLevelAndScalesOnlyWhatWouldClip) {
  std::vector<int16_t> shape = NoiseSamples(2 * 4410, 9, 32767);
  shape[shape.size() - 2] = shape.back() = 20000;
  int most = 0;
  for (int16_t s : shape) most = std::max(most, std::abs(int{s}));
  const std::string in = (work / "loud.wav").string(), result = (out / "loud.wav").string();
  struct Case {
    int subformat;
    double peak;  // of the file, full scale 1
  };
  for (const Case& c : {Case{SF_FORMAT_FLOAT, 0.5}, Case{SF_FORMAT_FLOAT, 2.0},
                        Case{SF_FORMAT_FLOAT, 1e35}, Case{SF_FORMAT_DOUBLE, 1e39}}) {
    WriteSound(in, SF_FORMAT_WAV | c.subformat, 44100, 2, Scaled(shape, c.peak));
    ASSERT_EQ(Run({"convert", in, "--out", out.string(), "--force"}), kStatusOk) << said;
    PcmAudio got;
    ASSERT_TRUE(ReadPcm16(result, &got));
    ASSERT_EQ(got.samples.size(), shape.size()) << c.peak;
    const double gain = c.peak <= 1 ? c.peak : 32766.0 / most;
    double worst = 0;
    for (size_t i = 0; i < shape.size(); ++i) {
      worst = std::max(worst, std::fabs(got.samples[i] - shape[i] * gain));
    }
    EXPECT_LE(worst, 1.5) << c.peak;  // TPDF dither and rounding
  }
  // A step from -0.99 to 0.99 at 48 kHz overshoots once resampled.
  std::vector<double> step(4800, -0.99);
  std::fill(step.begin() + 2400, step.end(), 0.99);
  WriteSound(in, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000, 1, step);
  ASSERT_EQ(Run({"convert", in, "--out", out.string(), "--force"}), kStatusOk) << said;
  PcmAudio got;
  ASSERT_TRUE(ReadPcm16(result, &got));
  int peak = 0;
  for (int16_t s : got.samples) peak = std::max(peak, std::abs(int{s}));
  EXPECT_GE(peak, 32700);
  EXPECT_LT(got.samples[got.samples.size() * 3 / 4], 0.97 * 32768);  // scaled, not clipped
}

// Each refusal: one line naming the file (and for a lossy one, why that
// matters), its own status, nothing written.
TEST_F(IrTool, RefusesBadInputWithOneLineAndNoOutput) {
  const std::string wav = (work / "bad.wav").string();
  PcmAudio silent;
  silent.samples.assign(2000, 0);
  // A whole file cut in half; libsndfile trims some formats' lengths silently.
  const auto truncated = [&](int format) {
    return [&, format] {
      WriteSound(wav, format | SF_FORMAT_PCM_16, 44100, 2, Scaled(NoiseSamples(8820, 5), 1.0));
      fs::resize_file(wav, fs::file_size(wav) / 2);
    };
  };
  struct Case {
    const char* what;
    std::function<void()> make;
    std::string file;
    int status;
    std::vector<std::string> options;
    const char* says = "";
  };
  const std::string lossy = "a lossy file smears a room's impulse";
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
      {"truncated Wave64", truncated(SF_FORMAT_W64), wav, kStatusBadInput, {}},
      {"truncated RF64", truncated(SF_FORMAT_RF64), wav, kStatusBadInput, {}},
      {"truncated AU", truncated(SF_FORMAT_AU), wav, kStatusBadInput, {}},
      {"no frames", [&] { WritePcm16(wav, PcmAudio{}); }, wav, kStatusBadInput, {}},
      {"silent", [&] { WritePcm16(wav, silent); }, wav, kStatusBadInput, {}},
      {"six channels", [] {}, Data("ir_6ch.wav"), kStatusBadInput, {}},
      {"five channels",
       [&] {
         WriteSound(wav, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 5,
                    Scaled(NoiseSamples(5 * 441, 8), 1.0));
       },
       wav,
       kStatusBadInput,
       {}},
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
      // Never converted, whatever libsndfile could decode.
      {"Ogg Vorbis", [] {}, Data("ir_vorbis.ogg"), kStatusBadInput, {}, lossy.c_str()},
      {"Opus", [] {}, Data("ir_opus.opus"), kStatusBadInput, {}, lossy.c_str()},
      {"MP3", [] {}, Data("ir_id3.mp3"), kStatusBadInput, {}, lossy.c_str()},
      {"MP3 without a tag", [] {}, Data("ir_bare.mp3"), kStatusBadInput, {}, lossy.c_str()},
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
    EXPECT_NE(last.find(c.says), std::string::npos) << c.what << ": " << said;
    EXPECT_EQ(Files(), 0) << c.what;
  }
}

// A four-channel file is a true-stereo room: every channel kept, in order,
// at the rate asked. Two stereo files join into one, named as their names
// begin, the left speaker's first, at one gain, the shorter padded; files
// that cannot pair are refused with one line, so are one file twice and a
// pair named as one of its inputs (letter case aside), even with --force;
// --pair takes two files and no --channels.
TEST_F(IrTool, KeepsTrueStereoAndJoinsASpeakerPair) {
  const std::string four = (work / "room.wav").string();
  std::vector<double> samples;  // one noise, 1:2:3:4 in the four channels
  for (int16_t v : NoiseSamples(4800, 9)) {
    for (int c = 0; c < 4; ++c) samples.push_back(v / 65536.0 * 0.25 * (c + 1));
  }
  WriteSound(four, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000, 4, samples);
  ASSERT_EQ(Run({"convert", four, "--out", out.string()}), kStatusOk) << said;
  PcmAudio room;
  ASSERT_TRUE(ReadPcm16((out / "room.wav").string(), &room));
  ASSERT_EQ(room.channels, 4);
  EXPECT_EQ(room.rate, 44100);
  EXPECT_NEAR(room.Frames(), 4410, 2);
  const auto rms = [&](const PcmAudio& a, int c) {
    double sum = 0;
    for (double v : ChannelOf(a.samples, a.channels, c)) sum += v * v;
    return std::sqrt(sum / a.Frames());
  };
  for (int c = 1; c < 4; ++c) EXPECT_NEAR(rms(room, c) / rms(room, 0), c + 1, 0.01) << c;

  // 16-bit pairs at full scale or below join sample for sample.
  fs::create_directories(work / "pair");
  const std::string left = (work / "pair" / "Hall L.wav").string();
  const std::string right = (work / "pair" / "Hall R.wav").string();
  const PcmAudio l = Noise(2, 3000, 1), r = Noise(2, 2000, 2);
  ASSERT_TRUE(WritePcm16(left, l));
  ASSERT_TRUE(WritePcm16(right, r));
  ASSERT_EQ(Run({"convert", "--pair", left, right, "--out", out.string()}), kStatusOk) << said;
  PcmAudio hall;
  ASSERT_TRUE(ReadPcm16((out / "Hall.wav").string(), &hall));
  ASSERT_EQ(hall.channels, 4);
  ASSERT_EQ(hall.Frames(), 3000);
  for (int64_t j = 0; j < 3000; ++j) {
    for (int c = 0; c < 2; ++c) {
      ASSERT_EQ(hall.samples[4 * j + c], l.samples[2 * j + c]) << j;
      ASSERT_EQ(hall.samples[4 * j + 2 + c], j < 2000 ? r.samples[2 * j + c] : 0) << j;
    }
  }
  // A right speaker twice full scale brings the left down with it.
  const std::vector<double> loud = Scaled(r.samples, 2.0 * 32768.0 / 8000);  // peak about 2
  WriteSound(right, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100, 2, loud);
  ASSERT_EQ(Run({"convert", "--pair", left, right, "--out", out.string(), "--force"}), kStatusOk)
      << said;
  ASSERT_TRUE(ReadPcm16((out / "Hall.wav").string(), &hall));
  double gain[2] = {0, 0}, power[2] = {0, 0};  // each speaker's output against its input
  for (int64_t j = 0; j < 2000; ++j) {
    gain[0] += hall.samples[4 * j] * static_cast<double>(l.samples[2 * j]);
    power[0] += static_cast<double>(l.samples[2 * j]) * l.samples[2 * j];
    gain[1] += hall.samples[4 * j + 2] * loud[2 * j] * 32768.0;
    power[1] += loud[2 * j] * loud[2 * j] * 32768.0 * 32768.0;
  }
  EXPECT_NEAR(gain[0] / power[0], gain[1] / power[1], 0.002);
  EXPECT_NEAR(gain[0] / power[0], 0.5, 0.05);

  const std::string dir = out.string();
  for (const auto& [a, b, name] : std::vector<std::array<std::string, 3>>{
           {"Hall L.wav", "Hall R.wav", "Hall.wav"},
           {"x/Room-left.aiff", "y/Room-right.aiff", "Room.wav"},
           {"Salle \xc3\xa9.wav", "Salle \xc3\xa8.wav", "Salle.wav"},
           {"Plate_1.wav", "Plate_10.wav", "Plate_1.wav"},
           {"Left.wav", "Right.wav", "Left.wav"}}) {
    EXPECT_EQ(FileName(PairOutputPath(a, b, dir)), name) << a << " + " << b;
  }

  const std::string mono = Data("ir_u8_22k.wav"), pairDir = (work / "pair").string();
  const std::string plate1 = pairDir + "/Plate_1.WAV", plate10 = pairDir + "/Plate_10.wav";
  fs::copy_file(left, plate1);
  fs::copy_file(left, plate10);
  WriteSound(right, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, 2, Scaled(r.samples, 1.0));
  const struct {
    std::vector<std::string> args;
    int status;
  } refusals[] = {
      {{"convert", "--pair", left, right}, kStatusBadInput},  // 44.1 and 48 kHz
      {{"convert", "--pair", left, mono}, kStatusBadInput},   // one channel
      {{"convert", "--pair", left, left, "--force"}, kStatusBadInput},
      {{"convert", "--pair", plate1, plate10, "--out", pairDir, "--force"}, kStatusBadInput},
      {{"convert", "--pair", plate10, plate1, "--out", pairDir, "--force"}, kStatusBadInput},
      {{"convert", "--pair", left, right, four}, kStatusUsage},
      {{"convert", "--pair", left}, kStatusUsage},
      {{"convert", "--pair", left, right, "--channels", "1,2"}, kStatusUsage},
  };
  fs::remove_all(out);
  for (const auto& c : refusals) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin() + 1, {"--out", out.string()});  // unless the case names its own
    EXPECT_EQ(Run(args), c.status) << said;
    if (c.status == kStatusBadInput) {  // one line besides those of the files read
      int reads = 0;
      for (size_t at = 0; (at = said.find("Read  ", at)) != std::string::npos; ++at) ++reads;
      EXPECT_EQ(std::count(said.begin(), said.end(), '\n') - reads, 1) << said;
    }
    EXPECT_FALSE(fs::exists(out / "Hall.wav")) << said;
    EXPECT_FALSE(fs::exists(pairDir + "/Plate_1.wav")) << said;
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

// Two inputs for one output name (letter case aside, after the extension
// changes): the first is converted, the second refused with a line naming
// both, whether or not --force is given.
TEST_F(IrTool, RefusesASecondInputForTheSameOutput) {
  fs::create_directories(work / "a");
  fs::create_directories(work / "b");
  const std::string a = (work / "a" / "x.wav").string(), b = (work / "b" / "X.aiff").string();
  fs::copy_file(Data("ir_u8_22k.wav"), a);  // mono
  WriteSound(b, SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 44100, 2, Scaled(NoiseSamples(882, 3), 1.0));
  for (bool force : {false, true}) {
    std::vector<std::string> args = {"convert", a, b, "--out", out.string()};
    if (force) args.push_back("--force");
    EXPECT_EQ(Run(args), kStatusOutputExists) << said;
    PcmAudio got;
    ASSERT_TRUE(ReadPcm16((out / "x.wav").string(), &got));
    EXPECT_EQ(got.channels, 1) << force;
    const std::string last = said.substr(said.rfind('\n', said.size() - 2) + 1);
    EXPECT_EQ(last.find(b), 0u) << said;
    EXPECT_NE(last.find(a), std::string::npos) << said;
    EXPECT_EQ(Files(), 1);
  }
}

// The command line: help in three spellings; an unknown option called so;
// --seconds for convert too, a positive number for either verb, printed as
// given; a dsp_qlv3.dat that is a folder refused before any planning.
TEST_F(IrTool, CommandLine) {
  const std::string wisdom = (work / "dsp_qlv3.dat").string();
  context.wisdomPath = wisdom;
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* says;
    const char* never;
  };
  const std::string in = Data("ir_u8_22k.wav"), ir = (out / "ir_u8_22k.wav").string();
  const Case cases[] = {
      {{"--bogus"}, kStatusUsage, "unknown option --bogus", "needs a value"},
      {{"-h"}, kStatusOk, "usage:", "qlv_irtool: "},
      {{"--help"}, kStatusOk, "usage:", "qlv_irtool: "},
      {{"convert", in, "/?"}, kStatusOk, "usage:", "Read "},
      {{"tune", "--seconds", "0"}, kStatusUsage, "--seconds", "Tuning"},
      {{"convert", in, "--out", out.string(), "--seconds", "0.5"}, kStatusOk, "0.5 s", "0 s:"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Run(c.args), c.status) << c.args[0] << "\n" << said;
    EXPECT_NE(said.find(c.says), std::string::npos) << said;
    EXPECT_EQ(said.find(c.never), std::string::npos) << said;
    if (c.args[0] == "tune") {
      EXPECT_FALSE(fs::exists(wisdom));
    }
  }
  fs::remove(wisdom);
  fs::create_directory(wisdom);
  EXPECT_EQ(Run({"tune", ir}), kStatusCannotWrite) << said;
  EXPECT_EQ(said.find("Tuning"), std::string::npos) << said;
  EXPECT_EQ(said.find("replaced"), std::string::npos) << said;
}

// Out of time the rest stay untuned, so the order counts: the current IR as
// it plays (here under the size limit), then its other length, then every
// other length shortest first.
TEST_F(IrTool, TunesWhatPlaysNowFirstThenShortestFirst) {
  context.wisdomPath = (work / "dsp_qlv3.dat").string();
  context.limitOn = 1;
  context.limitMs = 50;
  std::vector<std::string> args = {"tune"};
  for (int64_t frames : {4000, 1500, 6000}) {  // the last is the current one
    args.push_back((work / ("ir" + std::to_string(frames) + ".wav")).string());
    WritePcm16(args.back(), Click(1, frames));
  }
  context.irFile = args.back();
  const std::vector<int32_t> expected = {TransformLength(LimitedFrames(6000, 1, 50, 44100)),
                                         TransformLength(6000), TransformLength(1500),
                                         TransformLength(4000)};
  ASSERT_LT(expected[2], expected[3]);
  args.insert(args.end(), {"--seconds", "100"});
  ASSERT_EQ(Run(args), kStatusOk) << said;
  std::vector<int32_t> order;
  for (size_t at = 0; (at = said.find("  length ", at)) != std::string::npos; ++at) {
    order.push_back(std::atoi(said.c_str() + at + 9));
  }
  EXPECT_EQ(order, expected) << said;
}

// With ResampleIR the IR is also tuned as the plug-in converts it for 44.1
// and 48 kHz streams: the very lengths the plug-in then builds.
TEST_F(IrTool, TunesTheConvertedLengthsTheEngineBuilds) {
  context.wisdomPath = (work / "dsp_qlv3.dat").string();
  context.resampleIr = 1;
  PcmAudio ir = DecayingIr(2, 9000, 80);
  ir.rate = 96000;
  const std::string path = (work / "ir96k.wav").string();
  WritePcm16(path, ir);
  ASSERT_EQ(Run({"tune", path, "--seconds", "100"}), kStatusOk) << said;
  std::vector<int32_t> tuned;
  for (size_t at = 0; (at = said.find("  length ", at)) != std::string::npos; ++at) {
    tuned.push_back(std::atoi(said.c_str() + at + 9));
  }
  StartLife(false);
  ResetSettings();
  Settings.ResampleIR = 1;
  NameIr(path);
  std::vector<int32_t> built;
  for (int rate : {96000, 44100, 48000}) {
    Settings.SampleRate = rate;
    UnloadEngine();
    ASSERT_EQ(PrepareEngine(2), PrepareOk);
    built.push_back(2 * BlockInForce());
  }
  UnloadEngine();
  std::sort(tuned.begin(), tuned.end());
  std::sort(built.begin(), built.end());
  EXPECT_EQ(tuned, built) << said;
}

// FFTW's planner stood in for, on a clock of its own: the probe and each
// length take the seconds given (or, with `sleep`, that long on the real
// clock); a length out of its two plans' time stays untuned.
class FakePlanner : public TunePlanner {
 public:
  std::map<int32_t, double> cost;  // seconds for both plans of a length
  std::set<int32_t> known;         // lengths in the wisdom
  std::vector<int32_t> measured;
  double probe = 1, now = 0, budget = 0;
  bool sleep = false;  // spends real time, whatever the limit
  bool fair = true;    // each plan's limit within half of the time left

  double Now() override {
    if (!sleep) return now;
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  bool Fits(int32_t) override { return true; }
  bool Known(int32_t n) override { return known.count(n) > 0; }
  bool Measure(int32_t n, double limit) override {
    measured.push_back(n);
    fair = fair && limit <= (budget - now) / 2;
    const double spent = sleep ? cost[n] : std::min(cost[n], 2 * limit);
    if (spent == cost[n]) known.insert(n);
    Spend(spent);
    return true;
  }
  void Probe(int32_t, double) override { Spend(probe); }

 private:
  void Spend(double seconds) {
    if (sleep) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    now += seconds;
  }
};

// A budget that cannot buy every length: one already tuned costs nothing;
// the current IR's length, estimated beyond the budget, is skipped, and the
// others still get their turn; each plan is given at most half of the time
// left, and the budget holds.
TEST_F(IrTool, SpendsTheBudgetOnTheLengthsThatFit) {
  TuneRequest request;
  request.wisdomPath = (work / "dsp_qlv3.dat").string();
  request.seconds = 10;
  std::vector<int32_t> n;
  for (int64_t frames : {400000, 1000, 1500, 300000}) {
    request.irs.push_back((work / ("ir" + std::to_string(frames) + ".wav")).string());
    WritePcm16(request.irs.back(), Click(1, frames));
    n.push_back(TransformLength(frames));
  }
  request.current = request.irs[0];
  FakePlanner planner;
  planner.budget = request.seconds;
  planner.known = {n[2]};
  planner.cost = {{n[1], 0.05}};
  ASSERT_EQ(Said([&] { return Tune(request, context.out, &planner); }), kStatusOk) << said;
  // Whether the result line of this length says `what`.
  const auto says = [&](int32_t length, const std::string& what) {
    const size_t at = said.find("  length " + std::to_string(length) + ", for ");
    return at != std::string::npos &&
           said.substr(at, said.find('\n', at) - at).find(what) != std::string::npos;
  };
  EXPECT_TRUE(says(n[0], ": skipped for time")) << said;
  EXPECT_TRUE(says(n[1], ": tuned in")) << said;
  EXPECT_TRUE(says(n[2], ": already tuned")) << said;
  EXPECT_TRUE(says(n[3], ": skipped for time")) << said;
  EXPECT_NE(said.find("more time"), std::string::npos) << said;
  EXPECT_EQ(planner.measured, std::vector<int32_t>{n[1]});
  EXPECT_TRUE(planner.fair);
  EXPECT_LE(planner.now, request.seconds);
}

// Written to a file, progress comes as whole lines while a length plans
// (here 1 s, reports every 0.1 s), each naming the length and the lengths
// done, all before that length's result line.
TEST_F(IrTool, ReportsProgressWhileALengthPlans) {
  TuneRequest request;
  request.wisdomPath = (work / "dsp_qlv3.dat").string();
  request.irs = {(work / "ir.wav").string()};
  request.reportSeconds = 0.1;
  WritePcm16(request.irs[0], Click(1, 1000));
  const int32_t n = TransformLength(1000);
  FakePlanner planner;
  planner.sleep = true;
  planner.probe = 0;
  planner.cost = {{n, 1}};
  planner.budget = 1e9;
  ASSERT_EQ(Said([&] { return Tune(request, context.out, &planner); }), kStatusOk) << said;
  const std::string line = "    planning length " + std::to_string(n) + ": ";
  int lines = 0;
  for (size_t at = 0; (at = said.find(line, at)) != std::string::npos; at += line.size()) {
    ++lines;
    EXPECT_NE(said.find(" of 1 lengths done\n", at), std::string::npos) << said;
  }
  EXPECT_GE(lines, 3) << said;
  EXPECT_GT(said.find("  length " + std::to_string(n) + ", for ir.wav: tuned in"), said.rfind(line))
      << said;
}

}  // namespace
