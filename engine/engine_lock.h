// SPDX-License-Identifier: GPL-2.0-or-later
// EngineLock: the one lock guarding the engine record. A critical section in
// the DLL, a standard mutex in the native build.
#pragma once

void CreateEngineLock();
void DestroyEngineLock();
void LockEngine();
void UnlockEngine();

// Holds EngineLock for a scope, so that every exit releases it.
class EngineLockGuard {
 public:
  EngineLockGuard() { LockEngine(); }
  ~EngineLockGuard() { UnlockEngine(); }
  EngineLockGuard(const EngineLockGuard&) = delete;
  EngineLockGuard& operator=(const EngineLockGuard&) = delete;
};
