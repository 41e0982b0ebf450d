// SPDX-License-Identifier: GPL-2.0-or-later
// The shipped qlv_irtool.exe under Wine, as a listener meets it: names
// outside the ANSI code page (CTest pins it to 1252 through the locale),
// FLAC and lossy files, files too big to hold in a 32-bit process, a plan
// too big to make, and a short tuning budget spent on the lengths that
// fit, with progress.
#include <windows.h>
// After windows.h:
#include <fftw3.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>

#include "engine/plans.h"
#include "tests/support/audio.h"
#include "tests/support/win32.h"
#include "tools/irtool/irtool.h"

namespace {

namespace fs = std::filesystem;

std::wstring W(const std::string& utf8) {
  std::wstring wide(utf8.size() + 1, L'\0');
  wide.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &wide[0], int(wide.size())) - 1);
  return wide;
}

// Paths are UTF-8 here, used through the wide-character calls.
class IrToolExe : public ::testing::Test {
 protected:
  std::string dir;
  int runs = 0;

  void SetUp() override { dir = FreshFolderBesideTest("irtool_").string(); }

  // The tool, copied into `folder` (which it takes for the plug-in's), run
  // with these arguments.
  ProcessRun Run(const std::string& folder, const std::string& args) {
    CreateDirectoryW(W(folder).c_str(), nullptr);
    CopyFileW(W(WindowsPath("QLV_IRTOOL")).c_str(), W(folder + "\\qlv_irtool.exe").c_str(), TRUE);
    return RunProcess("\"" + folder + "\\qlv_irtool.exe\" " + args,
                      dir + "\\run" + std::to_string(++runs) + ".out");
  }

  // A file's samples, read through a copy under a plain name.
  PcmAudio Read(const std::string& path) {
    const std::string plain = dir + "\\read.wav";
    CopyFileW(W(path).c_str(), W(plain).c_str(), FALSE);
    PcmAudio audio;
    EXPECT_TRUE(ReadPcm16(plain, &audio)) << path;
    return audio;
  }

