// SPDX-License-Identifier: GPL-2.0-or-later
// qlv_host against the test plug-in (host_plugins/): what the plug-in was
// called with, in which order and on which thread, what came out of it, and
// how the host reports a plug-in that misbehaves. Each test runs in a
// folder of its own beside the test program, which also holds the plug-ins.
#include <windows.h>
// After windows.h:
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/audio.h"
#include "tests/support/win32.h"

namespace {

struct HostRun : ProcessRun {
  std::vector<std::string> log;  // the test plug-in's, one call a line
};

std::string FullPath(const std::string& path) {
  char full[MAX_PATH];
  const DWORD n = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
  return n > 0 && n < MAX_PATH ? full : path;
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// The plug-ins are built beside the test program, one folder up from ours.
std::string Plugin() { return Quoted(FullPath("..\\host_test_plugin.dll")); }
std::string NoExportPlugin() { return Quoted(FullPath("..\\host_noexport_plugin.dll")); }

// Runs the host with its output in a file (Wine holds pipes open) and the
// plug-in's log and mode in the environment it inherits; prints both, for
// the failure report.
HostRun RunHost(const std::string& args, const char* mode = "") {
  DeleteFileA("plugin.log");
  SetEnvironmentVariableA("QLV_TEST_LOG", FullPath("plugin.log").c_str());
  SetEnvironmentVariableA("QLV_TEST_MODE", mode);
  std::printf("$ qlv_host %s%s%s%s\n", args.c_str(), *mode ? "   [mode " : "", mode,
              *mode ? "]" : "");
  HostRun run;
  // The launcher's own timeout only guards against a hang of the host.
  static_cast<ProcessRun&>(run) =
      RunProcess(Quoted(WindowsPath("QLV_HOST")) + " " + args, "host.out");
  EXPECT_LT(run.exitCode, 1000u) << "the host did not start or did not finish";
  run.log = Lines(ReadText("plugin.log"));
  for (const std::string& line : Lines(run.out)) std::printf("  | %s\n", line.c_str());
  std::printf("  exit code %lu, %zu plug-in log lines\n", run.exitCode, run.log.size());
  std::fflush(stdout);
  return run;
}

std::string Kind(const std::string& line) { return line.substr(0, line.find(' ')); }

std::string Field(const std::string& line, const std::string& key) {
  const size_t at = (" " + line).find(" " + key + "=");
  if (at == std::string::npos) return "";
  const size_t start = at + key.size() + 1;
  return line.substr(start, line.find(' ', start) - start);
}

long long Number(const std::string& line, const std::string& key) {
  return std::atoll(Field(line, key).c_str());
}

// The kinds of the log lines in order, runs of "modify" as one.
std::vector<std::string> Kinds(const HostRun& run) {
  std::vector<std::string> kinds;
  for (const std::string& line : run.log) {
    const std::string kind = Kind(line);
    if (kind == "modify" && !kinds.empty() && kinds.back() == "modify") continue;
    kinds.push_back(kind);
  }
  return kinds;
}

std::vector<std::string> LinesOf(const HostRun& run, const std::string& kind) {
  std::vector<std::string> lines;
  for (const std::string& line : run.log) {
    if (Kind(line) == kind) lines.push_back(line);
  }
  return lines;
}

std::string First(const HostRun& run, const std::string& kind) {
  const std::vector<std::string> lines = LinesOf(run, kind);
  return lines.empty() ? "" : lines.front();
}

int IndexOf(const HostRun& run, const std::string& kind) {
  for (size_t i = 0; i < run.log.size(); ++i) {
    if (Kind(run.log[i]) == kind) return static_cast<int>(i);
  }
  return -1;
}

// Noise over the whole 16-bit range, extremes first.
PcmAudio WriteInput(const char* path, int channels, int frames) {
  PcmAudio audio = Noise(channels, frames, 12345, 32767);
  const int16_t extremes[] = {-32768, 32767, 0, -1};
  for (size_t i = 0; i < 4 && i < audio.samples.size(); ++i) audio.samples[i] = extremes[i];
  EXPECT_TRUE(WritePcm16(path, audio)) << path;
  return audio;
}

bool IsInverted(const PcmAudio& in, const char* path) {
  PcmAudio out;
  if (!ReadPcm16(path, &out)) return false;
  if (out.channels != in.channels || out.rate != in.rate || out.samples.size() != in.samples.size())
    return false;
  for (size_t i = 0; i < in.samples.size(); ++i) {
    if (out.samples[i] != static_cast<int16_t>(~in.samples[i])) return false;
  }
  return true;
}

const std::vector<std::string> kCycle = {"header", "getmodule", "getmodule", "getmodule",
                                         "init",   "modify",    "quit",      "detach"};

class Host : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SetCurrentDirectoryW(FreshFolderBesideTest("").c_str()));
    ASSERT_FALSE(WindowsPath("QLV_HOST").empty());
  }
};

