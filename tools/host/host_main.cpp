// SPDX-License-Identifier: GPL-2.0-or-later
// qlv_host: loads a DSP plug-in DLL the way the player does and streams a
// WAV file through it from an audio thread of its own (see --help).
#include <windows.h>
// After windows.h, which they need.
#include <commctrl.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "plugin/dsp_interface.h"
#include "tools/host/host_options.h"
#include "tools/host/stack_thunk.h"
#include "tools/host/watchdog.h"
#include "tools/wav_io.h"

namespace {

enum ExitCode { kOk = 0, kUsageError = 1, kPluginError = 2, kCrashed = 4 };

constexpr int kMaxModules = 64;
constexpr size_t kGuardBytes = 64;
constexpr unsigned char kGuardByte = 0xA5;

HostOptions g_opt;
HWND g_hostWindow = nullptr;
std::atomic<bool> g_stop{false};
std::atomic<unsigned> g_windowProcOffsets{0};  // bit n: ran with offset n

__attribute__((format(gnu_printf, 1, 2))) void Say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

const char* Text(const char* s) { return s ? s : "(null)"; }

std::string OffsetList(unsigned mask) {
  std::string list;
  for (int i = 0; i < 16; ++i) {
    if (!(mask & (1u << i))) continue;
    if (!list.empty()) list += ", ";
    list += std::to_string(i);
  }
  return list.empty() ? "none" : list;
}

template <typename T>
T* AsPointer(uint32_t word) {
  return reinterpret_cast<T*>(static_cast<uintptr_t>(word));
}

// Every call into the plug-in: on the stack the options ask for, watched.
template <typename F, typename... A>
uint32_t PluginCall(WatchSlot slot, const char* what, F* fn, A... args) {
  ArmWatchdog(slot, what);
  const uint32_t result = CallWithOffset(g_opt.misalign, fn, args...);
  DisarmWatchdog(slot);
  return result;
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS* info) {
  const void* at = info->ExceptionRecord->ExceptionAddress;
  char module[MAX_PATH] = "no loaded module";
  HMODULE owner = nullptr;
  if (GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<const char*>(at), &owner)) {
    GetModuleFileNameA(owner, module, MAX_PATH);
  }
  // WriteFile: the crashed thread may hold the CRT's stream lock.
  char line[MAX_PATH + 100];
  const int n = std::snprintf(line, sizeof line, "crashed: exception 0x%08lx at %p in %s\n",
                              info->ExceptionRecord->ExceptionCode, at, module);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(n), &written, nullptr);
  TerminateProcess(GetCurrentProcess(), kCrashed);
  return EXCEPTION_EXECUTE_HANDLER;
}

BOOL WINAPI OnConsoleCtrl(DWORD) {
  g_stop = true;
  return TRUE;
}

// ---- Messages and waiting

void PumpMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    // WM_QUIT (ours from --post-quit, or the plug-in's) does not end the host.
    if (msg.message == WM_QUIT) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

// Pumps until `handle` is signalled (true) or `ms` pass (false); tick() runs
// between waits.
template <typename Tick>
bool PumpWait(HANDLE handle, DWORD ms, Tick tick) {
  const ULONGLONG end = ms == INFINITE ? ~0ull : GetTickCount64() + ms;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    if (now >= end) return false;
    const DWORD slice = static_cast<DWORD>(std::min<ULONGLONG>(end - now, 20));
    const DWORD r = MsgWaitForMultipleObjects(handle ? 1 : 0, &handle, FALSE, slice, QS_ALLINPUT);
    if (handle && r == WAIT_OBJECT_0) return true;
    PumpMessages();
    tick();
  }
}

bool PumpWait(HANDLE handle, DWORD ms) {
  return PumpWait(handle, ms, [] {});
}

// ---- Threads and windows of this process

int CountThreads() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  const DWORD pid = GetCurrentProcessId();
  int count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = Thread32First(snapshot, &entry); ok; ok = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == pid) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

struct WindowSearch {
  DWORD pid;
  int count = 0;
  HWND first = nullptr;
};

