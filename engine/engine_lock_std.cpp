// SPDX-License-Identifier: GPL-2.0-or-later
// The engine's locks for the native build: standard mutexes that always
// exist (uses outside CreateEngineLock..DestroyEngineLock are recorded, so
// that tests see them), and the start-up signal on a condition variable.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "engine/engine_lock.h"

namespace {
std::mutex lock;
std::mutex planner;
std::mutex signalLock;
std::condition_variable signalGiven;
bool startUpPending = false;
std::atomic<bool> alive{false};
std::atomic<int64_t> misuses{0};
}  // namespace

void CreateEngineLock() { alive = true; }
void DestroyEngineLock() {
  GiveStartUpSignal();
  alive = false;
}
void LockEngine() {
  if (!alive.load()) ++misuses;
  lock.lock();
}
void UnlockEngine() {
  if (!alive.load()) ++misuses;
  lock.unlock();
}
void PauseBriefly() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }
int64_t EngineLockMisuses() { return misuses.load(); }
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
