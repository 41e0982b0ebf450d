// SPDX-License-Identifier: GPL-2.0-or-later
// The kinds' table: each kind of engine lives in a file of its own and is
// named here once.
#include "engine/engine.h"

extern const EngineKind kOneBlockEngine;    // engine/one_block.cpp
extern const EngineKind kLowLatencyEngine;  // engine/low_latency.cpp

namespace {
const EngineKind* const kKinds[] = {&kOneBlockEngine, &kLowLatencyEngine};
}

const EngineKind& EngineKindFor(int32_t lowLatency) { return *kKinds[lowLatency ? 1 : 0]; }