BOOL CALLBACK VisitWindow(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<WindowSearch*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid == search->pid && window != g_hostWindow && IsWindowVisible(window)) {
    if (!search->first) search->first = window;
    ++search->count;
  }
  return TRUE;
}

// Visible top-level windows of this process other than the host's.
WindowSearch FindOwnWindows() {
  WindowSearch search{GetCurrentProcessId()};
  EnumWindows(VisitWindow, reinterpret_cast<LPARAM>(&search));
  return search;
}

// Read without sending WM_GETTEXT, which could block on the plug-in's thread.
std::string WindowTitle(HWND window) {
  wchar_t wide[256] = {};
  InternalGetWindowText(window, wide, 256);
  char narrow[512] = {};
  WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, sizeof narrow, nullptr, nullptr);
  return narrow;
}

struct Census {
  int threads;
  int windows;
};

Census TakeCensus() { return {CountThreads(), FindOwnWindows().count}; }

// --prefs and --config-only must leave nothing running.
int CheckNothingStarted(const Census& before, const char* when) {
  const Census now = TakeCensus();
  int rc = kOk;
  if (now.threads > before.threads) {
    Say("error: the plug-in started %d thread(s) %s", now.threads - before.threads, when);
    rc = kPluginError;
  }
  if (now.windows > before.windows) {
    Say("error: the plug-in left %d visible window(s) %s", now.windows - before.windows, when);
    rc = kPluginError;
  }
  return rc;
}

void SayMemory(int cycle) {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(),
                            reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                            sizeof counters)) {
    Say("cycle %d of %d: memory unknown", cycle, g_opt.cycles);
    return;
  }
  // Wine leaves PrivateUsage at 0; the commit charge is the same figure.
  const SIZE_T privateBytes =
      counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage;
  Say("cycle %d of %d: private %.2f MB, working set %.2f MB", cycle, g_opt.cycles,
      privateBytes / 1048576.0, counters.WorkingSetSize / 1048576.0);
}

// ---- The host window

