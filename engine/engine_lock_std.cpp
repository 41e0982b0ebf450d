// SPDX-License-Identifier: GPL-2.0-or-later
// The engine's locks for the native build: standard mutexes that always
// exist, and the start-up signal on a condition variable.
#include <condition_variable>
#include <mutex>

#include "engine/engine_lock.h"

namespace {
std::mutex lock;
std::mutex planner;
std::mutex signalLock;
std::condition_variable signalGiven;
bool startUpPending = false;
}  // namespace

void CreateEngineLock() {}
void DestroyEngineLock() { GiveStartUpSignal(); }
void LockEngine() { lock.lock(); }
void UnlockEngine() { lock.unlock(); }
void LockPlanner() { planner.lock(); }
void UnlockPlanner() { planner.unlock(); }

void ArmStartUpSignal() {
  std::lock_guard<std::mutex> hold(signalLock);
  startUpPending = true;
}

void GiveStartUpSignal() {
  {
    std::lock_guard<std::mutex> hold(signalLock);
    startUpPending = false;
  }
  signalGiven.notify_all();
}

void WaitForStartUpSignal() {
  std::unique_lock<std::mutex> hold(signalLock);
  signalGiven.wait(hold, [] { return !startUpPending; });
}