TEST_F(Host, DefaultRun) {
  const PcmAudio in = WriteInput("in.wav", 2, 44100);
  const HostRun run = RunHost(Plugin() + " in.wav out.wav");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_TRUE(run.Says("header version 0x20: Host test plug-in"));
  EXPECT_TRUE(run.Says("module 0: Host test plug-in: invert"));
  EXPECT_TRUE(run.Says("module 1: Host test plug-in: second"));
  EXPECT_TRUE(run.Says("Init -> 0"));
  EXPECT_TRUE(run.Says("streamed 1.00 s of audio in 77 buffers (0 empty)"));
  EXPECT_TRUE(run.Says("Quit returned"));
  EXPECT_TRUE(run.Says("freed"));
  EXPECT_EQ(Kinds(run), kCycle);
  const std::vector<std::string> modules = LinesOf(run, "getmodule");
  ASSERT_EQ(modules.size(), 3u);
  EXPECT_EQ(Field(modules[0], "index"), "0");
  EXPECT_EQ(Field(modules[1], "index"), "1");
  EXPECT_EQ(Field(modules[2], "index"), "2");
  EXPECT_EQ(Field(modules[2], "result"), "null");
  const std::string init = First(run, "init");
  EXPECT_EQ(Field(init, "instance_ok"), "1");
  EXPECT_EQ(Field(init, "parent"), "window");
  EXPECT_EQ(Field(init, "parent_visible"), "1");
  const std::string modify = First(run, "modify");
  EXPECT_EQ(Field(modify, "bits"), "16");
  EXPECT_EQ(Field(modify, "channels"), "2");
  EXPECT_EQ(Field(modify, "rate"), "44100");
  const std::string quit = First(run, "quit");
  EXPECT_EQ(Number(quit, "calls"), 77);  // 76 full buffers of 576 and one of 324
  EXPECT_EQ(Number(quit, "frames"), 44100);
  EXPECT_EQ(Number(quit, "max"), 576);
  EXPECT_EQ(Number(quit, "min"), 324);
  EXPECT_EQ(Number(quit, "on_init_thread"), 0);  // an audio thread of its own
  EXPECT_TRUE(IsInverted(in, "out.wav"));
}

TEST_F(Host, Choices) {
  const PcmAudio in = WriteInput("in.wav", 1, 8820);
  HostRun run = RunHost("--null-parent " + Plugin() + " in.wav");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(Field(First(run, "init"), "parent"), "null");
  run = RunHost("--hidden-parent --module 1 " + Plugin() + " in.wav");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(Field(First(run, "init"), "module"), "1");
  EXPECT_EQ(Field(First(run, "init"), "parent"), "window");
  EXPECT_EQ(Field(First(run, "init"), "parent_visible"), "0");
  run = RunHost("--module 2 " + Plugin() + " in.wav");
  EXPECT_EQ(run.exitCode, 2u);
  EXPECT_TRUE(run.Says("error: there is no module 2"));
  EXPECT_LT(IndexOf(run, "init"), 0);
  EXPECT_GE(IndexOf(run, "detach"), 0);
  run = RunHost("--post-quit --quit-free-at-once " + Plugin() + " in.wav");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(IndexOf(run, "quit") + 1, IndexOf(run, "detach"));
  // Paced: the same result, with the waits on either side.
  run = RunHost("--realtime --wait-ms 50 --hold-ms 50 " + Plugin() + " in.wav out.wav");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_TRUE(run.Says("waiting 50 ms") && run.Says("holding 50 ms"));
  EXPECT_TRUE(run.Says("streamed 0.20 s of audio in 16 buffers (0 empty)"));
  EXPECT_TRUE(IsInverted(in, "out.wav"));
}