LRESULT HostWindowBody(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  g_windowProcOffsets.fetch_or(1u << StackOffsetOf(&window));
  if (message == WM_CLOSE) {
    if (!g_stop.exchange(true)) Say("host window closed: stopping the stream");
    return 0;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return static_cast<LRESULT>(
      CallWithOffset(g_opt.misalign, &HostWindowBody, window, message, wparam, lparam));
}

HWND CreateHostWindow() {
  HINSTANCE self = GetModuleHandleA(nullptr);
  WNDCLASSA wc{};
  wc.lpfnWndProc = HostWindowProc;
  wc.hInstance = self;
  wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
  wc.lpszClassName = "QlvHostWindow";
  if (!RegisterClassA(&wc)) return nullptr;
  HWND window = CreateWindowExA(0, wc.lpszClassName, "qlv_host", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, 360, 120, nullptr, nullptr, self, nullptr);
  if (window && !g_opt.hiddenParent) ShowWindow(window, SW_SHOWNOACTIVATE);
  return window;
}

// ---- Loading

struct Plugin {
  HMODULE dll = nullptr;
  DspHeader* header = nullptr;
  DspModule* module = nullptr;
};

// The player's sequence up to the module: LoadLibrary, the header, then
// every module (listAll) or only the chosen one.
int LoadPlugin(Plugin* p, bool listAll) {
  ArmWatchdog(kMainSlot, "LoadLibrary");
  p->dll = LoadLibraryA(g_opt.plugin.c_str());
  const DWORD error = GetLastError();
  DisarmWatchdog(kMainSlot);
  if (!p->dll) {
    Say("error: cannot load %s (Windows error %lu)", g_opt.plugin.c_str(), error);
    return kPluginError;
  }
  Say("loaded %s", g_opt.plugin.c_str());
  const FARPROC proc = GetProcAddress(p->dll, "winampDSPGetHeader2");
  if (!proc) {
    Say("error: %s has no winampDSPGetHeader2 export", g_opt.plugin.c_str());
    return kPluginError;
  }
  const auto getHeader = reinterpret_cast<DspGetHeaderFn>(reinterpret_cast<void*>(proc));
  p->header = AsPointer<DspHeader>(PluginCall(kMainSlot, "winampDSPGetHeader2", getHeader));
  if (!p->header) {
    Say("error: winampDSPGetHeader2 returned null");
    return kPluginError;
  }
  Say("header version 0x%x: %s", p->header->version, Text(p->header->description));
  if (p->header->version != kDspHeaderVersion) {
    Say("error: header version 0x%x, expected 0x%x", p->header->version, kDspHeaderVersion);
    return kPluginError;
  }
  if (!p->header->GetModule) {
    Say("error: the header has no GetModule");
    return kPluginError;
  }
  if (!listAll) {
    p->module = AsPointer<DspModule>(
        PluginCall(kMainSlot, "GetModule", p->header->GetModule, g_opt.module));
    if (p->module) Say("module %d: %s", g_opt.module, Text(p->module->description));
  } else {
    int count = 0;
    for (; count < kMaxModules; ++count) {
      auto* m =
          AsPointer<DspModule>(PluginCall(kMainSlot, "GetModule", p->header->GetModule, count));
      if (!m) break;
      Say("module %d: %s", count, Text(m->description));
      if (count == g_opt.module) p->module = m;
    }
    if (count == kMaxModules) {
      Say("stopped listing after %d modules", kMaxModules);
    } else {
      Say("GetModule(%d) -> null: %d module(s)", count, count);
    }
    if (g_opt.mode == HostMode::kPrefs) return kOk;
  }
  if (!p->module) {
    Say("error: there is no module %d", g_opt.module);
    return kPluginError;
  }
  return kOk;
}

void FreePlugin(Plugin* p) {
  if (!p->dll) return;
  ArmWatchdog(kMainSlot, "FreeLibrary");
  FreeLibrary(p->dll);
  DisarmWatchdog(kMainSlot);
  p->dll = nullptr;
  Say("freed");
}

// ---- Streaming on the audio thread

struct Stream {
  DspModule* module = nullptr;
  const PcmAudio* in = nullptr;
  PcmAudio* out = nullptr;
  int64_t buffers = 0, empty = 0, frames = 0;
  double wallSeconds = 0, pluginSeconds = 0, slowestCall = 0;
  double busiestCall = 0;  // the most CPU one call took, by the Linux thread clock
  double processStart = -1, processEnd = -1;  // the Linux process clock around the stream
  int stackOffset = -1;
  int failure = kOk;
  std::string message;
};

double Now() {
  static const double period = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return 1.0 / static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) * period;
}

// Under Wine, a Linux clock read through the i386 system-call gate (clock
// 3 this thread's CPU, 2 the process's, every thread of it): Windows'
// thread times advance in 10 ms steps there. -1 elsewhere.
double LinuxCpuSeconds(int clock) {
#if defined(__i386__)
  static const bool wine =
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
  if (!wine) return -1;
  int32_t t[2] = {0, 0};
  int32_t result;
  asm volatile("int $0x80" : "=a"(result) : "a"(265), "b"(clock), "c"(t) : "memory");
  return result == 0 ? t[0] + 1e-9 * t[1] : -1;
#else
  (void)clock;
  return -1;
#endif
}

// The buffer's channel count at a stream position.
int BufferChannels(const PcmAudio& in, int64_t position) {
  if (!g_opt.changeChannels) return in.channels;
  const int64_t half = std::max(1, in.rate / 2);
  return (position / half) % 2 == 0 ? in.channels : 3 - in.channels;
}

int NextBufferFrames(std::mt19937* random) {
  if (!g_opt.randomBuffers) return g_opt.buffer;
  if ((*random)() % 8 == 0) return 0;
  return 1 + static_cast<int>((*random)() % 4096);
}

// Frames of the file into the buffer's layout, and back.
void FillBuffer(const PcmAudio& in, int64_t position, int frames, int channels, int16_t* buffer) {
  const int16_t* src = in.samples.data() + position * in.channels;
  if (channels == in.channels) {
    std::copy(src, src + static_cast<size_t>(frames) * channels, buffer);
  } else if (channels == 1) {
    for (int f = 0; f < frames; ++f)
      buffer[f] = static_cast<int16_t>((src[2 * f] + src[2 * f + 1]) >> 1);
  } else {
    for (int f = 0; f < frames; ++f) buffer[2 * f] = buffer[2 * f + 1] = src[f];
  }
}

