// SPDX-License-Identifier: GPL-2.0-or-later
// The engine object: routing, building and releasing one engine of any kind,
// and the per-frame streaming that every kind shares.
#include "engine/engine.h"

#include <cstring>

#include "engine/pcm.h"
#include "engine/plans.h"

EngineRoute ChooseRoute(int32_t channels, int32_t fileChannels, int32_t forceMonoIn,
                        int32_t forceMonoOut) {
  if (channels == 1) return {InputMono, BlockMono, 1, 1};
  if (forceMonoOut) return {InputMixedToOne, BlockMono, 1, 1};
  if (forceMonoIn) {
    return fileChannels == 1 ? EngineRoute{InputMixedToOne, BlockMono, 1, 1}
                             : EngineRoute{InputMixedToTwo, BlockOneToTwoIrs, 2, 2};
  }
  return fileChannels == 1 ? EngineRoute{InputStereo, BlockTwoWithOneIr, 2, 1}
                           : EngineRoute{InputStereo, BlockTwoWithTwoIrs, 2, 2};
}

void FreePreparedIr(PreparedIr* ir) {
  FreeChannelPair(&ir->Spectra);
  DestroyPlan(&ir->Forward);
  DestroyPlan(&ir->Inverse);
}

ConvolutionEngine* BuildEngine(const EngineKind& kind, const EngineRoute& route, PreparedIr* ir,
                               double peakMagnitude, const EngineInputs& inputs) {
  auto* engine = static_cast<ConvolutionEngine*>(AllocZeroed(1, sizeof(ConvolutionEngine)));
  if (!engine) return nullptr;
  engine->Kind = &kind;
  engine->Gain = inputs.Gain;
  engine->Route = route;
  engine->PeakMagnitude = peakMagnitude;
  if (!kind.Build(engine, ir, inputs.Layout)) {
    ReleaseEngine(engine);
    return nullptr;
  }
  ResetEngine(engine);
  return engine;
}

void ResetEngine(ConvolutionEngine* engine) {
  engine->FillPos = 0;
  engine->Quiet = true;
  engine->Kind->Reset(engine);
}

void ReleaseEngine(ConvolutionEngine* engine) {
  if (!engine) return;
  engine->Kind->Release(engine);
  FreeMemory(engine);
}

int64_t EngineBytes(const ConvolutionEngine& engine) {
  return int64_t{sizeof engine} + engine.Kind->Bytes(engine);
}

namespace {

// Per-frame rule of the four input modes over `count` frames of format F:
// read the output, then store the new input in its place and in the input
// block. The arithmetic is in 16-bit units at every depth. Without Write
// the frames are taken in and left as they are.
template <class F, bool Write>
void ProcessFrames(ConvolutionEngine* e, uint8_t* s, int32_t count) {
  constexpr int b = F::kBytes;
  double* out0 = e->Output[0] + e->FillPos;
  double* in0 = e->Input[0] + e->FillPos;
  switch (e->Route.InputMode) {
    case InputMono:
      for (int32_t i = 0; i < count; ++i) {
        const double x = F::Read(s + b * i) * e->Gain->load(std::memory_order_relaxed);
        if (Write) F::Write(s + b * i, out0[i]);
        out0[i] = in0[i] = x;
      }
      break;
    case InputMixedToOne:  // the one result to both channels
    case InputMixedToTwo: {
      const double* out1 = e->Route.InputMode == InputMixedToTwo ? e->Output[1] + e->FillPos : out0;
      for (int32_t i = 0; i < count; ++i) {
        const double g = e->Gain->load(std::memory_order_relaxed);
        uint8_t* frame = s + 2 * b * i;
        const double x = (F::Read(frame) + F::Read(frame + b)) * g * 0.5;
        if (Write) {
          F::Write(frame, out0[i]);
          F::Write(frame + b, out1[i]);
        }
        out0[i] = in0[i] = x;
      }
      break;
    }
    default: {  // InputStereo
      double* out1 = e->Output[1] + e->FillPos;
      double* in1 = e->Input[1] + e->FillPos;
      for (int32_t i = 0; i < count; ++i) {
        const double g = e->Gain->load(std::memory_order_relaxed);
        uint8_t* frame = s + 2 * b * i;
        const double xl = F::Read(frame) * g;
        const double xr = F::Read(frame + b) * g;
        if (Write) {
          F::Write(frame, out0[i]);
          F::Write(frame + b, out1[i]);
        }
        out0[i] = in0[i] = xl;
        out1[i] = in1[i] = xr;
      }
      break;
    }
  }
}

// After a reset, what the block reads before it writes is cleared as it
// streams, rather than all at once under the lock.
void ClearAhead(ConvolutionEngine* e, int32_t count) {
  for (int c = 0; c < e->Route.WorkChannels; ++c) {
    std::memset(e->Output[c] + e->FillPos, 0, sizeof(double) * count);
    if (e->History[c]) std::memset(e->History[c] + e->FillPos, 0, sizeof(double) * count);
  }
}

template <class F, bool Write>
void Stream(ConvolutionEngine* e, uint8_t* samples, int32_t frames) {
  const int32_t frameBytes = (e->Route.InputMode == InputMono ? 1 : 2) * F::kBytes;
  while (frames > 0) {
    if (e->FillPos >= e->BlockLength) {
      e->Kind->Step(e);
      e->FillPos = 0;
      e->Quiet = false;
    }
    int32_t n = e->BlockLength - e->FillPos;
    if (n > frames) n = frames;
    if (e->Quiet) ClearAhead(e, n);
    ProcessFrames<F, Write>(e, samples, n);
    e->FillPos += n;
    frames -= n;
    samples += n * frameBytes;
  }
}

template <bool Write>
void StreamAtDepth(ConvolutionEngine* e, void* samples, int32_t frames, int32_t bits) {
  auto* bytes = static_cast<uint8_t*>(samples);
  switch (bits) {
    case 8:
      return Stream<Pcm8, Write>(e, bytes, frames);
    case 24:
      return Stream<Pcm24, Write>(e, bytes, frames);
    default:
      return Stream<Pcm16, Write>(e, bytes, frames);
  }
}

}  // namespace

void StreamEngine(ConvolutionEngine* e, void* samples, int32_t frames, int32_t bits) {
  StreamAtDepth<true>(e, samples, frames, bits);
}

void FeedEngine(ConvolutionEngine* e, const void* samples, int32_t frames, int32_t bits) {
  StreamAtDepth<false>(e, const_cast<void*>(samples), frames, bits);
}
