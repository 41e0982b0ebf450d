// SPDX-License-Identifier: GPL-2.0-or-later
// The watchdog thread: polls the armed calls and ends the process with
// exit code 3 when one runs past the timeout.
#include "tools/host/watchdog.h"

#include <windows.h>

#include <atomic>
#include <cstdio>

namespace {

std::atomic<const char*> g_what[kWatchSlots];
std::atomic<DWORD> g_since[kWatchSlots];
DWORD g_timeoutMs = 0;

DWORD WINAPI WatchThread(LPVOID) {
  for (;;) {
    Sleep(20);
    const DWORD now = GetTickCount();
    for (int i = 0; i < kWatchSlots; ++i) {
      const char* what = g_what[i].load();
      if (!what || now - g_since[i].load() <= g_timeoutMs) continue;
      // WriteFile, not stdio: the hung thread may hold the CRT's stream lock.
      char line[200];
      const int n = std::snprintf(line, sizeof line, "%s hung: no return within %lu ms\n", what,
                                  static_cast<unsigned long>(g_timeoutMs));
      DWORD written = 0;
      WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(n), &written, nullptr);
      TerminateProcess(GetCurrentProcess(), 3);
    }
  }
}

}  // namespace

void StartWatchdog(unsigned timeoutMs) {
  g_timeoutMs = timeoutMs;
  if (timeoutMs == 0) return;
  HANDLE thread = CreateThread(nullptr, 0, WatchThread, nullptr, 0, nullptr);
  if (thread) CloseHandle(thread);
}

void ArmWatchdog(WatchSlot slot, const char* what) {
  g_since[slot].store(GetTickCount());
  g_what[slot].store(what);
}

void DisarmWatchdog(WatchSlot slot) { g_what[slot].store(nullptr); }
