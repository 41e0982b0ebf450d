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

int32_t StreamChannels(const EngineRoute& route) { return route.InputMode == InputMono ? 1 : 2; }

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
  engine->Mix = inputs.Mix;
  engine->Route = route;
  engine->PeakMagnitude = peakMagnitude;
  bool built = kind.Build(engine, ir, inputs.Layout);
  for (int c = 0; built && c < StreamChannels(route); ++c) {
    engine->Dry[c] = AllocFloats(engine->BlockLength);
    built = engine->Dry[c] != nullptr;
  }
  if (!built) {
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
  for (float* dry : engine->Dry) FreeMemory(dry);
  FreeMemory(engine);
}

int64_t EngineBytes(const ConvolutionEngine& engine) {
  const int64_t dry = int64_t{4} * engine.BlockLength * StreamChannels(engine.Route);
  return int64_t{sizeof engine} + engine.Kind->Bytes(engine) + dry;
}

namespace {

// The wet share of a frame: Mix percent, a stored value beyond 0..100
// counting as the nearest end.
double WetShare(const ConvolutionEngine* e) {
  const int32_t mix = e->Mix->load(std::memory_order_relaxed);
  return mix >= 100 ? 1.0 : mix <= 0 ? 0.0 : mix / 100.0;
}

// m wet + (1 - m) dry; the wet alone, bit for bit, at 100 %.
double Blend(double m, double wet, double dry) {
  return m == 1.0 ? wet : m * wet + (1.0 - m) * dry;
}

// A stereo frame: writes the blend of each channel's output and dry, then
// keeps the frame's samples as the dry of one block later.
template <class F, bool Write>
void PassStereoFrame(const ConvolutionEngine* e, uint8_t* frame, double l, double r, double wet0,
                     double wet1, float* dry0, float* dry1) {
  if (Write) {
    const double m = WetShare(e);
    F::Write(frame, Blend(m, wet0, *dry0));
    F::Write(frame + F::kBytes, Blend(m, wet1, *dry1));
  }
  *dry0 = static_cast<float>(l);
  *dry1 = static_cast<float>(r);
}

// Per-frame rule of the four input modes over `count` frames of format F:
// read the output and the dry of one block ago, write their blend, then
// store the new input in their place and in the input block. The
// arithmetic is in 16-bit units at every depth. Without Write the frames
// are taken in and left as they are.
template <class F, bool Write>
void ProcessFrames(ConvolutionEngine* e, uint8_t* s, int32_t count) {
  constexpr int b = F::kBytes;
  double* out0 = e->Output[0] + e->FillPos;
  double* in0 = e->Input[0] + e->FillPos;
  float* dry0 = e->Dry[0] + e->FillPos;
  switch (e->Route.InputMode) {
    case InputMono:
      for (int32_t i = 0; i < count; ++i) {
        const double r = F::Read(s + b * i);
        const double x = r * e->Gain->load(std::memory_order_relaxed);
        if (Write) F::Write(s + b * i, Blend(WetShare(e), out0[i], dry0[i]));
        dry0[i] = static_cast<float>(r);
        out0[i] = in0[i] = x;
      }
      break;
    case InputMixedToOne:  // the one result to both channels
    case InputMixedToTwo: {
      const double* out1 = e->Route.InputMode == InputMixedToTwo ? e->Output[1] + e->FillPos : out0;
      float* dry1 = e->Dry[1] + e->FillPos;
      for (int32_t i = 0; i < count; ++i) {
        const double g = e->Gain->load(std::memory_order_relaxed);
        uint8_t* frame = s + 2 * b * i;
        const double l = F::Read(frame), r = F::Read(frame + b);
        const double x = (l + r) * g * 0.5;
        PassStereoFrame<F, Write>(e, frame, l, r, out0[i], out1[i], dry0 + i, dry1 + i);
        out0[i] = in0[i] = x;
      }
      break;
    }
    default: {  // InputStereo
      double* out1 = e->Output[1] + e->FillPos;
      double* in1 = e->Input[1] + e->FillPos;
      float* dry1 = e->Dry[1] + e->FillPos;
      for (int32_t i = 0; i < count; ++i) {
        const double g = e->Gain->load(std::memory_order_relaxed);
        uint8_t* frame = s + 2 * b * i;
        const double l = F::Read(frame), r = F::Read(frame + b);
        PassStereoFrame<F, Write>(e, frame, l, r, out0[i], out1[i], dry0 + i, dry1 + i);
        out0[i] = in0[i] = l * g;
        out1[i] = in1[i] = r * g;
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
  for (int c = 0; c < StreamChannels(e->Route); ++c) {
    std::memset(e->Dry[c] + e->FillPos, 0, sizeof(float) * count);
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