  static std::set<std::wstring> NamesIn(const std::string& folder) {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(W(folder + "\\*.*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.insert(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
  }
};

// The tool in a folder, converting from and into folders, all named outside
// the code page: inputs are found, outputs named so that the plug-in can
// open them (characters it cannot hold become _, an accent it can stays),
// two names that become one are refused, and tune finds the IRs and writes
// dsp_qlv3.dat in its own folder.
TEST_F(IrToolExe, TakesNamesOutsideTheAnsiCodePage) {
  ASSERT_EQ(GetACP(), 1252u) << "CTest runs this test with LC_ALL=C.UTF-8";
  const std::string tool = dir + "\\Плагины 🎵", in = dir + "\\Входы", out = dir + "\\Выход";
  ASSERT_TRUE(CreateDirectoryW(W(in).c_str(), nullptr));
  PcmAudio ir = Noise(2, 2000, 21);
  ir.samples.back() = 1234;
  WritePcm16(dir + "\\ir.wav", ir);
  std::string args = "convert";
  for (const char* name : {"Café.wav", "Зал 大厅.wav", "Дом 大厅.wav"}) {
    CopyFileW(W(dir + "\\ir.wav").c_str(), W(in + "\\" + name).c_str(), FALSE);
    args += " \"" + in + "\\" + name + "\"";
  }
  ProcessRun run = Run(tool, args + " --out \"" + out + "\" --seconds 60");
  EXPECT_EQ(run.exitCode, DWORD(kStatusOutputExists)) << run.out;  // the third
  EXPECT_EQ(NamesIn(out), (std::set<std::wstring>{L"Caf\u00e9.wav", L"___ __.wav"})) << run.out;
  EXPECT_EQ(Read(out + "\\Café.wav").samples, ir.samples);
  EXPECT_NE(GetFileAttributesW(W(tool + "\\dsp_qlv3.dat").c_str()), INVALID_FILE_ATTRIBUTES)
      << run.out;

  // A plain tune: the IRs in "Impulse Responses" of the tool's folder.
  DeleteFileW(W(tool + "\\dsp_qlv3.dat").c_str());
  CreateDirectoryW(W(tool + "\\Impulse Responses").c_str(), nullptr);
  CopyFileW(W(out + "\\Café.wav").c_str(), W(tool + "\\Impulse Responses\\Café.wav").c_str(),
            FALSE);
  run = Run(tool, "tune --seconds 60");
  ASSERT_EQ(run.exitCode, DWORD(kStatusOk)) << run.out;
  std::FILE* wisdom = _wfopen(W(tool + "\\dsp_qlv3.dat").c_str(), L"r");
  ASSERT_NE(wisdom, nullptr) << run.out;
  EXPECT_TRUE(fftw_import_wisdom_from_file(wisdom));
  std::fclose(wisdom);
  fftw_plan forward = nullptr, inverse = nullptr;
  EXPECT_TRUE(MakeTransformPlans(TransformLength(ir.Frames()), FFTW_MEASURE | FFTW_WISDOM_ONLY,
                                 &forward, &inverse))
      << run.out;
  if (forward) fftw_destroy_plan(forward);
  if (inverse) fftw_destroy_plan(inverse);
}

// Rooms are shared as FLAC to save space: one converts sample for sample
// like its WAV twin. An Ogg Vorbis file is refused (status 2) with one line.
TEST_F(IrToolExe, ConvertsFlacLikeItsWavTwinAndRefusesOggVorbis) {
  const std::string data = WindowsPath("QLV_TESTDATA"), twin = dir + "\\twin.flac";
  const std::string out = dir + "\\out";
  ASSERT_TRUE(CopyFileW(W(data + "\\ir_s24_48k.flac").c_str(), W(twin).c_str(), FALSE));
  const std::string files =
      "\"" + data + "\\ir_s24_48k.wav\" \"" + twin + "\" \"" + data + "\\ir_vorbis.ogg\"";
  const ProcessRun run =
      Run(dir + "\\tool", "convert " + files + " --out \"" + out + "\" --seconds 1");
  EXPECT_EQ(run.exitCode, DWORD(kStatusBadInput)) << run.out;
  EXPECT_TRUE(run.Says("\\ir_vorbis.ogg: is Ogg Vorbis, which is lossy")) << run.out;
  EXPECT_TRUE(run.Says("a lossy file smears a room's impulse")) << run.out;
  EXPECT_EQ(NamesIn(out), (std::set<std::wstring>{L"ir_s24_48k.wav", L"twin.wav"})) << run.out;
  const PcmAudio wav = Read(out + "\\ir_s24_48k.wav"), flac = Read(out + "\\twin.wav");
  EXPECT_EQ(flac.channels, 2);
  EXPECT_GT(flac.Frames(), 13000);  // 0.3 s at 44.1 kHz
  EXPECT_EQ(flac.samples, wav.samples);
}

// More samples than one vector holds in a 32-bit process (sparse files):
// one that would be too many once converted is refused with status 2 and the
// next is converted, 1024 channels of which two are kept.
TEST_F(IrToolExe, RefusesWhatItCannotHoldAndGoesOn) {
  const std::string big = dir + "\\big.wav", wide = dir + "\\wide.wav", out = dir + "\\out";
  WriteBytes(big, Wav(1, 2, 16, 1200000000u, 0));  // 300 million frames
  fs::resize_file(big, 44 + 1200000000ull);
  WriteBytes(wide, Wav(1, 1024, 8, 614400000u, 0));  // 600000 frames
  fs::resize_file(wide, 44 + 614400000ull);
  const ProcessRun run =
      Run(dir + "\\tool", "convert \"" + big + "\" \"" + wide + "\" --channels 1,2 --out \"" + out +
                              "\" --seconds 1");
  EXPECT_EQ(run.exitCode, DWORD(kStatusBadInput)) << run.out;
  EXPECT_NE(run.out.find("\n" + big + ": "), std::string::npos) << run.out;
  const PcmAudio kept = Read(out + "\\wide.wav");
  EXPECT_EQ(kept.channels, 2);
  EXPECT_EQ(kept.Frames(), 600000);  // zero bytes are 8-bit's lowest value
  EXPECT_EQ(NamesIn(out).size(), 1u);
}

// A length whose plans do not fit in memory is not one that more time
// would tune.
TEST_F(IrToolExe, GivesNoTimeAdviceForAPlanThatDoesNotFit) {
  const std::string huge = dir + "\\huge.wav";  // 2^28 frames: transforms of 2^29
  WriteBytes(huge, Wav(1, 1, 16, 1u << 29, 0));
  const ProcessRun run = Run(dir + "\\tool", "tune \"" + huge + "\" --seconds 10");
  EXPECT_EQ(run.exitCode, DWORD(kStatusBadInput)) << run.out;
  EXPECT_NE(run.out.find("not enough memory"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("more time"), std::string::npos) << run.out;
}

// 40 s under Wine, output to a file: the current IR's length (a 9 s
// Chapel's, about two minutes here) is skipped for time and Small Room's
// (about 10 s, twice that on a busy machine) tuned; while it plans,
// progress lines come at most 2 s apart, from its start to its result line.
TEST_F(IrToolExe, TunesWhatFitsInAShortBudgetWithProgress) {
  const std::string tool = dir + "\\tool", irs = tool + "\\Impulse Responses";
  CreateDirectoryW(W(tool).c_str(), nullptr);
  CreateDirectoryW(W(irs).c_str(), nullptr);
  WritePcm16(irs + "\\Chapel.wav", Click(2, 396900));     // 9 s
  WritePcm16(irs + "\\Small Room.wav", Click(2, 26460));  // 0.6 s
  const ProcessRun run = Run(tool, "tune --seconds 40");
  ASSERT_EQ(run.exitCode, DWORD(kStatusOk)) << run.out;
  EXPECT_TRUE(run.Says("  length 793800, for Chapel.wav: skipped for time")) << run.out;
  EXPECT_TRUE(run.Says("  length 52920, for Small Room.wav: tuned in ")) << run.out;
  // The seconds each line gives, from the length's start.
  std::vector<double> times;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    const size_t at = line.find(": ");
    if (line.rfind("    planning length 52920: ", 0) == 0 ||
        line.rfind("  length 52920, for Small Room.wav: tuned in ", 0) == 0) {
      times.push_back(std::atof(line.c_str() + line.find_first_of("0123456789.", at + 2)));
    }
  }
  ASSERT_GE(times.size(), 3u) << run.out;
  EXPECT_EQ(times[0], 0.0) << run.out;
  for (size_t i = 1; i < times.size(); ++i) EXPECT_LE(times[i] - times[i - 1], 2.0) << run.out;
}

}  // namespace