TEST_F(Host, Prefs) {
  HostRun run = RunHost("--prefs " + Plugin());
  EXPECT_EQ(run.exitCode, 0u);
  const std::vector<std::string> order = {"header", "getmodule", "getmodule", "getmodule",
                                          "detach"};
  EXPECT_EQ(Kinds(run), order);
  EXPECT_TRUE(run.Says("module 1: Host test plug-in: second"));
  EXPECT_FALSE(run.Says("Init"));
  // A plug-in that starts work on load is caught.
  run = RunHost("--prefs " + Plugin(), "eager");
  EXPECT_EQ(run.exitCode, 2u);
  EXPECT_TRUE(run.Says("error: the plug-in started 1 thread(s) without Init"));
  EXPECT_TRUE(run.Says("not freed"));
}

TEST_F(Host, ConfigOnly) {
  const HostRun run = RunHost("--config-only " + Plugin());
  EXPECT_EQ(run.exitCode, 0u);
  const std::vector<std::string> order = {"header", "getmodule", "config", "detach"};
  EXPECT_EQ(Kinds(run), order);
  EXPECT_EQ(Field(First(run, "getmodule"), "index"), "0");
  EXPECT_EQ(Field(First(run, "config"), "initialized"), "0");
  EXPECT_TRUE(run.Says("Config returned"));
}

TEST_F(Host, ConfigAfterInit) {
  WriteInput("in.wav", 2, 44100);
  const HostRun run = RunHost("--config-after-init " + Plugin() + " in.wav");
  EXPECT_EQ(run.exitCode, 0u);
  const std::string config = First(run, "config");
  EXPECT_EQ(Field(config, "initialized"), "1");
  EXPECT_EQ(Field(config, "on_init_thread"), "0");
  EXPECT_LT(IndexOf(run, "init"), IndexOf(run, "config"));
  EXPECT_LT(IndexOf(run, "config"), IndexOf(run, "quit"));
  EXPECT_TRUE(run.Says("Config returned on its thread"));
}

// Every entry sees the offset asked for: the thunks really misalign.
class Misaligned : public Host, public ::testing::WithParamInterface<int> {};

TEST_P(Misaligned, EveryEntrySeesTheOffset) {
  const std::string n = std::to_string(GetParam());
  WriteInput("in.wav", 2, 8820);
  HostRun run =
      RunHost("--misalign " + n + " --config-after-init --buffer 100 " + Plugin() + " in.wav");
  EXPECT_EQ(run.exitCode, 0u);
  int entries = 0;
  for (const std::string& line : run.log) {
    const std::string seen = Field(line, "offset");
    if (seen.empty()) continue;
    ++entries;
    EXPECT_EQ(seen, n) << line;
  }
  EXPECT_GE(entries, 7);  // header, 3 GetModule, Init, modify, Config, Quit
  EXPECT_EQ(Field(First(run, "quit"), "modify_offsets"), n);
  EXPECT_EQ(Number(First(run, "quit"), "calls"), 89);
  EXPECT_TRUE(run.Says("audio thread ran with stack offset " + n));
  EXPECT_TRUE(run.Says("host window procedure ran with stack offset(s) " + n + "\n") ||
              run.Says("host window procedure ran with stack offset(s) " + n + "\r\n"));

  run = RunHost("--misalign " + n + " --config-only " + Plugin());
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(Field(First(run, "header"), "offset"), n);
  EXPECT_EQ(Field(First(run, "config"), "offset"), n);
}

INSTANTIATE_TEST_SUITE_P(Host, Misaligned, ::testing::Values(0, 4, 8, 12));

TEST_F(Host, BufferOfOne) {
  const PcmAudio in = WriteInput("in.wav", 2, 2205);
  const HostRun run = RunHost("--buffer 1 " + Plugin() + " in.wav out.wav");
  EXPECT_EQ(run.exitCode, 0u);
  const std::string quit = First(run, "quit");
  EXPECT_EQ(Number(quit, "calls"), 2205);
  EXPECT_EQ(Number(quit, "min"), 1);
  EXPECT_EQ(Number(quit, "max"), 1);
  EXPECT_TRUE(IsInverted(in, "out.wav"));
}

