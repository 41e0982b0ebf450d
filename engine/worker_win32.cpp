// SPDX-License-Identifier: GPL-2.0-or-later
// Engine workers for the DLL: a thread with two auto-reset events, one that
// hands it a job and one that says the job is done.
#include <windows.h>

#include <initializer_list>

#include "engine/memory.h"
#include "engine/worker.h"

struct Worker {
  HANDLE Thread;
  HANDLE Go;     // set by PostJob and StopWorker
  HANDLE Done;   // set by the worker after each job
  bool Stop;     // set before Go, read after it: the event orders the two
  int Priority;  // the thread's, as last set
  void (*Job)(void*);
  void* Arg;
};

namespace {

DWORD WINAPI WorkerMain(LPVOID param) {
  Worker* w = static_cast<Worker*>(param);
  for (;;) {
    WaitForSingleObject(w->Go, INFINITE);
    if (w->Stop) return 0;
    w->Job(w->Arg);
    SetEvent(w->Done);
  }
}

void CloseAndFree(Worker* w) {
  for (HANDLE h : {w->Thread, w->Go, w->Done}) {
    if (h) CloseHandle(h);
  }
  FreeMemory(w);
}

}  // namespace

Worker* StartWorker(void (*job)(void*), void* arg) {
  auto* w = static_cast<Worker*>(AllocZeroed(1, sizeof(Worker)));
  if (!w) return nullptr;
  *w = Worker{nullptr,
              CreateEventA(nullptr, FALSE, FALSE, nullptr),
              CreateEventA(nullptr, FALSE, FALSE, nullptr),
              false,
              THREAD_PRIORITY_NORMAL,
              job,
              arg};
  if (w->Go && w->Done) w->Thread = CreateThread(nullptr, 0, WorkerMain, w, 0, nullptr);
  if (!w->Thread) {
    CloseAndFree(w);
    return nullptr;
  }
  return w;
}

void PostJob(Worker* w) {
  const int priority = GetThreadPriority(GetCurrentThread());
  if (priority != THREAD_PRIORITY_ERROR_RETURN && priority != w->Priority &&
      SetThreadPriority(w->Thread, priority)) {
    w->Priority = priority;
  }
  SetEvent(w->Go);
}

bool WaitForJob(Worker* w) {
  if (WaitForSingleObject(w->Done, 0) == WAIT_OBJECT_0) return false;
  WaitForSingleObject(w->Done, INFINITE);
  return true;
}

void StopWorker(Worker* w) {
  if (!w) return;
  w->Stop = true;
  SetEvent(w->Go);
  WaitForSingleObject(w->Thread, INFINITE);
  CloseAndFree(w);
}
