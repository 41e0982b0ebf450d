// SPDX-License-Identifier: GPL-2.0-or-later
// The engine's locks for the DLL: EngineLock, a critical section that lives
// from Init to Quit; the planner lock, one that lives as long as the library;
// the start-up signal, a manual-reset event.
#include <windows.h>

#include <atomic>

#include "engine/engine_lock.h"

namespace {

CRITICAL_SECTION lock;

// Made when the library loads, before any thread of ours can plan.
struct PlannerSection {
  CRITICAL_SECTION section;
  PlannerSection() { InitializeCriticalSection(&section); }
  ~PlannerSection() { DeleteCriticalSection(&section); }
} planner;

HANDLE startUp = nullptr;
std::atomic<bool> startUpPending{false};
// Uses outside Init..Quit are counted and skipped: a deleted critical
// section must not be entered.
std::atomic<bool> alive{false};
std::atomic<int64_t> misuses{0};

}  // namespace

void CreateEngineLock() {
  InitializeCriticalSection(&lock);
  alive = true;
  startUp = CreateEventA(nullptr, TRUE, FALSE, nullptr);  // one per Init
}

void DestroyEngineLock() {
  GiveStartUpSignal();
  if (startUp) CloseHandle(startUp);
  startUp = nullptr;
  alive = false;
  DeleteCriticalSection(&lock);
}

void LockEngine() {
  if (alive.load()) {
    EnterCriticalSection(&lock);
  } else {
    ++misuses;
  }
}
void UnlockEngine() {
  if (alive.load()) {
    LeaveCriticalSection(&lock);
  } else {
    ++misuses;
  }
}
void PauseBriefly() { Sleep(1); }
int64_t EngineLockMisuses() { return misuses.load(); }
void LockPlanner() { EnterCriticalSection(&planner.section); }
void UnlockPlanner() { LeaveCriticalSection(&planner.section); }

void ArmStartUpSignal() {
  // Without an event there is nothing to wait on: buffers prepare themselves.
  if (startUp) startUpPending = true;
}

void GiveStartUpSignal() {
  startUpPending = false;
  if (startUp) SetEvent(startUp);
}

void WaitForStartUpSignal() {
  if (startUpPending.load()) WaitForSingleObject(startUp, INFINITE);
}
