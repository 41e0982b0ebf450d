// SPDX-License-Identifier: GPL-2.0-or-later
// The engine object: routing, building and releasing one engine of any kind,
// and the per-frame streaming that every kind shares.
#include "engine/engine.h"

#include <algorithm>
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
  if (fileChannels == 4) return {InputStereo, BlockTrueStereo, 2, 4};
  return fileChannels == 1 ? EngineRoute{InputStereo, BlockTwoWithOneIr, 2, 1}
                           : EngineRoute{InputStereo, BlockTwoWithTwoIrs, 2, 2};
}

int32_t StreamChannels(const EngineRoute& route) { return route.InputMode == InputMono ? 1 : 2; }

void FreePreparedIr(PreparedIr* ir) {
  FreeChannelPair(&ir->Spectra);
  FreeChannelPair(&ir->Cross);
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

// Frames are taken a run at a time, each stage over the whole run: read,
// blend and write, then keep the dry and the engine's input.
constexpr int32_t kRun = 64;

// Where a run of frames reads the dry (one latency ago) and keeps its own,
// per stream channel; the two may be the same place, read before written.
struct DryRun {
  const float* Late[2];
  float* Now[2];
};

// A run's gain at each frame, and its wet share and bypass (0 the blend, 1
// the music as it comes): one value for the run unless a ramp of them moves.
struct RunMix {
  double Gain[kRun];
  double Wet[kRun];
  double Bypass[kRun];
  bool Moving;  // Wet and Bypass by frame; else Wet[0] for every frame, no bypass
};

// Without ramps the gain is read at every frame, so that a change acts from
// the next one, and the wet share is the call's. With ramps, their values.
// The loudness match on a run's gains, when there is one.
void MatchRun(ConvolutionEngine* e, double* gain, int32_t n) {
  Ramp& r = e->MatchRamp;
  if (!r.Set) return;
  if (r.Done == r.Frames) {
    if (r.Target == 1.0) return;
    for (int32_t i = 0; i < n; ++i) gain[i] *= r.Target;
  } else {
    for (int32_t i = 0; i < n; ++i) gain[i] *= NextOf(&r);
  }
}

template <bool Ramped>
void FillMix(ConvolutionEngine* e, StreamRamps* ramps, double wet, int32_t n, RunMix* m) {
  if (!Ramped) {
    for (int32_t i = 0; i < n; ++i) m->Gain[i] = e->Gain->load(std::memory_order_relaxed);
    MatchRun(e, m->Gain, n);
    m->Wet[0] = wet;
    m->Moving = false;
    return;
  }
  Ramp& g = e->GainRamp;
  if (g.Done == g.Frames) {  // settled: a constant the loop need not step
    std::fill(m->Gain, m->Gain + n, g.Target);
  } else {
    for (int32_t i = 0; i < n; ++i) m->Gain[i] = NextOf(&g);
  }
  MatchRun(e, m->Gain, n);
  const Ramp& w = ramps->Mix;
  const Ramp& b = ramps->Bypass;
  m->Moving = w.Done != w.Frames || b.Done != b.Frames || b.Target != 0.0;
  if (!m->Moving) {
    m->Wet[0] = w.Target;
    return;
  }
  for (int32_t i = 0; i < n; ++i) {
    m->Wet[i] = NextOf(&ramps->Mix);
    m->Bypass[i] = NextOf(&ramps->Bypass);
  }
}

// One channel's output of a run into y: the blend of wet and dry, faded
// towards the music as it comes (x) while the bypass moves. Returns where
// the output is: the wet itself, bit for bit, when all wet and still.
const double* BlendRun(const RunMix& m, const double* wet, const float* dry, const double* x,
                       double* y, int32_t n) {
  if (m.Moving) {
    for (int32_t i = 0; i < n; ++i) {
      const double v = Blend(m.Wet[i], wet[i], dry[i]), b = m.Bypass[i];
      y[i] = b == 0.0 ? v : b == 1.0 ? x[i] : (1.0 - b) * v + b * x[i];
    }
    return y;
  }
  const double w = m.Wet[0];
  if (w == 1.0) return wet;
  int32_t i = 0;
#if defined(__SSE2__)
  const __m128d a = _mm_set1_pd(w), c = _mm_set1_pd(1.0 - w);
  for (; i + 2 <= n; i += 2) {
    const __m128 d = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(dry + i)));
    _mm_storeu_pd(y + i,
                  _mm_add_pd(_mm_mul_pd(a, _mm_loadu_pd(wet + i)), _mm_mul_pd(c, _mm_cvtps_pd(d))));
  }
#endif
  for (; i < n; ++i) y[i] = w * wet[i] + (1.0 - w) * dry[i];
  return y;
}

// The dry line's copy of a channel's run.
void KeepRun(float* now, const double* x, int32_t n) {
  int32_t i = 0;
#if defined(__SSE2__)
  for (; i + 2 <= n; i += 2) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(now + i),
                     _mm_castps_si128(_mm_cvtpd_ps(_mm_loadu_pd(x + i))));
  }
#endif
  for (; i < n; ++i) now[i] = static_cast<float>(x[i]);
}