void DrainBuffer(const int16_t* buffer, int frames, int channels, int64_t position, PcmAudio* out) {
  int16_t* dst = out->samples.data() + position * out->channels;
  if (channels == out->channels) {
    std::copy(buffer, buffer + static_cast<size_t>(frames) * channels, dst);
  } else if (channels == 1) {
    for (int f = 0; f < frames; ++f) dst[2 * f] = dst[2 * f + 1] = buffer[f];
  } else {
    for (int f = 0; f < frames; ++f)
      dst[f] = static_cast<int16_t>((buffer[2 * f] + buffer[2 * f + 1]) >> 1);
  }
}

size_t ClaimedBytes(int frames, int channels, int bits) {
  return static_cast<size_t>(frames) * channels * ((bits + 7) / 8);
}

uint32_t AudioThreadBody(Stream* s) {
  s->stackOffset = StackOffsetOf(&s);
  const PcmAudio& in = *s->in;
  const int64_t total = in.Frames();
  const int maxFrames = g_opt.randomBuffers ? 4096 : g_opt.buffer;
  const int maxChannels = g_opt.channels >= 0 ? g_opt.channels : 2;
  // The player's buffers have room for twice the frames; the guard after
  // the claimed bytes catches a plug-in writing past them.
  const size_t frameBytes = std::max<size_t>(ClaimedBytes(1, maxChannels, g_opt.bits), 4);
  std::vector<unsigned char> memory(2 * maxFrames * frameBytes + kGuardBytes);
  auto* buffer = reinterpret_cast<int16_t*>(memory.data());
  std::mt19937 random(g_opt.seed);
  const double start = Now();
  s->processStart = LinuxCpuSeconds(2);
  int64_t position = 0;
  while (position < total && !g_stop) {
    const int frames =
        static_cast<int>(std::min<int64_t>(NextBufferFrames(&random), total - position));
    const int channels = BufferChannels(in, position);
    FillBuffer(in, position, frames, channels, buffer);
    const int claimedChannels = g_opt.channels >= 0 ? g_opt.channels : channels;
    const bool later =
        g_opt.rateFrom >= 0 && position * 1000 >= int64_t{g_opt.rateFromMs} * in.rate;
    const int rate = later ? g_opt.rateFrom : g_opt.rate >= 0 ? g_opt.rate : in.rate;
    const size_t used = std::max(ClaimedBytes(frames, claimedChannels, g_opt.bits),
                                 ClaimedBytes(frames, channels, 16));
    std::fill(memory.begin() + used, memory.begin() + used + kGuardBytes, kGuardByte);
    const double before = Now(), cpuBefore = LinuxCpuSeconds(3);
    const int returned =
        static_cast<int>(PluginCall(kAudioSlot, "ModifySamples", s->module->ModifySamples,
                                    s->module, buffer, frames, g_opt.bits, claimedChannels, rate));
    if (cpuBefore >= 0) s->busiestCall = std::max(s->busiestCall, LinuxCpuSeconds(3) - cpuBefore);
    s->pluginSeconds += Now() - before;
    s->slowestCall = std::max(s->slowestCall, Now() - before);
    if (returned != frames) {
      s->failure = kPluginError;
      s->message = "ModifySamples returned " + std::to_string(returned) + " for " +
                   std::to_string(frames) + " frames";
      break;
    }
    if (std::any_of(memory.begin() + used, memory.begin() + used + kGuardBytes,
                    [](unsigned char b) { return b != kGuardByte; })) {
      s->failure = kPluginError;
      s->message = "ModifySamples wrote past the end of its " + std::to_string(frames) +
                   "-frame buffer (" + std::to_string(used) + " bytes)";
      break;
    }
    DrainBuffer(buffer, frames, channels, position, s->out);
    position += frames;
    ++s->buffers;
    if (frames == 0) ++s->empty;
    if (g_opt.realtime) {
      const double ahead = static_cast<double>(position) / in.rate - (Now() - start);
      if (ahead > 0.001) Sleep(static_cast<DWORD>(ahead * 1000));
    }
  }
  s->frames = position;
  s->wallSeconds = Now() - start;
  s->processEnd = LinuxCpuSeconds(2);
  return 0;
}

