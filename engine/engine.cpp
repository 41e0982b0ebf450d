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

void AimRamp(Ramp* r, double target, int32_t frames) {
  if (r->Set && target == r->Target) return;
  const double now = r->Done < r->Frames ? r->Start + r->Step * r->Done : r->Target;
  if (!r->Set || frames <= 0 || now == target) {
    *r = Ramp{target, target, 0.0, 0, 0, true};
    return;
  }
  *r = Ramp{now, target, (target - now) / frames, 0, frames, true};
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

}  // namespace

bool AimRamps(ConvolutionEngine* e, StreamRamps* ramps, bool active, int32_t frames) {
  AimRamp(&e->GainRamp, e->Gain->load(std::memory_order_relaxed), frames);
  AimRamp(&ramps->Mix, WetShare(e), frames);
  AimRamp(&ramps->Bypass, active ? 0.0 : 1.0, frames);
  const Ramp& b = ramps->Bypass;
  return !(b.Target == 1.0 && b.Done == b.Frames);
}

namespace {

// Where a run of frames reads the dry (one latency ago) and keeps its own,
// per stream channel; the two may be the same place, read before written.
struct DryRun {
  const float* Late[2];
  float* Now[2];
};

// One frame's gain, wet share and bypass: read from the settings at every
// frame, or for a kind that ramps, the ramps' next values.
template <bool Ramped>
struct FrameMix {
  double Gain, Wet, Bypass;
  FrameMix(ConvolutionEngine* e, StreamRamps* ramps) {
    if (Ramped) {
      Gain = NextOf(&e->GainRamp);
      Wet = NextOf(&ramps->Mix);
      Bypass = NextOf(&ramps->Bypass);
    } else {
      Gain = e->Gain->load(std::memory_order_relaxed);
      Wet = WetShare(e);
      Bypass = 0.0;
    }
  }
  // What a channel writes: the blend of wet and dry, faded towards the
  // music as it comes while the bypass moves.
  double Out(double wet, double dry, double in) const {
    const double v = Blend(Wet, wet, dry);
    return !Ramped || Bypass == 0.0 ? v : Bypass == 1.0 ? in : (1.0 - Bypass) * v + Bypass * in;
  }
  // A stereo frame: writes each channel's blend, then keeps the frame's
  // samples in the dry line.
  template <class F, bool Write>
  void PassStereo(uint8_t* frame, double l, double r, double wet0, double wet1, const DryRun& dry,
                  int32_t i) const {
    if (Write) {
      F::Write(frame, Out(wet0, dry.Late[0][i], l));
      F::Write(frame + F::kBytes, Out(wet1, dry.Late[1][i], r));
    }
    dry.Now[0][i] = static_cast<float>(l);
    dry.Now[1][i] = static_cast<float>(r);
  }
};

// Per-frame rule of the four input modes over `count` frames of format F:
// read the output of one block ago and the dry of one latency ago, write
// their blend, then store the new input in the output's place, the input
// block and the dry line. The arithmetic is in 16-bit units at every depth.
// Without Write the frames are taken in and left as they are.
template <class F, bool Write, bool Ramped>
void ProcessFrames(ConvolutionEngine* e, StreamRamps* ramps, const DryRun dry, uint8_t* s,
                   int32_t count) {
  constexpr int b = F::kBytes;
  double* out0 = e->Output[0] + e->FillPos;
  double* in0 = e->Input[0] + e->FillPos;
  const float* late0 = dry.Late[0];
  float* now0 = dry.Now[0];
  switch (e->Route.InputMode) {
    case InputMono:
      for (int32_t i = 0; i < count; ++i) {
        const FrameMix<Ramped> mix(e, ramps);
        const double r = F::Read(s + b * i);
        if (Write) F::Write(s + b * i, mix.Out(out0[i], late0[i], r));
        now0[i] = static_cast<float>(r);
        out0[i] = in0[i] = r * mix.Gain;
      }
      break;
    case InputMixedToOne:  // the one result to both channels
    case InputMixedToTwo: {
      const double* out1 = e->Route.InputMode == InputMixedToTwo ? e->Output[1] + e->FillPos : out0;
      for (int32_t i = 0; i < count; ++i) {
        const FrameMix<Ramped> mix(e, ramps);
        uint8_t* frame = s + 2 * b * i;
        const double l = F::Read(frame), r = F::Read(frame + b);
        const double x = (l + r) * mix.Gain * 0.5;
        mix.template PassStereo<F, Write>(frame, l, r, out0[i], out1[i], dry, i);
        out0[i] = in0[i] = x;
      }
      break;
    }
    default: {  // InputStereo
      double* out1 = e->Output[1] + e->FillPos;
      double* in1 = e->Input[1] + e->FillPos;
      for (int32_t i = 0; i < count; ++i) {
        const FrameMix<Ramped> mix(e, ramps);
        uint8_t* frame = s + 2 * b * i;
        const double l = F::Read(frame), r = F::Read(frame + b);
        mix.template PassStereo<F, Write>(frame, l, r, out0[i], out1[i], dry, i);
        out0[i] = in0[i] = l * mix.Gain;
        out1[i] = in1[i] = r * mix.Gain;
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

// Runs of frames that cross neither a block's end nor the dry line's.
template <class F, bool Write>
void Stream(ConvolutionEngine* e, DryLine* line, StreamRamps* ramps, uint8_t* samples,
            int32_t frames) {
  const int32_t channels = StreamChannels(e->Route);
  const int32_t frameBytes = channels * F::kBytes;
  while (frames > 0) {
    if (e->FillPos >= e->BlockLength) {
      e->Kind->Step(e);
      e->FillPos = 0;
      e->Quiet = false;
    }
    const int32_t now = line->Pos;
    int32_t late = now - e->BlockLength;
    if (late < 0) late += line->Length;
    int32_t n = e->BlockLength - e->FillPos;
    if (n > frames) n = frames;
    if (n > line->Length - now) n = line->Length - now;
    if (n > line->Length - late) n = line->Length - late;
    DryRun dry{};
    for (int c = 0; c < channels; ++c) {
      dry.Late[c] = line->Data[c] + late;
      dry.Now[c] = line->Data[c] + now;
    }
    if (e->Quiet) ClearAhead(e, n);
    if (e->Kind->Ramps) {
      ProcessFrames<F, Write, true>(e, ramps, dry, samples, n);
    } else {
      ProcessFrames<F, Write, false>(e, ramps, dry, samples, n);
    }
    e->FillPos += n;
    line->Pos = now + n == line->Length ? 0 : now + n;
    line->Written += n;
    frames -= n;
    samples += n * frameBytes;
  }
}

template <bool Write>
void StreamAtDepth(ConvolutionEngine* e, DryLine* line, StreamRamps* ramps, void* samples,
                   int32_t frames, int32_t bits) {
  auto* bytes = static_cast<uint8_t*>(samples);
  switch (bits) {
    case 8:
      return Stream<Pcm8, Write>(e, line, ramps, bytes, frames);
    case 24:
      return Stream<Pcm24, Write>(e, line, ramps, bytes, frames);
    default:
      return Stream<Pcm16, Write>(e, line, ramps, bytes, frames);
  }
}

}  // namespace

void StreamEngine(ConvolutionEngine* e, DryLine* dry, StreamRamps* ramps, void* samples,
                  int32_t frames, int32_t bits) {
  StreamAtDepth<true>(e, dry, ramps, samples, frames, bits);
}

void FeedEngine(ConvolutionEngine* e, DryLine* dry, StreamRamps* ramps, const void* samples,
                int32_t frames, int32_t bits) {
  StreamAtDepth<false>(e, dry, ramps, const_cast<void*>(samples), frames, bits);
}

void PrimeEngine(ConvolutionEngine* e, const float* const samples[2], int32_t frames, double gain) {
  const float* l = samples[0];
  const float* r = StreamChannels(e->Route) == 2 ? samples[1] : samples[0];
  for (int32_t done = 0; done < frames;) {
    if (e->FillPos >= e->BlockLength) {
      e->Kind->Step(e);
      e->FillPos = 0;
      e->Quiet = false;
    }
    int32_t n = e->BlockLength - e->FillPos;
    if (n > frames - done) n = frames - done;
    if (e->Quiet) ClearAhead(e, n);
    double* out0 = e->Output[0] + e->FillPos;
    double* in0 = e->Input[0] + e->FillPos;
    switch (e->Route.InputMode) {
      case InputMono:
        for (int32_t i = 0; i < n; ++i) out0[i] = in0[i] = double{l[done + i]} * gain;
        break;
      case InputMixedToOne:
      case InputMixedToTwo:
        for (int32_t i = 0; i < n; ++i) {
          out0[i] = in0[i] = (double{l[done + i]} + double{r[done + i]}) * gain * 0.5;
        }
        break;
      default: {
        double* out1 = e->Output[1] + e->FillPos;
        double* in1 = e->Input[1] + e->FillPos;
        for (int32_t i = 0; i < n; ++i) {
          out0[i] = in0[i] = double{l[done + i]} * gain;
          out1[i] = in1[i] = double{r[done + i]} * gain;
        }
        break;
      }
    }
    e->FillPos += n;
    done += n;
  }
}

namespace {

template <class F>
void Crossfade(uint8_t* into, const uint8_t* from, int32_t frames, int32_t channels, Ramp* fade) {
  for (int32_t i = 0; i < frames; ++i) {
    const double w = NextOf(fade);
    for (int c = 0; c < channels; ++c) {
      const int32_t at = (i * channels + c) * F::kBytes;
      F::Write(into + at, (1.0 - w) * F::Read(from + at) + w * F::Read(into + at));
    }
  }
}

}  // namespace

void CrossfadeSamples(void* into, const void* from, int32_t frames, int32_t channels, int32_t bits,
                      Ramp* fade) {
  auto* a = static_cast<uint8_t*>(into);
  const auto* b = static_cast<const uint8_t*>(from);
  switch (bits) {
    case 8:
      return Crossfade<Pcm8>(a, b, frames, channels, fade);
    case 24:
      return Crossfade<Pcm24>(a, b, frames, channels, fade);
    default:
      return Crossfade<Pcm16>(a, b, frames, channels, fade);
  }
}
