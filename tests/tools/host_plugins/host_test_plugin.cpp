// SPDX-License-Identifier: GPL-2.0-or-later
// A DSP plug-in for testing qlv_host: logs each call it gets, with the stack
// offset it was entered with, and inverts the samples (bitwise NOT of every
// claimed byte). QLV_TEST_LOG names the log file; QLV_TEST_MODE lists
// comma-separated misbehaviours and extras:
//   wrongversion initfail badcount overrun crash hangquit eager window
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "plugin/dsp_interface.h"
#include "tools/host/stack_thunk.h"

namespace {

HINSTANCE g_self = nullptr;
CRITICAL_SECTION g_logLock;
char g_logPath[MAX_PATH];
char g_mode[256];

DWORD g_initThread = 0;
bool g_initialized = false;

// ModifySamples since Init.
struct Stats {
  long long calls = 0, frames = 0, zero = 0, onInitThread = 0;
  int min = -1, max = -1;
  unsigned offsets = 0;  // bit n: entered with offset n
  int bits = -1, channels = -1, rate = -1;
} g_stats;

HANDLE g_uiThread = nullptr;
DWORD g_uiThreadId = 0;
HANDLE g_windowReady = nullptr;
const char kWindowClass[] = "QlvHostTestPluginWindow";
int* volatile g_nowhere = nullptr;  // for the "crash" mode, opaque to the compiler

bool Mode(const char* word) {
  const size_t n = std::strlen(word);
  for (const char* p = g_mode; (p = std::strstr(p, word)) != nullptr; p += n) {
    const bool starts = p == g_mode || p[-1] == ',';
    if (starts && (p[n] == '\0' || p[n] == ',')) return true;
  }
  return false;
}

__attribute__((format(gnu_printf, 1, 2))) void Log(const char* format, ...) {
  if (!g_logPath[0]) return;
  EnterCriticalSection(&g_logLock);
  if (std::FILE* f = std::fopen(g_logPath, "a")) {
    va_list args;
    va_start(args, format);
    std::vfprintf(f, format, args);
    va_end(args);
    std::fputc('\n', f);
    std::fclose(f);
  }
  LeaveCriticalSection(&g_logLock);
}

std::string OffsetList(unsigned mask) {
  std::string list;
  for (int i = 0; i < 16; ++i) {
    if (!(mask & (1u << i))) continue;
    if (!list.empty()) list += ",";
    list += std::to_string(i);
  }
  return list.empty() ? "none" : list;
}

const char* ParentKind(HWND parent) {
  if (!parent) return "null";
  return IsWindow(parent) ? "window" : "invalid";
}

DWORD WINAPI IdleThread(LPVOID) {
  Sleep(INFINITE);
  return 0;
}

// ---- The "window" extra: a control window on a thread of its own.

LRESULT CALLBACK TestWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  static bool logged = false;
  if (!logged) {
    logged = true;
    Log("window_proc offset=%d", StackOffsetOf(&window));
  }
  if (message == WM_CLOSE) {
    Log("window_close");
    DestroyWindow(window);
    return 0;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

DWORD WINAPI UiThread(LPVOID param) {
  Log("thread_proc offset=%d", StackOffsetOf(&param));
  WNDCLASSA wc{};
  wc.lpfnWndProc = TestWindowProc;
  wc.hInstance = g_self;
  wc.lpszClassName = kWindowClass;
  RegisterClassA(&wc);
  HWND window =
      CreateWindowExA(0, kWindowClass, "Host test plug-in window", WS_OVERLAPPEDWINDOW,
                      CW_USEDEFAULT, CW_USEDEFAULT, 240, 100, nullptr, nullptr, g_self, nullptr);
  ShowWindow(window, SW_SHOWNOACTIVATE);
  SetEvent(g_windowReady);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  if (IsWindow(window)) DestroyWindow(window);
  // Classes outlive the DLL unless unregistered.
  UnregisterClassA(kWindowClass, g_self);
  return 0;
}

// ---- The module's entries

extern DspModule g_modules[2];

void QLV_CDECL Config(DspModule* module) {
  Log("config offset=%d initialized=%d on_init_thread=%d", StackOffsetOf(&module),
      g_initialized ? 1 : 0, GetCurrentThreadId() == g_initThread ? 1 : 0);
}

int QLV_CDECL Init(DspModule* module) {
  g_stats = Stats{};
  g_initThread = GetCurrentThreadId();
  g_initialized = true;
  Log("init offset=%d module=%d instance_ok=%d parent=%s parent_visible=%d", StackOffsetOf(&module),
      static_cast<int>(module - g_modules), module->instance == g_self ? 1 : 0,
      ParentKind(module->parent), module->parent && IsWindowVisible(module->parent) ? 1 : 0);
  if (Mode("initfail")) return 1;
  if (Mode("window")) {
    // Init returns with the window shown, so a host can find it at once.
    g_windowReady = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_uiThread = CreateThread(nullptr, 0, UiThread, nullptr, 0, &g_uiThreadId);
    WaitForSingleObject(g_windowReady, INFINITE);
  }
  return 0;
}

int QLV_CDECL ModifySamples(DspModule* module, short* samples, int frames, int bits, int channels,
                            int rate) {
  Stats& s = g_stats;
  s.offsets |= 1u << StackOffsetOf(&module);
  ++s.calls;
  s.frames += frames;
  if (frames == 0) ++s.zero;
  if (GetCurrentThreadId() == g_initThread) ++s.onInitThread;
  if (s.min < 0 || frames < s.min) s.min = frames;
  if (frames > s.max) s.max = frames;
  if (bits != s.bits || channels != s.channels || rate != s.rate) {
    s.bits = bits;
    s.channels = channels;
    s.rate = rate;
    Log("modify frames=%d bits=%d channels=%d rate=%d offset=%d", frames, bits, channels, rate,
        StackOffsetOf(&module));
  }
  if (Mode("crash")) *g_nowhere = 1;
  if (frames > 0 && bits > 0 && channels > 0) {
    const size_t bytes = static_cast<size_t>(frames) * channels * ((bits + 7) / 8);
    auto* p = reinterpret_cast<unsigned char*>(samples);
    for (size_t i = 0; i < bytes; ++i) p[i] = static_cast<unsigned char>(~p[i]);
    if (Mode("overrun")) p[bytes] ^= 0xFF;
  }
  return Mode("badcount") ? frames + 1 : frames;
}

void QLV_CDECL Quit(DspModule* module) {
  const Stats& s = g_stats;
  Log("quit offset=%d calls=%lld frames=%lld zero=%lld min=%d max=%d modify_offsets=%s "
      "on_init_thread=%lld",
      StackOffsetOf(&module), s.calls, s.frames, s.zero, s.min, s.max,
      OffsetList(s.offsets).c_str(), s.onInitThread);
  if (Mode("hangquit")) Sleep(INFINITE);
  if (g_uiThread) {
    PostThreadMessageA(g_uiThreadId, WM_QUIT, 0, 0);
    WaitForSingleObject(g_uiThread, INFINITE);
    CloseHandle(g_uiThread);
    CloseHandle(g_windowReady);
    g_uiThread = nullptr;
  }
  g_initialized = false;
}

DspModule g_modules[2] = {
    {"Host test plug-in: invert", nullptr, nullptr, Config, Init, ModifySamples, Quit, nullptr},
    {"Host test plug-in: second", nullptr, nullptr, Config, Init, ModifySamples, Quit, nullptr},
};

DspModule* QLV_CDECL GetModule(int index) {
  DspModule* m = index >= 0 && index < 2 ? &g_modules[index] : nullptr;
  Log("getmodule index=%d offset=%d result=%s", index, StackOffsetOf(&index),
      m ? "module" : "null");
  return m;
}

DspHeader g_header = {kDspHeaderVersion, "Host test plug-in", GetModule};

}  // namespace

// Called by the assembly export with esp as it was at the host's call.
extern "C" DspHeader* TestPluginHeader(uintptr_t callerEsp) {
  Log("header offset=%d", static_cast<int>((0u - callerEsp) & 15u));
  g_header.version = Mode("wrongversion") ? 0x21 : kDspHeaderVersion;
  if (Mode("eager")) {
    // The fault a preferences page must not meet: work started on load.
    if (HANDLE t = CreateThread(nullptr, 0, IdleThread, nullptr, 0, nullptr)) CloseHandle(t);
    Log("eager_thread");
  }
  return &g_header;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_self = instance;
    DisableThreadLibraryCalls(instance);
    InitializeCriticalSection(&g_logLock);
    const DWORD n = GetEnvironmentVariableA("QLV_TEST_LOG", g_logPath, MAX_PATH);
    if (n >= MAX_PATH) g_logPath[0] = '\0';
    const DWORD m = GetEnvironmentVariableA("QLV_TEST_MODE", g_mode, sizeof g_mode);
    if (m >= sizeof g_mode) g_mode[0] = '\0';
  } else if (reason == DLL_PROCESS_DETACH && !reserved) {
    // Only on FreeLibrary: shows that the host really unloaded us.
    Log("detach");
    DeleteCriticalSection(&g_logLock);
  }
  return TRUE;
}