DWORD WINAPI AudioThreadEntry(LPVOID param) {
  return CallWithOffset(g_opt.misalign, &AudioThreadBody, static_cast<Stream*>(param));
}

uint32_t ConfigThreadBody(DspModule* module) {
  PluginCall(kConfigSlot, "Config", module->Config, module);
  return 0;
}

DWORD WINAPI ConfigThreadEntry(LPVOID param) {
  return CallWithOffset(g_opt.misalign, &ConfigThreadBody, static_cast<DspModule*>(param));
}

double FileTimeSeconds(const FILETIME& t) {
  return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) /
         1e7;
}

// --close-window-ms: WM_CLOSE to the plug-in's window, as a person would.
int ClosePluginWindow(HWND* closed) {
  const HWND window = FindOwnWindows().first;
  if (!window) {
    Say("error: the plug-in shows no window to close");
    return kPluginError;
  }
  Say("sending WM_CLOSE to the plug-in window \"%s\"", WindowTitle(window).c_str());
  PostMessageA(window, WM_CLOSE, 0, 0);
  *closed = window;
  return kOk;
}

// A slider dragged with the mouse, one step a pump tick: the thumb moves
// from its minimum to its maximum over a second, the window told of each
// position as a drag tells it, then of the drag's end.
struct Drag {
  HWND slider = nullptr;
  ULONGLONG from = 0;
  LRESULT low = 0, high = 0;

  void Begin(HWND control, ULONGLONG now) {
    slider = control;
    from = now;
    low = SendMessageA(control, TBM_GETRANGEMIN, 0, 0);
    high = SendMessageA(control, TBM_GETRANGEMAX, 0, 0);
  }
  void Step(ULONGLONG now) {
    if (!slider) return;
    const ULONGLONG t = std::min<ULONGLONG>(now - from, 1000);
    const auto pos = static_cast<WPARAM>(low + (high - low) * static_cast<LONGLONG>(t) / 1000);
    const HWND parent = GetParent(slider);
    const auto handle = reinterpret_cast<LPARAM>(slider);
    PostMessageA(slider, TBM_SETPOS, TRUE, static_cast<LPARAM>(pos));
    PostMessageA(parent, WM_HSCROLL, MAKEWPARAM(TB_THUMBTRACK, pos), handle);
    if (t < 1000) return;
    PostMessageA(parent, WM_HSCROLL, MAKEWPARAM(TB_ENDTRACK, 0), handle);
    slider = nullptr;
  }
};

