// SPDX-License-Identifier: GPL-2.0-or-later
// Runs qlv_host against the test plug-in and checks what the plug-in was
// called with and what came out of it.
// Usage: qlv_host_tests CASE HOST.exe TEST_PLUGIN.dll NOEXPORT.dll
// (run in an empty folder of its own; CASE as listed in kCases below).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/audio.h"
#include "tests/support/win32.h"

namespace {

std::string g_host, g_plugin, g_noExport;
int g_failures = 0;

struct HostRun : ProcessRun {
  std::vector<std::string> log;
};

void Check(bool ok, const char* what, int line) {
  if (ok) return;
  ++g_failures;
  std::printf("FAILED (line %d): %s\n", line, what);
}
#define CHECK(condition) Check((condition), #condition, __LINE__)

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

// Runs the host with its output in a file (Wine holds pipes open) and the
// plug-in's log and mode in the environment it inherits.
HostRun RunHost(const std::string& args, const char* mode = "") {
  DeleteFileA("plugin.log");
  SetEnvironmentVariableA("QLV_TEST_LOG", FullPath("plugin.log").c_str());
  SetEnvironmentVariableA("QLV_TEST_MODE", mode);
  std::printf("$ qlv_host %s%s%s\n", args.c_str(), *mode ? "   [mode " : "", *mode ? mode : "");
  if (*mode) std::printf("]\n");
  HostRun run;
  // The launcher's own timeout only guards against a hang of the host.
  static_cast<ProcessRun&>(run) = RunProcess(Quoted(g_host) + " " + args, "host.out");
  if (run.exitCode == 1000) std::printf("cannot start %s\n", g_host.c_str());
  if (run.exitCode == 1001) std::printf("the host did not finish\n");
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
  if (!WritePcm16(path, audio)) std::printf("cannot write %s\n", path);
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

std::string Plugin() { return Quoted(g_plugin); }

// ---- Cases

void DefaultRun() {
  const PcmAudio in = WriteInput("in.wav", 2, 44100);
  const HostRun run = RunHost(Plugin() + " in.wav out.wav");
  CHECK(run.exitCode == 0);
  CHECK(run.Says("header version 0x20: Host test plug-in"));
  CHECK(run.Says("module 0: Host test plug-in: invert"));
  CHECK(run.Says("module 1: Host test plug-in: second"));
  CHECK(run.Says("Init -> 0"));
  CHECK(run.Says("streamed 1.00 s of audio in 77 buffers (0 empty)"));
  CHECK(run.Says("Quit returned"));
  CHECK(run.Says("freed"));
  const std::vector<std::string> order = {"header", "getmodule", "getmodule", "getmodule",
                                          "init",   "modify",    "quit",      "detach"};
  CHECK(Kinds(run) == order);
  const std::vector<std::string> modules = LinesOf(run, "getmodule");
  CHECK(modules.size() == 3 && Field(modules[0], "index") == "0" &&
        Field(modules[1], "index") == "1" && Field(modules[2], "index") == "2" &&
        Field(modules[2], "result") == "null");
  const std::string init = First(run, "init");
  CHECK(Field(init, "instance_ok") == "1");
  CHECK(Field(init, "parent") == "window");
  CHECK(Field(init, "parent_visible") == "1");
  const std::string modify = First(run, "modify");
  CHECK(Field(modify, "bits") == "16" && Field(modify, "channels") == "2" &&
        Field(modify, "rate") == "44100");
  const std::string quit = First(run, "quit");
  CHECK(Number(quit, "calls") == 77);  // 76 full buffers of 576 and one of 324
  CHECK(Number(quit, "frames") == 44100);
  CHECK(Number(quit, "max") == 576 && Number(quit, "min") == 324);
  CHECK(Number(quit, "on_init_thread") == 0);  // an audio thread of its own
  CHECK(IsInverted(in, "out.wav"));
}

void Choices() {
  const PcmAudio in = WriteInput("in.wav", 1, 8820);
  HostRun run = RunHost("--null-parent " + Plugin() + " in.wav");
  CHECK(run.exitCode == 0);
  CHECK(Field(First(run, "init"), "parent") == "null");
  run = RunHost("--hidden-parent --module 1 " + Plugin() + " in.wav");
  CHECK(run.exitCode == 0);
  CHECK(Field(First(run, "init"), "module") == "1");
  CHECK(Field(First(run, "init"), "parent") == "window");
  CHECK(Field(First(run, "init"), "parent_visible") == "0");
  run = RunHost("--module 2 " + Plugin() + " in.wav");
  CHECK(run.exitCode == 2);
  CHECK(run.Says("error: there is no module 2"));
  CHECK(IndexOf(run, "init") < 0 && IndexOf(run, "detach") >= 0);
  run = RunHost("--post-quit --quit-free-at-once " + Plugin() + " in.wav");
  CHECK(run.exitCode == 0);
  CHECK(IndexOf(run, "quit") + 1 == IndexOf(run, "detach"));
  // Paced: the same result, with the waits on either side.
  run = RunHost("--realtime --wait-ms 50 --hold-ms 50 " + Plugin() + " in.wav out.wav");
  CHECK(run.exitCode == 0);
  CHECK(run.Says("waiting 50 ms") && run.Says("holding 50 ms"));
  CHECK(run.Says("streamed 0.20 s of audio in 16 buffers (0 empty)"));
  CHECK(IsInverted(in, "out.wav"));
}

void Prefs() {
  HostRun run = RunHost("--prefs " + Plugin());
  CHECK(run.exitCode == 0);
  const std::vector<std::string> order = {"header", "getmodule", "getmodule", "getmodule",
                                          "detach"};
  CHECK(Kinds(run) == order);
  CHECK(run.Says("module 1: Host test plug-in: second"));
  CHECK(!run.Says("Init"));
  // A plug-in that starts work on load is caught.
  run = RunHost("--prefs " + Plugin(), "eager");
  CHECK(run.exitCode == 2);
  CHECK(run.Says("error: the plug-in started 1 thread(s) without Init"));
  CHECK(run.Says("not freed"));
}

void ConfigOnly() {
  const HostRun run = RunHost("--config-only " + Plugin());
  CHECK(run.exitCode == 0);
  const std::vector<std::string> order = {"header", "getmodule", "config", "detach"};
  CHECK(Kinds(run) == order);
  CHECK(Field(First(run, "getmodule"), "index") == "0");
  CHECK(Field(First(run, "config"), "initialized") == "0");
  CHECK(run.Says("Config returned"));
}

void ConfigAfterInit() {
  WriteInput("in.wav", 2, 44100);
  const HostRun run = RunHost("--config-after-init " + Plugin() + " in.wav");
  CHECK(run.exitCode == 0);
  const std::string config = First(run, "config");
  CHECK(Field(config, "initialized") == "1");
  CHECK(Field(config, "on_init_thread") == "0");
  CHECK(IndexOf(run, "init") < IndexOf(run, "config"));
  CHECK(IndexOf(run, "config") < IndexOf(run, "quit"));
  CHECK(run.Says("Config returned on its thread"));
}

// Every entry sees the offset asked for: the thunks really misalign.
void Misalign(int offset) {
  const std::string n = std::to_string(offset);
  WriteInput("in.wav", 2, 8820);
  HostRun run =
      RunHost("--misalign " + n + " --config-after-init --buffer 100 " + Plugin() + " in.wav");
  CHECK(run.exitCode == 0);
  int entries = 0;
  for (const std::string& line : run.log) {
    const std::string seen = Field(line, "offset");
    if (seen.empty()) continue;
    ++entries;
    if (seen != n) std::printf("  wrong offset: %s\n", line.c_str());
    CHECK(seen == n);
  }
  CHECK(entries >= 7);  // header, 3 GetModule, Init, modify, Config, Quit
  CHECK(Field(First(run, "quit"), "modify_offsets") == n);
  CHECK(Number(First(run, "quit"), "calls") == 89);
  CHECK(run.Says("audio thread ran with stack offset " + n));
  CHECK(run.Says("host window procedure ran with stack offset(s) " + n + "\n") ||
        run.Says("host window procedure ran with stack offset(s) " + n + "\r\n"));

  run = RunHost("--misalign " + n + " --config-only " + Plugin());
  CHECK(run.exitCode == 0);
  CHECK(Field(First(run, "header"), "offset") == n);
  CHECK(Field(First(run, "config"), "offset") == n);
}

void BufferOfOne() {
  const PcmAudio in = WriteInput("in.wav", 2, 2205);
  const HostRun run = RunHost("--buffer 1 " + Plugin() + " in.wav out.wav");
  CHECK(run.exitCode == 0);
  const std::string quit = First(run, "quit");
  CHECK(Number(quit, "calls") == 2205);
  CHECK(Number(quit, "min") == 1 && Number(quit, "max") == 1);
  CHECK(IsInverted(in, "out.wav"));
}

void RandomBuffers() {
  const PcmAudio in = WriteInput("in.wav", 2, 3 * 44100);
  const HostRun run = RunHost("--random-buffers 7 " + Plugin() + " in.wav out.wav");
  CHECK(run.exitCode == 0);
  const std::string quit = First(run, "quit");
  CHECK(Number(quit, "frames") == 3 * 44100);
  CHECK(Number(quit, "zero") > 0);
  CHECK(Number(quit, "min") == 0);
  CHECK(Number(quit, "max") <= 4096 && Number(quit, "max") > 576);
  CHECK(IsInverted(in, "out.wav"));
  // A failing seed can be run again.
  const HostRun again = RunHost("--random-buffers 7 " + Plugin() + " in.wav");
  CHECK(Field(First(again, "quit"), "calls") == Field(quit, "calls"));
}

void Cycles() {
  const PcmAudio in = WriteInput("in.wav", 2, 22050);
  const HostRun run = RunHost("--cycles 3 " + Plugin() + " in.wav out.wav");
  CHECK(run.exitCode == 0);
  for (const char* kind : {"header", "init", "quit", "detach"}) {
    CHECK(LinesOf(run, kind).size() == 3);
  }
  const std::vector<std::string> cycle = {"header", "getmodule", "getmodule", "getmodule",
                                          "init",   "modify",    "quit",      "detach"};
  std::vector<std::string> three;
  for (int i = 0; i < 3; ++i) three.insert(three.end(), cycle.begin(), cycle.end());
  CHECK(Kinds(run) == three);
  CHECK(run.Says("cycle 1 of 3: private "));
  CHECK(run.Says("cycle 3 of 3: private "));
  CHECK(IsInverted(in, "out.wav"));
}

// Claimed layouts other than the buffer's: the buffer has room for them.
void OddArguments() {
  const PcmAudio in = WriteInput("in.wav", 2, 44100);
  HostRun run = RunHost("--bits 24 --channels 6 --rate 0 " + Plugin() + " in.wav out.wav");
  CHECK(run.exitCode == 0);
  const std::string modify = First(run, "modify");
  CHECK(Field(modify, "bits") == "24" && Field(modify, "channels") == "6" &&
        Field(modify, "rate") == "0");
  CHECK(IsInverted(in, "out.wav"));  // 18 claimed bytes a frame cover the 4 real ones

  run = RunHost("--bits 8 --channels 1 " + Plugin() + " in.wav");
  CHECK(run.exitCode == 0);
  CHECK(Field(First(run, "modify"), "bits") == "8");
  CHECK(Field(First(run, "modify"), "rate") == "44100");

  // A write one byte past the claimed layout is reported.
  run = RunHost("--bits 24 --channels 6 " + Plugin() + " in.wav", "overrun");
  CHECK(run.exitCode == 2);
  CHECK(run.Says("error: ModifySamples wrote past the end of its 576-frame buffer (10368 bytes)"));
  CHECK(IndexOf(run, "quit") >= 0);
}

// Frames of a stereo file come back either inverted as they were, or as
// the inverted mono mix on both sides.
void ChangeChannels() {
  const PcmAudio in = WriteInput("in.wav", 2, 2 * 44100);
  HostRun run = RunHost("--change-channels " + Plugin() + " in.wav out.wav");
  CHECK(run.exitCode == 0);
  std::vector<std::string> channels;
  for (const std::string& line : LinesOf(run, "modify"))
    channels.push_back(Field(line, "channels"));
  const std::vector<std::string> expected = {"2", "1", "2", "1"};
  CHECK(channels == expected);
  PcmAudio out;
  CHECK(ReadPcm16("out.wav", &out) && out.samples.size() == in.samples.size());
  int64_t mono = 0, stereo = 0, wrong = 0;
  for (size_t f = 0; f + 1 < out.samples.size() && out.samples.size() == in.samples.size();
       f += 2) {
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
  CHECK(wrong == 0);
  CHECK(mono > 30000 && stereo > 30000);

  // A mono file duplicated to stereo and mixed back is unchanged.
  const PcmAudio single = WriteInput("mono.wav", 1, 2 * 44100);
  run = RunHost("--change-channels " + Plugin() + " mono.wav mono_out.wav");
  CHECK(run.exitCode == 0);
  CHECK(Field(LinesOf(run, "modify").at(1), "channels") == "2");
  CHECK(IsInverted(single, "mono_out.wav"));
}

void BrokenPlugins() {
  WriteInput("in.wav", 2, 4410);
  HostRun run = RunHost(Quoted(g_noExport) + " in.wav");
  CHECK(run.exitCode == 2);
  CHECK(run.Says("has no winampDSPGetHeader2 export"));

  run = RunHost("in.wav in.wav");
  CHECK(run.exitCode == 2);
  CHECK(run.Says("error: cannot load"));

  run = RunHost(Plugin() + " in.wav", "wrongversion");
  CHECK(run.exitCode == 2);
  CHECK(run.Says("error: header version 0x21, expected 0x20"));
  CHECK(IndexOf(run, "getmodule") < 0 && IndexOf(run, "detach") >= 0);

  run = RunHost(Plugin() + " in.wav", "initfail");
  CHECK(run.exitCode == 2);
  CHECK(run.Says("Init -> 1"));
  CHECK(IndexOf(run, "modify") < 0 && IndexOf(run, "quit") < 0 && IndexOf(run, "detach") >= 0);

  run = RunHost(Plugin() + " in.wav", "badcount");
  CHECK(run.exitCode == 2);
  CHECK(run.Says("error: ModifySamples returned 577 for 576 frames"));
  CHECK(IndexOf(run, "quit") >= 0);  // still shut down in order

  run = RunHost(Plugin() + " in.wav", "crash");
  CHECK(run.exitCode == 4);
  CHECK(run.Says("crashed: exception 0xc0000005"));
  CHECK(run.Says("host_test_plugin.dll"));
}

void HungQuit() {
  WriteInput("in.wav", 2, 4410);
  const HostRun run = RunHost("--timeout-ms 500 " + Plugin() + " in.wav", "hangquit");
  CHECK(run.exitCode == 3);
  CHECK(run.Says("Quit hung: no return within 500 ms"));
  CHECK(IndexOf(run, "quit") >= 0 && IndexOf(run, "detach") < 0);
}

void CloseWindow() {
  WriteInput("in.wav", 2, 44100);
  HostRun run = RunHost("--close-window-ms 0 " + Plugin() + " in.wav", "window");
  CHECK(run.exitCode == 0);
  CHECK(run.Says("sending WM_CLOSE to the plug-in window \"Host test plug-in window\""));
  CHECK(run.Says("the plug-in window is gone"));
  CHECK(IndexOf(run, "window_close") >= 0 && IndexOf(run, "window_close") < IndexOf(run, "quit"));

  run = RunHost("--close-window-ms 0 " + Plugin() + " in.wav");
  CHECK(run.exitCode == 2);
  CHECK(run.Says("error: the plug-in shows no window to close"));
}

void Usage() {
  HostRun run = RunHost("--help");
  CHECK(run.exitCode == 0);
  CHECK(run.Says("Usage: qlv_host [options] PLUGIN.dll [IN.wav [OUT.wav]]"));
  for (const char* args : {"", "--buffer 0 x.dll", "--misalign 6 x.dll", "--misalign 16 x.dll",
                           "--frobnicate x.dll", "--cycles x.dll", "a.dll b.wav c.wav d.wav"}) {
    run = RunHost(args);
    CHECK(run.exitCode == 1);
    CHECK(run.Says("error: "));
  }
  WriteText("bad.wav", "RIFF....WAVEnot really");
  run = RunHost(Plugin() + " bad.wav");
  CHECK(run.exitCode == 1);
  CHECK(run.Says("error: cannot read bad.wav"));
  CHECK(run.log.empty());  // the input is read before the plug-in is loaded
}

// Whether this process can make a window (wait_for_display.sh asks).
int WindowProbe() {
  HWND window = CreateWindowExA(0, "STATIC", "probe", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                nullptr, nullptr);
  if (!window) return 1;
  DestroyWindow(window);
  return 0;
}

struct Case {
  const char* name;
  std::function<void()> run;
};

const Case kCases[] = {
    {"default", DefaultRun},
    {"choices", Choices},
    {"prefs", Prefs},
    {"config_only", ConfigOnly},
    {"config_after_init", ConfigAfterInit},
    {"misalign_0", [] { Misalign(0); }},
    {"misalign_4", [] { Misalign(4); }},
    {"misalign_8", [] { Misalign(8); }},
    {"misalign_12", [] { Misalign(12); }},
    {"buffer_1", BufferOfOne},
    {"random_buffers", RandomBuffers},
    {"cycles", Cycles},
    {"odd_arguments", OddArguments},
    {"change_channels", ChangeChannels},
    {"broken_plugins", BrokenPlugins},
    {"hung_quit", HungQuit},
    {"close_window", CloseWindow},
    {"usage", Usage},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::printf("usage: qlv_host_tests CASE HOST.exe TEST_PLUGIN.dll NOEXPORT.dll\n");
    return 2;
  }
  if (std::strcmp(argv[1], "window_probe") == 0) return WindowProbe();
  g_host = FullPath(argv[2]);
  g_plugin = FullPath(argv[3]);
  g_noExport = FullPath(argv[4]);
  for (const Case& c : kCases) {
    if (std::strcmp(c.name, argv[1]) != 0) continue;
    c.run();
    std::printf("%s: %s\n", c.name, g_failures ? "FAILED" : "passed");
    return g_failures ? 1 : 0;
  }
  std::printf("unknown case %s\n", argv[1]);
  return 2;
}
