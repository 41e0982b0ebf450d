// SPDX-License-Identifier: GPL-2.0-or-later
// The engine record, block-length choice and the engine's memory.
#include <cstring>
#include <initializer_list>

#include "engine/engine.h"
#include "engine/engine_lock.h"
#include "engine/memory.h"
#include "ir/impulse_response.h"

ConvolutionEngine Engine;

int64_t ChooseBlockLength(int64_t frames) {
  if (frames <= 1) return 1;
  int64_t result = 1;
  int64_t c = frames;
  bool used11 = false;
  bool used13 = false;
  for (;;) {
    for (int64_t p : {2, 3, 5, 7}) {
      while (c % p == 0) {
        c /= p;
        result *= p;
      }
    }
    if (!used11 && c % 11 == 0) {
      c /= 11;
      result *= 11;
      used11 = true;
    }
    if (!used13 && c % 13 == 0) {
      c /= 13;
      result *= 13;
      used13 = true;
    }
    if (c <= 1) return result;
    ++c;  // the cofactor grows, not the frame count
  }
}

int AllocChannelPair(ChannelPair* pair, int32_t channels, int64_t length) {
  pair->Data[0] = AllocDoubles(length);
  if (!pair->Data[0]) return 0;
  if (channels == 1) return 1;
  pair->Data[1] = AllocDoubles(length);
  if (!pair->Data[1]) {
    FreeMemory(pair->Data[0]);
    pair->Data[0] = nullptr;
    return 0;
  }
  return 1;
}

void FreeChannelPair(ChannelPair* pair, int32_t channels) {
  FreeMemory(pair->Data[0]);
  pair->Data[0] = nullptr;
  // A second array is released even if a stale count says one.
  if (channels > 1 || pair->Data[1]) {
    FreeMemory(pair->Data[1]);
    pair->Data[1] = nullptr;
  }
}

void TearDownEngine() {
  ConvolutionEngine& e = Engine;
  FreeChannelPair(&e.WorkBuffer, e.WorkBuffer.Channels);
  FreeChannelPair(&e.SpectrumBuffer, e.SpectrumBuffer.Channels);
  FreeChannelPair(&e.IrSpectrum, e.IrSpectrum.Channels);
  for (double*& block : e.InputBlock) {
    FreeMemory(block);
    block = nullptr;
  }
  if (e.ForwardPlan) fftw_destroy_plan(e.ForwardPlan);
  if (e.InversePlan) fftw_destroy_plan(e.InversePlan);
  e.ForwardPlan = nullptr;
  e.InversePlan = nullptr;
  FreeLowLatency(&e.Partitioned);
}

void UnloadEngine() {
  EngineLockGuard hold;
  TearDownEngine();
  Engine.EngineLoaded = 0;
  Engine.PreparedChannels = 0;
  Engine.PreparedIRFile[0] = '\0';
  ClearIrGraph();
}