int RunStream(Stream* s) {
  g_stop = false;
  HANDLE thread = CreateThread(nullptr, 0, AudioThreadEntry, s, 0, nullptr);
  if (!thread) {
    Say("error: cannot start the audio thread");
    return kUsageError;
  }
  int rc = kOk;
  bool closeDue = g_opt.closeWindowMs >= 0;
  HWND closed = nullptr;
  const ULONGLONG start = GetTickCount64();
  int clicked = 0;
  bool copyDue = g_opt.copyMs >= 0;
  Drag drag;
  PumpWait(thread, INFINITE, [&] {
    const ULONGLONG now = GetTickCount64() - start;
    if (closeDue && now >= static_cast<ULONGLONG>(g_opt.closeWindowMs)) {
      closeDue = false;
      rc = ClosePluginWindow(&closed);
    }
    if (copyDue && now >= static_cast<ULONGLONG>(g_opt.copyMs)) {
      copyDue = false;
      const bool copied = CopyFileA(g_opt.copyFrom.c_str(), g_opt.copyTo.c_str(), FALSE);
      Say("copying %s over %s%s", g_opt.copyFrom.c_str(), g_opt.copyTo.c_str(),
          copied ? "" : ": failed");
    }
    if (clicked < g_opt.clickCount && now >= static_cast<ULONGLONG>(g_opt.clicks[clicked].ms)) {
      const HostOptions::Click& click = g_opt.clicks[clicked++];
      const HWND control = GetDlgItem(FindOwnWindows().first, click.control);
      Say("%s control %d of the plug-in window%s", click.drag ? "dragging" : "clicking",
          click.control, control ? "" : ": not found");
      if (control && click.drag) drag.Begin(control, now);
      if (control && !click.drag) PostMessageA(control, BM_CLICK, 0, 0);
    }
    drag.Step(now);
  });
  if (closeDue) {
    Say("the stream ended before %d ms", g_opt.closeWindowMs);
    rc = ClosePluginWindow(&closed);
  }
  if (closed) {
    const ULONGLONG begin = GetTickCount64();
    const DWORD limit = g_opt.timeoutMs > 0 ? g_opt.timeoutMs : 10000;
    // Gone, or hidden for a while (a window is hidden on its way to being
    // destroyed, too).
    ULONGLONG hiddenSince = 0;
    while (IsWindow(closed) && GetTickCount64() - begin < limit) {
      if (IsWindowVisible(closed)) {
        hiddenSince = 0;
      } else if (!hiddenSince) {
        hiddenSince = GetTickCount64();
      } else if (GetTickCount64() - hiddenSince > 500) {
        break;
      }
      PumpWait(nullptr, 20);
    }
    if (!IsWindow(closed)) {
      Say("the plug-in window is gone");
    } else if (!IsWindowVisible(closed)) {
      Say("the plug-in window is hidden");
    } else {
      Say("warning: the plug-in window is still open %lu ms after WM_CLOSE",
          static_cast<unsigned long>(limit));
    }
  }

  FILETIME created, exited, kernel, user;
  const double cpu = GetThreadTimes(thread, &created, &exited, &kernel, &user)
                         ? FileTimeSeconds(kernel) + FileTimeSeconds(user)
                         : 0;
  CloseHandle(thread);
  const double audio = static_cast<double>(s->frames) / s->in->rate;
  Say("audio thread ran with stack offset %d", s->stackOffset);
  Say("streamed %.2f s of audio in %lld buffers (%lld empty)%s", audio,
      static_cast<long long>(s->buffers), static_cast<long long>(s->empty),
      s->frames < s->in->Frames() ? ", stopped early" : "");
  if (cpu > 0) {
    Say("speed: %.1f s of audio per CPU second of the audio thread (%.2f s CPU, counted in 10 ms "
        "steps under Wine)",
        audio / cpu, cpu);
  } else {
    Say("speed: the audio thread's CPU time is below Wine's 10 ms step");
  }
  Say("wall clock: %.1f s of audio per second (%.3f s streaming, %.3f s inside ModifySamples, "
      "the slowest call %.1f ms)",
      s->wallSeconds > 0 ? audio / s->wallSeconds : 0.0, s->wallSeconds, s->pluginSeconds,
      1e3 * s->slowestCall);
  if (s->processStart >= 0 && s->processEnd >= 0) {
    Say("Linux clocks: %.3f s CPU of the whole process while streaming, the busiest call %.3f ms "
        "of the audio thread's CPU",
        s->processEnd - s->processStart, 1e3 * s->busiestCall);
  }
  if (s->failure != kOk) {
    Say("error: %s", s->message.c_str());
    return s->failure;
  }
  return rc;
}

// ---- The three ways in

// Freeing a library whose thread or window lives on would crash the host
// and hide the report.
void FreeUnlessLeftOver(Plugin* p, int census) {
  if (census == kOk) {
    FreePlugin(p);
  } else {
    Say("not freed: what it left behind would run unloaded code");
  }
}

int PrefsCycle() {
  const Census before = TakeCensus();
  Plugin p;
  int rc = LoadPlugin(&p, true);
  if (p.dll && rc == kOk) {
    rc = CheckNothingStarted(before, "without Init");
    FreeUnlessLeftOver(&p, rc);
  } else {
    FreePlugin(&p);
  }
  return rc;
}

