// SPDX-License-Identifier: GPL-2.0-or-later
// EngineLock for the native build: a standard mutex that always exists.
#include <mutex>

#include "engine/engine_lock.h"

namespace {
std::mutex lock;
}

void CreateEngineLock() {}
void DestroyEngineLock() {}
void LockEngine() { lock.lock(); }
void UnlockEngine() { lock.unlock(); }
