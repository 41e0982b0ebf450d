// SPDX-License-Identifier: GPL-2.0-or-later
// EngineLock for the DLL: a critical section that lives from Init to Quit.
#include <windows.h>

#include "engine/engine_lock.h"

namespace {
CRITICAL_SECTION lock;
}

void CreateEngineLock() { InitializeCriticalSection(&lock); }
void DestroyEngineLock() { DeleteCriticalSection(&lock); }
void LockEngine() { EnterCriticalSection(&lock); }
void UnlockEngine() { LeaveCriticalSection(&lock); }