void FillModule(DspModule* m, HMODULE dll) {
  m->instance = dll;
  m->parent = g_opt.nullParent ? nullptr : g_hostWindow;
}

int ConfigOnlyCycle() {
  const Census before = TakeCensus();
  Plugin p;
  int rc = LoadPlugin(&p, false);
  if (rc == kOk && !p.module->Config) {
    Say("error: module %d has no Config", g_opt.module);
    rc = kPluginError;
  }
  if (rc == kOk) {
    FillModule(p.module, p.dll);
    PluginCall(kMainSlot, "Config", p.module->Config, p.module);
    Say("Config returned");
    rc = CheckNothingStarted(before, "in Config without Init");
    FreeUnlessLeftOver(&p, rc);
  } else {
    FreePlugin(&p);
  }
  return rc;
}

// A host that frees the library without Quit: the plug-in's window lives on
// and must keep its code; once it is closed, every thread the plug-in
// started must end.
int FreeWithoutQuit(Plugin* p, const Census& before, int rc) {
  ArmWatchdog(kMainSlot, "FreeLibrary");
  FreeLibrary(p->dll);
  DisarmWatchdog(kMainSlot);
  Say("freed without Quit");
  PumpWait(nullptr, 500);
  HWND closed = nullptr;
  if (ClosePluginWindow(&closed) != kOk) return kPluginError;
  const ULONGLONG begin = GetTickCount64();
  while (CountThreads() > before.threads && GetTickCount64() - begin < 10000) {
    PumpWait(nullptr, 50);
  }
  const int extra = CountThreads() - before.threads;
  if (extra > 0) {
    Say("error: %d thread(s) of the plug-in still running after its window closed", extra);
    return kPluginError;
  }
  Say("the plug-in's threads ended after its window closed");
  return rc;
}

int PlayCycle(const PcmAudio& in, PcmAudio* out) {
  const Census before = TakeCensus();
  Plugin p;
  int rc = LoadPlugin(&p, true);
  DspModule* m = p.module;
  if (rc == kOk && (!m->Init || !m->ModifySamples || !m->Quit)) {
    Say("error: module %d lacks Init, ModifySamples or Quit", g_opt.module);
    rc = kPluginError;
  }
  if (rc != kOk) {
    FreePlugin(&p);
    return rc;
  }
  FillModule(m, p.dll);
  const int init = static_cast<int>(PluginCall(kMainSlot, "Init", m->Init, m));
  Say("Init -> %d", init);
  if (init != 0) {
    // As the player does: no Quit for a module whose Init failed.
    Say("error: Init failed");
    FreePlugin(&p);
    return kPluginError;
  }
  HANDLE config = nullptr;
  if (g_opt.configAfterInit) {
    if (!m->Config) {
      Say("warning: module %d has no Config", g_opt.module);
    } else {
      config = CreateThread(nullptr, 0, ConfigThreadEntry, m, 0, nullptr);
      Say("Config called from another thread");
    }
  }
  if (g_opt.waitMs > 0) {
    Say("waiting %d ms", g_opt.waitMs);
    PumpWait(nullptr, g_opt.waitMs);
  }
  Stream stream;
  stream.module = m;
  stream.in = &in;
  stream.out = out;
  rc = RunStream(&stream);
  if (g_opt.holdMs > 0) {
    Say("holding %d ms", g_opt.holdMs);
    PumpWait(nullptr, g_opt.holdMs);
  }
  if (config) {
    PumpWait(config, INFINITE);  // the watchdog covers a hung Config
    CloseHandle(config);
    Say("Config returned on its thread");
  }
  if (rc == kOk && !g_opt.output.empty()) {
    if (WritePcm16(g_opt.output, *out)) {
      Say("wrote %s", g_opt.output.c_str());
    } else {
      Say("error: cannot write %s", g_opt.output.c_str());
      rc = kUsageError;
    }
  }
  if (g_opt.freeWithoutQuit) return FreeWithoutQuit(&p, before, rc);
  if (g_opt.postQuit) PostQuitMessage(0);
  // Quit, then FreeLibrary at once, as when the user picks another plug-in.
  PluginCall(kMainSlot, "Quit", m->Quit, m);
  ArmWatchdog(kMainSlot, "FreeLibrary");
  FreeLibrary(p.dll);
  DisarmWatchdog(kMainSlot);
  Say("Quit returned");
  Say("freed");
  const int extra = CountThreads() - before.threads;
  if (extra > 0) Say("warning: %d more thread(s) than before loading the plug-in", extra);
  return rc;
}