TEST_F(Host, RandomBuffers) {
  const PcmAudio in = WriteInput("in.wav", 2, 3 * 44100);
  const HostRun run = RunHost("--random-buffers 7 " + Plugin() + " in.wav out.wav");
  EXPECT_EQ(run.exitCode, 0u);
  const std::string quit = First(run, "quit");
  EXPECT_EQ(Number(quit, "frames"), 3 * 44100);
  EXPECT_GT(Number(quit, "zero"), 0);
  EXPECT_EQ(Number(quit, "min"), 0);
  EXPECT_LE(Number(quit, "max"), 4096);
  EXPECT_GT(Number(quit, "max"), 576);
  EXPECT_TRUE(IsInverted(in, "out.wav"));
  // A failing seed can be run again.
  const HostRun again = RunHost("--random-buffers 7 " + Plugin() + " in.wav");
  EXPECT_EQ(Field(First(again, "quit"), "calls"), Field(quit, "calls"));
}

TEST_F(Host, Cycles) {
  const PcmAudio in = WriteInput("in.wav", 2, 22050);
  const HostRun run = RunHost("--cycles 3 " + Plugin() + " in.wav out.wav");
  EXPECT_EQ(run.exitCode, 0u);
  std::vector<std::string> three;
  for (int i = 0; i < 3; ++i) three.insert(three.end(), kCycle.begin(), kCycle.end());
  EXPECT_EQ(Kinds(run), three);
  EXPECT_TRUE(run.Says("cycle 1 of 3: private "));
  EXPECT_TRUE(run.Says("cycle 3 of 3: private "));
  EXPECT_TRUE(IsInverted(in, "out.wav"));
}

// Claimed layouts other than the buffer's: the buffer has room for them.
TEST_F(Host, OddArguments) {
  const PcmAudio in = WriteInput("in.wav", 2, 44100);
  HostRun run = RunHost("--bits 24 --channels 6 --rate 0 " + Plugin() + " in.wav out.wav");
  EXPECT_EQ(run.exitCode, 0u);
  const std::string modify = First(run, "modify");
  EXPECT_EQ(Field(modify, "bits"), "24");
  EXPECT_EQ(Field(modify, "channels"), "6");
  EXPECT_EQ(Field(modify, "rate"), "0");
  EXPECT_TRUE(IsInverted(in, "out.wav"));  // 18 claimed bytes a frame cover the 4 real ones

  run = RunHost("--bits 8 --channels 1 " + Plugin() + " in.wav");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(Field(First(run, "modify"), "bits"), "8");
  EXPECT_EQ(Field(First(run, "modify"), "rate"), "44100");

  // A write one byte past the claimed layout is reported.
  run = RunHost("--bits 24 --channels 6 " + Plugin() + " in.wav", "overrun");
  EXPECT_EQ(run.exitCode, 2u);
  EXPECT_TRUE(
      run.Says("error: ModifySamples wrote past the end of its 576-frame buffer (10368 bytes)"));
  EXPECT_GE(IndexOf(run, "quit"), 0);
}

