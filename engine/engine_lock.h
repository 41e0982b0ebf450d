// SPDX-License-Identifier: GPL-2.0-or-later
// The engine's locks and its one signal. EngineLock guards the engine in
// force: each buffer, the settings copy a preparation starts from, the swap
// and the reset. The planner lock guards FFTW's planner, which only executes
// plans thread-safely: every call that makes or destroys a plan or touches
// wisdom, on any thread. Neither is ever waited for while the other is held.
#pragma once

#include <cstdint>

void CreateEngineLock();
void DestroyEngineLock();
void LockEngine();
void UnlockEngine();

// Exists for the whole life of the library, so that tools and tests that
// never call CreateEngineLock can plan too.
void LockPlanner();
void UnlockPlanner();

// The first preparation after Init: a buffer that comes before it is done
// waits once, outside EngineLock, until the signal is given.
void ArmStartUpSignal();      // Init, after CreateEngineLock
void GiveStartUpSignal();     // the UI thread, on every path; a second call does nothing
void WaitForStartUpSignal();  // the audio thread; returns at once unless armed

// Holds a lock for a scope, so that every exit releases it.
template <void (*Lock)(), void (*Unlock)()>
class ScopedLock {
 public:
  ScopedLock() { Lock(); }
  ~ScopedLock() { Unlock(); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;
};
using EngineLockGuard = ScopedLock<LockEngine, UnlockEngine>;
using PlannerLockGuard = ScopedLock<LockPlanner, UnlockPlanner>;

// Gives the processor away for a moment: Quit waits so for a host call to end.
void PauseBriefly();

// Uses of EngineLock while it did not exist (before CreateEngineLock or after
// DestroyEngineLock), recorded for the tests; the DLL's lock skips them.
int64_t EngineLockMisuses();