PcmAudio GeneratedInput() {
  PcmAudio audio;
  audio.channels = 2;
  audio.rate = 44100;
  const int64_t frames = std::llround(g_opt.seconds * audio.rate);
  audio.samples.resize(static_cast<size_t>(frames) * 2);
  const double step = 2 * 3.14159265358979 / audio.rate;
  for (int64_t f = 0; f < frames; ++f) {
    audio.samples[2 * f] = static_cast<int16_t>(8000 * std::sin(step * 440 * f));
    audio.samples[2 * f + 1] = static_cast<int16_t>(8000 * std::sin(step * 660 * f));
  }
  return audio;
}

}  // namespace

int main(int argc, char** argv) {
  // No crash dialog that would wait for a person: report and exit instead.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(OnCrash);
  std::string error;
  if (!ParseHostOptions(argc, argv, &g_opt, &error)) {
    Say("error: %s", error.c_str());
    Say("qlv_host --help prints the usage");
    return kUsageError;
  }
  if (g_opt.help) {
    std::fputs(HostUsage(), stdout);
    return kOk;
  }
  // Backslashes and a full path, as the player passes them.
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(g_opt.plugin.c_str(), MAX_PATH, full, nullptr);
  if (length > 0 && length < MAX_PATH) g_opt.plugin = full;

  PcmAudio in;
  if (g_opt.mode == HostMode::kPlay) {
    if (g_opt.input.empty()) {
      in = GeneratedInput();
      Say("input: %.2f s of generated stereo tone at 44100 Hz", g_opt.seconds);
    } else if (ReadPcm16(g_opt.input, &in)) {
      Say("input %s: %d channel(s), %d Hz, %.2f s", g_opt.input.c_str(), in.channels, in.rate,
          static_cast<double>(in.Frames()) / in.rate);
    } else {
      Say("error: cannot read %s as a 16-bit PCM mono or stereo WAV file", g_opt.input.c_str());
      return kUsageError;
    }
    if (in.rate <= 0) {
      Say("error: the input has no sample rate");
      return kUsageError;
    }
  }
  PcmAudio out = in;

  StartWatchdog(static_cast<unsigned>(g_opt.timeoutMs));
  SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
  g_hostWindow = CreateHostWindow();
  if (!g_hostWindow && !g_opt.nullParent) {
    Say("error: cannot create the host window: no display (run under xvfb-run), or Wine's "
        "desktop process started without one and still runs (wait for it to end)");
    return kUsageError;
  }
  if (g_opt.nullParent) {
    Say("parent window: null");
  } else {
    Say("parent window: %p (%s)", static_cast<void*>(g_hostWindow),
        g_opt.hiddenParent ? "hidden" : "visible");
  }
  Say("calls into the plug-in with stack offset %d", g_opt.misalign);

  int rc = kOk;
  for (int cycle = 1; cycle <= g_opt.cycles && rc == kOk && !g_stop; ++cycle) {
    switch (g_opt.mode) {
      case HostMode::kPrefs:
        rc = PrefsCycle();
        break;
      case HostMode::kConfigOnly:
        rc = ConfigOnlyCycle();
        break;
      case HostMode::kPlay:
        rc = PlayCycle(in, &out);
        break;
    }
    SayMemory(cycle);
  }
  if (g_hostWindow) {
    Say("host window procedure ran with stack offset(s) %s",
        OffsetList(g_windowProcOffsets.load()).c_str());
    DestroyWindow(g_hostWindow);
  }
  if (rc == kOk) {
    Say("done");
  } else {
    Say("failed (exit code %d)", rc);
  }
  return rc;
}