// The engine's input of a run, x g, into its input block and, unless null,
// the output's place; with x1, ((x + x1) g) / 2, the two channels mixed.
void GainRun(double* in, double* out, const double* x, const double* x1, const double* g,
             int32_t n) {
  int32_t i = 0;
#if defined(__SSE2__)
  const __m128d half = _mm_set1_pd(0.5);
  for (; i + 2 <= n; i += 2) {
    __m128d v = _mm_loadu_pd(x + i);
    if (x1) v = _mm_add_pd(v, _mm_loadu_pd(x1 + i));
    v = _mm_mul_pd(v, _mm_loadu_pd(g + i));
    if (x1) v = _mm_mul_pd(v, half);
    _mm_storeu_pd(in + i, v);
    if (out) _mm_storeu_pd(out + i, v);
  }
#endif
  for (; i < n; ++i) {
    in[i] = x1 ? (x[i] + x1[i]) * g[i] * 0.5 : x[i] * g[i];
    if (out) out[i] = in[i];
  }
}

// A run of the stream's samples `x` (per stream channel) at gains `g` into
// the block from FillPos + at on, routed by the input mode: into the input
// block, and the output's place for a kind that reads it there.
void TakeInput(ConvolutionEngine* e, int32_t at, const double* const x[2], const double* g,
               int32_t n) {
  const int32_t pos = e->FillPos + at;
  const bool both = e->Kind->InputInOutput;
  switch (e->Route.InputMode) {
    case InputStereo:
      GainRun(e->Input[1] + pos, both ? e->Output[1] + pos : nullptr, x[1], nullptr, g, n);
      [[fallthrough]];
    case InputMono:
      GainRun(e->Input[0] + pos, both ? e->Output[0] + pos : nullptr, x[0], nullptr, g, n);
      break;
    default:  // the two channels mixed
      GainRun(e->Input[0] + pos, both ? e->Output[0] + pos : nullptr, x[0], x[1], g, n);
      break;
  }
}

// The four input modes over `count` frames of format F: read the output of
// one block ago and the dry of one latency ago, write their blend, then
// take the new input into the block and the dry line. The arithmetic is in
// 16-bit units at every depth. Without Write the frames are taken in and
// left as they are.
template <class F, bool Write, bool Ramped>
void ProcessFrames(ConvolutionEngine* e, StreamRamps* ramps, double wet, const DryRun& dry,
                   uint8_t* s, int32_t count) {
  const InputRoute mode = e->Route.InputMode;
  const int32_t channels = StreamChannels(e->Route);
  const bool twoOut = mode == InputStereo || mode == InputMixedToTwo;
  double x[2][kRun], y[2][kRun];
  RunMix mix;
  for (int32_t at = 0; at < count; at += kRun) {
    const int32_t n = count - at < kRun ? count - at : kRun;
    uint8_t* frames = s + at * channels * F::kBytes;
    double* out0 = e->Output[0] + e->FillPos + at;
    double* out1 = twoOut ? e->Output[1] + e->FillPos + at : out0;  // else one result to both
    ReadRun<F>(frames, channels, n, x[0], x[1]);
    FillMix<Ramped>(e, ramps, wet, n, &mix);
    if (Write) {
      const double* y0 = BlendRun(mix, out0, dry.Late[0] + at, x[0], y[0], n);
      const double* y1 =
          channels == 2 ? BlendRun(mix, out1, dry.Late[1] + at, x[1], y[1], n) : nullptr;
      WriteRun<F>(frames, channels, n, y0, y1);
    }
    for (int c = 0; c < channels; ++c) KeepRun(dry.Now[c] + at, x[c], n);
    const double* in[2] = {x[0], x[1]};
    TakeInput(e, at, in, mix.Gain, n);
  }
}

// A full block steps before the next frame comes in.
void StepWhenFull(ConvolutionEngine* e) {
  if (e->FillPos < e->BlockLength) return;
  e->Kind->Step(e);
  e->FillPos = 0;
  e->Quiet = false;
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
  const double wet = WetShare(e);  // the call's
  while (frames > 0) {
    StepWhenFull(e);
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
      ProcessFrames<F, Write, true>(e, ramps, 0.0, dry, samples, n);
    } else {
      ProcessFrames<F, Write, false>(e, ramps, wet, dry, samples, n);
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
  WithFormat(bits, [&](auto format) {
    Stream<decltype(format), Write>(e, line, ramps, static_cast<uint8_t*>(samples), frames);
  });
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
  const int32_t channels = StreamChannels(e->Route);
  double x[2][kRun], g[kRun];
  std::fill(g, g + kRun, gain);
  for (int32_t done = 0; done < frames;) {
    StepWhenFull(e);
    int32_t n = e->BlockLength - e->FillPos;
    if (n > frames - done) n = frames - done;
    if (e->Quiet) ClearAhead(e, n);
    for (int32_t at = 0; at < n; at += kRun) {
      const int32_t run = n - at < kRun ? n - at : kRun;
      for (int c = 0; c < channels; ++c) {
        std::copy(samples[c] + done + at, samples[c] + done + at + run, x[c]);
      }
      const double* in[2] = {x[0], x[1]};
      TakeInput(e, at, in, g, run);
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
  WithFormat(bits, [&](auto format) {
    Crossfade<decltype(format)>(static_cast<uint8_t*>(into), static_cast<const uint8_t*>(from),
                                frames, channels, fade);
  });
}
