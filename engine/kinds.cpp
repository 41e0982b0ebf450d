// SPDX-License-Identifier: GPL-2.0-or-later
// The kinds' table: each kind of engine lives in a file of its own and has
// one row here, under the LowLatency value that picks it.
#include "engine/engine.h"

extern const EngineKind kOneBlockEngine, kLowLatencyEngine;

namespace {
const struct {
  int32_t Id;
  const EngineKind* Kind;
} kKinds[] = {
    {0, &kOneBlockEngine},
    {1, &kLowLatencyEngine},
};
}  // namespace

const EngineKind& EngineKindFor(int32_t lowLatency) {
  const EngineKind* fallback = nullptr;
  for (const auto& row : kKinds) {
    if (row.Id == lowLatency) return *row.Kind;
    if (row.Id == 1) fallback = row.Kind;
  }
  return *fallback;
}