// Frames of a stereo file come back either inverted as they were, or as
// the inverted mono mix on both sides.
TEST_F(Host, ChangeChannels) {
  const PcmAudio in = WriteInput("in.wav", 2, 2 * 44100);
  HostRun run = RunHost("--change-channels " + Plugin() + " in.wav out.wav");
  EXPECT_EQ(run.exitCode, 0u);
  std::vector<std::string> channels;
  for (const std::string& line : LinesOf(run, "modify"))
    channels.push_back(Field(line, "channels"));
  const std::vector<std::string> expected = {"2", "1", "2", "1"};
  EXPECT_EQ(channels, expected);
  PcmAudio out;
  ASSERT_TRUE(ReadPcm16("out.wav", &out));
  ASSERT_EQ(out.samples.size(), in.samples.size());
  int64_t mono = 0, stereo = 0, wrong = 0;
  for (size_t f = 0; f + 1 < out.samples.size(); f += 2) {
    const int16_t l = in.samples[f], r = in.samples[f + 1];
    const auto mix = static_cast<int16_t>(~static_cast<int16_t>((l + r) >> 1));
    if (out.samples[f] == static_cast<int16_t>(~l) &&
        out.samples[f + 1] == static_cast<int16_t>(~r))
      ++stereo;
    else if (out.samples[f] == mix && out.samples[f + 1] == mix)
      ++mono;
    else
      ++wrong;
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_GT(mono, 30000);
  EXPECT_GT(stereo, 30000);

  // A mono file duplicated to stereo and mixed back is unchanged.
  const PcmAudio single = WriteInput("mono.wav", 1, 2 * 44100);
  run = RunHost("--change-channels " + Plugin() + " mono.wav mono_out.wav");
  EXPECT_EQ(run.exitCode, 0u);
  ASSERT_GE(LinesOf(run, "modify").size(), 2u);
  EXPECT_EQ(Field(LinesOf(run, "modify")[1], "channels"), "2");
  EXPECT_TRUE(IsInverted(single, "mono_out.wav"));
}

TEST_F(Host, BrokenPlugins) {
  WriteInput("in.wav", 2, 4410);
  HostRun run = RunHost(NoExportPlugin() + " in.wav");
  EXPECT_EQ(run.exitCode, 2u);
  EXPECT_TRUE(run.Says("has no winampDSPGetHeader2 export"));

  run = RunHost("in.wav in.wav");
  EXPECT_EQ(run.exitCode, 2u);
  EXPECT_TRUE(run.Says("error: cannot load"));

  run = RunHost(Plugin() + " in.wav", "wrongversion");
  EXPECT_EQ(run.exitCode, 2u);
  EXPECT_TRUE(run.Says("error: header version 0x21, expected 0x20"));
  EXPECT_LT(IndexOf(run, "getmodule"), 0);
  EXPECT_GE(IndexOf(run, "detach"), 0);

  run = RunHost(Plugin() + " in.wav", "initfail");
  EXPECT_EQ(run.exitCode, 2u);
  EXPECT_TRUE(run.Says("Init -> 1"));
  EXPECT_LT(IndexOf(run, "modify"), 0);
  EXPECT_LT(IndexOf(run, "quit"), 0);
  EXPECT_GE(IndexOf(run, "detach"), 0);

  run = RunHost(Plugin() + " in.wav", "badcount");
  EXPECT_EQ(run.exitCode, 2u);
  EXPECT_TRUE(run.Says("error: ModifySamples returned 577 for 576 frames"));
  EXPECT_GE(IndexOf(run, "quit"), 0);  // still shut down in order

  run = RunHost(Plugin() + " in.wav", "crash");
  EXPECT_EQ(run.exitCode, 4u);
  EXPECT_TRUE(run.Says("crashed: exception 0xc0000005"));
  EXPECT_TRUE(run.Says("host_test_plugin.dll"));
}

TEST_F(Host, HungQuit) {
  WriteInput("in.wav", 2, 4410);
  const HostRun run = RunHost("--timeout-ms 500 " + Plugin() + " in.wav", "hangquit");
  EXPECT_EQ(run.exitCode, 3u);
  EXPECT_TRUE(run.Says("Quit hung: no return within 500 ms"));
  EXPECT_GE(IndexOf(run, "quit"), 0);
  EXPECT_LT(IndexOf(run, "detach"), 0);
}

TEST_F(Host, CloseWindow) {
  WriteInput("in.wav", 2, 44100);
  HostRun run = RunHost("--close-window-ms 0 " + Plugin() + " in.wav", "window");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_TRUE(run.Says("sending WM_CLOSE to the plug-in window \"Host test plug-in window\""));
  EXPECT_TRUE(run.Says("the plug-in window is gone"));
  EXPECT_GE(IndexOf(run, "window_close"), 0);
  EXPECT_LT(IndexOf(run, "window_close"), IndexOf(run, "quit"));

  run = RunHost("--close-window-ms 0 " + Plugin() + " in.wav");
  EXPECT_EQ(run.exitCode, 2u);
  EXPECT_TRUE(run.Says("error: the plug-in shows no window to close"));
}

TEST_F(Host, Usage) {
  HostRun run = RunHost("--help");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_TRUE(run.Says("Usage: qlv_host [options] PLUGIN.dll [IN.wav [OUT.wav]]"));
  for (const char* args : {"", "--buffer 0 x.dll", "--misalign 6 x.dll", "--misalign 16 x.dll",
                           "--frobnicate x.dll", "--cycles x.dll", "a.dll b.wav c.wav d.wav"}) {
    run = RunHost(args);
    EXPECT_EQ(run.exitCode, 1u) << args;
    EXPECT_TRUE(run.Says("error: ")) << args;
  }
  WriteText("bad.wav", "RIFF....WAVEnot really");
  run = RunHost(Plugin() + " bad.wav");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_TRUE(run.Says("error: cannot read bad.wav"));
  EXPECT_TRUE(run.log.empty());  // the input is read before the plug-in is loaded
}

}  // namespace
