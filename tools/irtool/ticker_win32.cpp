// SPDX-License-Identifier: GPL-2.0-or-later
// Ticker on a Win32 thread: the product's runtime has no std::thread, and
// the program must run on Windows XP.
#include <windows.h>

#include "tools/irtool/ticker.h"

struct Ticker::State {
  CRITICAL_SECTION output;  // held by each tick and by Locked
  HANDLE stop = nullptr;    // event: set when the ticks are to end
  HANDLE thread = nullptr;
  DWORD periodMs = 1000;
  std::function<void()> tick;
};

namespace {

DWORD WINAPI Tick(void* argument) {
  auto* s = static_cast<Ticker::State*>(argument);
  while (WaitForSingleObject(s->stop, s->periodMs) == WAIT_TIMEOUT) {
    EnterCriticalSection(&s->output);
    s->tick();
    LeaveCriticalSection(&s->output);
  }
  return 0;
}

}  // namespace

Ticker::Ticker() : state_(new State) { InitializeCriticalSection(&state_->output); }

Ticker::~Ticker() {
  Stop();
  DeleteCriticalSection(&state_->output);
}

bool Ticker::Start(double seconds, std::function<void()> tick) {
  Stop();
  State* s = state_.get();
  s->periodMs = seconds > 0.001 ? DWORD(seconds * 1000) : 1;
  s->tick = std::move(tick);
  s->stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (s->stop) s->thread = CreateThread(nullptr, 0, Tick, s, 0, nullptr);
  if (s->thread) return true;
  if (s->stop) CloseHandle(s->stop);
  s->stop = nullptr;
  return false;
}

void Ticker::Stop() {
  State* s = state_.get();
  if (!s->thread) return;
  SetEvent(s->stop);
  WaitForSingleObject(s->thread, INFINITE);
  CloseHandle(s->thread);
  CloseHandle(s->stop);
  s->thread = s->stop = nullptr;
}

void Ticker::Locked(const std::function<void()>& write) {
  EnterCriticalSection(&state_->output);
  write();
  LeaveCriticalSection(&state_->output);
}
