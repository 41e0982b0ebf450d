// SPDX-License-Identifier: GPL-2.0-or-later
// Engine workers for the native build: a standard thread, and a mutex with
// two condition variables in place of the DLL's two events.
#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "engine/memory.h"
#include "engine/worker.h"

struct Worker {
  std::thread Thread;
  std::mutex Lock;
  std::condition_variable Go;    // a job posted, or the end
  std::condition_variable Done;  // a job finished
  int64_t Posted = 0;            // jobs posted, under Lock
  int64_t Finished = 0;          // jobs finished, under Lock
  bool Stop = false;             // under Lock
  void (*Job)(void*) = nullptr;
  void* Arg = nullptr;
};

namespace {

void WorkerMain(Worker* w) {
  std::unique_lock<std::mutex> hold(w->Lock);
  for (;;) {
    w->Go.wait(hold, [w] { return w->Stop || w->Posted != w->Finished; });
    if (w->Stop) return;
    hold.unlock();
    w->Job(w->Arg);
    hold.lock();
    ++w->Finished;
    w->Done.notify_one();
  }
}

void FreeWorker(Worker* w) {
  w->~Worker();
  FreeMemory(w);
}

}  // namespace

Worker* StartWorker(void (*job)(void*), void* arg) {
  void* memory = AllocZeroed(1, sizeof(Worker));
  if (!memory) return nullptr;
  Worker* w = new (memory) Worker;
  w->Job = job;
  w->Arg = arg;
  try {
    w->Thread = std::thread(WorkerMain, w);
  } catch (const std::system_error&) {
    FreeWorker(w);
    return nullptr;
  }
  return w;
}

void PostJob(Worker* w) {
  int policy = 0;
  sched_param mine{}, its{};
  int itsPolicy = 0;
  if (pthread_getschedparam(pthread_self(), &policy, &mine) == 0 &&
      pthread_getschedparam(w->Thread.native_handle(), &itsPolicy, &its) == 0 &&
      (policy != itsPolicy || mine.sched_priority != its.sched_priority)) {
    pthread_setschedparam(w->Thread.native_handle(), policy, &mine);
  }
  {
    std::lock_guard<std::mutex> hold(w->Lock);
    ++w->Posted;
  }
  w->Go.notify_one();
}

bool WaitForJob(Worker* w) {
  std::unique_lock<std::mutex> hold(w->Lock);
  if (w->Finished == w->Posted) return false;
  w->Done.wait(hold, [w] { return w->Finished == w->Posted; });
  return true;
}

void StopWorker(Worker* w) {
  if (!w) return;
  {
    std::lock_guard<std::mutex> hold(w->Lock);
    w->Stop = true;
  }
  w->Go.notify_one();
  w->Thread.join();
  FreeWorker(w);
}
