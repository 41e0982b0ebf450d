// SPDX-License-Identifier: GPL-2.0-or-later
// The engine object: routing, building and releasing one engine of any kind,
// and the per-frame streaming that every kind shares.
#include "engine/engine.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

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

// Frames are taken a run at a time, each stage over the whole run: the
// input into the dry line and the block, and the blend written out.
constexpr int32_t kRun = 64;

// Where a run of frames reads the dry (one latency ago) and keeps its own,
// per stream channel; the two may be the same place, read before written.
struct DryRun {
  const float* Late[2];
  float* Now[2];
};

// A run's wet share and bypass (0 the blend, 1 the music as it comes): one
// value for the run unless a ramp of them moves; and for a kind that
// ramps, its gain.
struct RunMix {
  double Gain[kRun];
  double Wet[kRun];
  double Bypass[kRun];
  bool Moving;      // Wet and Bypass by frame; else Wet[0] for every frame, no bypass
  bool GainMoving;  // Gain by frame; else Gain[0] for every frame
};

// Without ramps the wet share is the call's (the gain is read as the frames
// are taken). With ramps, their values.
template <bool Ramped>
void FillMix(ConvolutionEngine* e, StreamRamps* ramps, double wet, int32_t n, RunMix* m) {
  if (!Ramped) {
    m->Wet[0] = wet;
    m->Moving = m->GainMoving = false;
    return;
  }
  Ramp& g = e->GainRamp;
  m->GainMoving = g.Done != g.Frames;
  if (!m->GainMoving) {  // settled: a constant the loop need not step
    m->Gain[0] = g.Target;
  } else {
    for (int32_t i = 0; i < n; ++i) m->Gain[i] = NextOf(&g);
  }
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

// A run's gain at each frame: settled, a ramp's values, or, for a kind
// without ramps, the setting read afresh at every frame, so that a change
// acts from the next one. Passed by value, so that the loops keep what
// they read from in registers.
struct SettledGain {
  double G;
  double At(int32_t) const { return G; }
#if defined(__SSE2__)
  __m128d TwoAt(int32_t) const { return _mm_set1_pd(G); }
#endif
};

struct RampGain {
  const double* G;
  double At(int32_t i) const { return G[i]; }
#if defined(__SSE2__)
  __m128d TwoAt(int32_t i) const { return _mm_loadu_pd(G + i); }
#endif
};

// Read where used: kept in an array, the value would pass through the
// stack and integer registers on the 32-bit build.
struct LiveGain {
  const std::atomic<double>* G;
  double At(int32_t) const { return G->load(std::memory_order_relaxed); }
#if defined(__SSE2__)
  __m128d TwoAt(int32_t) const {
    const double first = At(0);
    return _mm_set_pd(At(0), first);
  }
#endif
};

// Where a run's samples come from, as the engine's doubles: four frames at
// a time, or one sample. The host's frames of format F and C channels ...
template <class F, int32_t C>
struct HostFrames {
  const uint8_t* S;
#if defined(__SSE2__)
  FourFrames Four(int32_t i) const { return ReadFour<F, C>(S + C * F::kBytes * i); }
#endif
  double One(int32_t i, int c) const { return F::Read(S + (C * i + c) * F::kBytes); }
};

// ... or the same read before into one array per channel.
template <int32_t C>
struct ReadFrames {
  const double* S[2];
#if defined(__SSE2__)
  FourFrames Four(int32_t i) const {
    const __m128d a0 = _mm_loadu_pd(S[0] + i), a1 = _mm_loadu_pd(S[0] + i + 2);
    if (C == 1) return {a0, a1, a0, a1};
    return {a0, a1, _mm_loadu_pd(S[1] + i), _mm_loadu_pd(S[1] + i + 2)};
  }
#endif
  double One(int32_t i, int c) const { return S[c][i]; }
};

// Where a run's input goes: per work channel the input block and, for a
// kind that reads it there, the output's place; per stream channel the
// dry line.
struct InputRun {
  double* In[2];
  double* Out[2];
  float* Now[2];
};

#if defined(__SSE2__)
inline void Keep4(float* to, __m128d a, __m128d b) {
  _mm_storeu_ps(to, _mm_movelh_ps(_mm_cvtpd_ps(a), _mm_cvtpd_ps(b)));
}
#endif

// Block channel W's share of a run: stream channel W (and with Mixed the
// other) into the dry line, and x g, or mixed ((x0 + x1) g) / 2, into the
// input block and with Both the output's place.
template <int W, bool Mixed, bool Both, class Frames, class Gains>
void TakeChannel(const InputRun& r, Frames f, Gains g, int32_t n) {
  double *in = r.In[W], *out = r.Out[W];
  float *now = r.Now[W], *now1 = r.Now[1];
  int32_t i = 0;
#if defined(__SSE2__)
  const __m128d half = _mm_set1_pd(0.5);
  auto put = [&](int32_t at, __m128d a, __m128d b) {  // two frames
    const __m128d k = g.TwoAt(at);
    const __m128d u = Mixed ? _mm_mul_pd(_mm_mul_pd(_mm_add_pd(a, b), k), half) : _mm_mul_pd(a, k);
    _mm_storeu_pd(in + at, u);
    if (Both) _mm_storeu_pd(out + at, u);
  };
  for (; i + 4 <= n; i += 4) {
    const FourFrames x = f.Four(i);
    const __m128d a0 = W == 0 ? x.A0 : x.B0, a1 = W == 0 ? x.A1 : x.B1;
    Keep4(now + i, a0, a1);
    if (Mixed) Keep4(now1 + i, x.B0, x.B1);
    put(i, a0, x.B0);
    put(i + 2, a1, x.B1);
  }
#endif
  for (; i < n; ++i) {
    const double k = g.At(i), a = f.One(i, W);
    now[i] = static_cast<float>(a);
    if (Mixed) {
      const double b = f.One(i, 1);
      now1[i] = static_cast<float>(b);
      in[i] = (a + b) * k * 0.5;
    } else {
      in[i] = a * k;
    }
    if (Both) out[i] = in[i];
  }
}

// Two channels at once: each frame's gain read once for both.
template <class Frames, class Gains>
void TakeStereo(const InputRun& r, Frames f, Gains g, int32_t n) {
  double *in0 = r.In[0], *in1 = r.In[1];
  float *now0 = r.Now[0], *now1 = r.Now[1];
  int32_t i = 0;
#if defined(__SSE2__)
  auto put = [&](int32_t at, __m128d a, __m128d b) {  // two frames
    const __m128d k = g.TwoAt(at);
    _mm_storeu_pd(in0 + at, _mm_mul_pd(a, k));
    _mm_storeu_pd(in1 + at, _mm_mul_pd(b, k));
  };
  for (; i + 4 <= n; i += 4) {
    const FourFrames x = f.Four(i);
    Keep4(now0 + i, x.A0, x.A1);
    Keep4(now1 + i, x.B0, x.B1);
    put(i, x.A0, x.B0);
    put(i + 2, x.A1, x.B1);
  }
#endif
  for (; i < n; ++i) {
    const double k = g.At(i), a = f.One(i, 0), b = f.One(i, 1);
    now0[i] = static_cast<float>(a);
    now1[i] = static_cast<float>(b);
    in0[i] = a * k;
    in1[i] = b * k;
  }
}

// A run of one input mode taken in. Two channels with the output's place
// too are taken one after the other: six stores a frame pair into arrays
// whose addresses agree in their low 12 bits made the loads of x wait on
// them (measured: twice the time).
template <InputRoute Mode, bool Both, class Frames, class Gains>
void TakeRun(const InputRun& r, Frames f, Gains g, int32_t n) {
  if constexpr (Mode != InputStereo) {
    TakeChannel<0, Mode != InputMono, Both>(r, f, g, n);
  } else if constexpr (!Both) {
    TakeStereo(r, f, g, n);
  } else if constexpr (std::is_same_v<Gains, LiveGain>) {  // each frame's gain read once
    double k[kRun];
    int32_t i = 0;
#if defined(__SSE2__)
    for (; i + 2 <= n; i += 2) _mm_storeu_pd(k + i, g.TwoAt(i));
#endif
    for (; i < n; ++i) k[i] = g.At(i);
    TakeRun<Mode, Both>(r, f, RampGain{k}, n);
  } else {
    TakeChannel<0, false, Both>(r, f, g, n);
    TakeChannel<1, false, Both>(r, f, g, n);
  }
}

// A run of the stream's frames, from one source for one channel and
// another for two, into the block from FillPos + at on (with `both`, the
// output's place too) and the dry line at `now`, routed by the input mode.
template <class One, class Two, class Gains>
void TakeInput(ConvolutionEngine* e, int32_t at, One one, Two two, float* const now[2], Gains g,
               int32_t n, bool both) {
  const int32_t pos = e->FillPos + at;
  InputRun r{};
  for (int c = 0; c < e->Route.WorkChannels; ++c) {
    r.In[c] = e->Input[c] + pos;
    r.Out[c] = e->Output[c] + pos;
  }
  r.Now[0] = now[0];
  r.Now[1] = now[1];
  switch (e->Route.InputMode) {
    case InputStereo:
      return both ? TakeRun<InputStereo, true>(r, two, g, n)
                  : TakeRun<InputStereo, false>(r, two, g, n);
    case InputMono:
      return both ? TakeRun<InputMono, true>(r, one, g, n)
                  : TakeRun<InputMono, false>(r, one, g, n);
    default:  // the two channels mixed
      return both ? TakeRun<InputMixedToOne, true>(r, two, g, n)
                  : TakeRun<InputMixedToOne, false>(r, two, g, n);
  }
}

// TakeInput at the run's gain.
template <bool Ramped, class One, class Two>
void TakeAtGain(ConvolutionEngine* e, int32_t at, One one, Two two, float* const now[2],
                const RunMix& mix, int32_t n, bool both) {
  // The loudness match, while it is not 1, on each frame's gain.
  const Ramp& match = e->MatchRamp;
  if (match.Set && (match.Done != match.Frames || match.Target != 1.0)) {
    double k[kRun];
    for (int32_t i = 0; i < n; ++i) {
      const double g = !Ramped          ? e->Gain->load(std::memory_order_relaxed)
                       : mix.GainMoving ? mix.Gain[i]
                                        : mix.Gain[0];
      k[i] = g * NextOf(&e->MatchRamp);
    }
    TakeInput(e, at, one, two, now, RampGain{k}, n, both);
    return;
  }
  if (!Ramped) {
    TakeInput(e, at, one, two, now, LiveGain{e->Gain}, n, both);
  } else if (mix.GainMoving) {
    TakeInput(e, at, one, two, now, RampGain{mix.Gain}, n, both);
  } else {
    TakeInput(e, at, one, two, now, SettledGain{mix.Gain[0]}, n, both);
  }
}

// A run's input block copied into the output's place, for a kind that
// reads it there, once the output has been written from it.
void CopyInput(ConvolutionEngine* e, int32_t at, int32_t n) {
  const int32_t pos = e->FillPos + at;
  for (int c = 0; c < (e->Route.InputMode == InputStereo ? 2 : 1); ++c) {
    const double* from = e->Input[c] + pos;
    double* to = e->Output[c] + pos;
    int32_t i = 0;
#if defined(__SSE2__)
    for (; i + 2 <= n; i += 2) _mm_storeu_pd(to + i, _mm_loadu_pd(from + i));
#endif
    for (; i < n; ++i) to[i] = from[i];
  }
}

// The four input modes over `count` frames of format F: read the output of
// one block ago and the dry of one latency ago, write their blend, and take
// the new input into the block and the dry line. The arithmetic is in
// 16-bit units at every depth. Without Write the frames are taken in and
// left as they are.
template <class F, bool Write, bool Ramped>
void ProcessFrames(ConvolutionEngine* e, StreamRamps* ramps, double wet, const DryRun& dry,
                   uint8_t* s, int32_t count) {
  const InputRoute mode = e->Route.InputMode;
  const int32_t channels = StreamChannels(e->Route);
  const bool twoOut = mode == InputStereo || mode == InputMixedToTwo;
  // Where the dry is read and where it is kept lie apart, or are one place.
  const bool apart = dry.Late[0] + count <= dry.Now[0] || dry.Now[0] + count <= dry.Late[0];
  const bool both = e->Kind->InputInOutput;
  double x[2][kRun], y[2][kRun];
  RunMix mix;
  for (int32_t at = 0; at < count; at += kRun) {
    const int32_t n = count - at < kRun ? count - at : kRun;
    uint8_t* frames = s + at * channels * F::kBytes;
    float* const now[2] = {dry.Now[0] + at, channels == 2 ? dry.Now[1] + at : nullptr};
    FillMix<Ramped>(e, ramps, wet, n, &mix);
    // The input goes in first, straight from the host's frames, unless the
    // write still needs them (the bypass moving) or reads the dry from
    // where the new dry goes; the output's place, which the write reads,
    // takes its copy of the input after. Else the frames are read into x
    // (the bypass reads them there) and taken from it after the write,
    // which is slower: loads from one small array wait on pending stores
    // to the block's arrays whose addresses agree in their low 12 bits,
    // and as the block's position steps by whole runs, a layout that meets
    // that meets it again and again (measured: up to a quarter slower).
    const bool first = !Write || (!mix.Moving && (apart || mix.Wet[0] == 1.0));
    if (first) {
      TakeAtGain<Ramped>(e, at, HostFrames<F, 1>{frames}, HostFrames<F, 2>{frames}, now, mix, n,
                         both && !Write);
    } else {
      ReadRun<F>(frames, channels, n, x[0], x[1]);
    }
    if (Write) {
      double* out0 = e->Output[0] + e->FillPos + at;
      double* out1 = twoOut ? e->Output[1] + e->FillPos + at : out0;  // else one result to both
      const double* y0 = BlendRun(mix, out0, dry.Late[0] + at, x[0], y[0], n);
      const double* y1 =
          channels == 2 ? BlendRun(mix, out1, dry.Late[1] + at, x[1], y[1], n) : nullptr;
      WriteRun<F>(frames, channels, n, y0, y1);
    }
    if (!first) {
      TakeAtGain<Ramped>(e, at, ReadFrames<1>{{x[0], x[1]}}, ReadFrames<2>{{x[0], x[1]}}, now, mix,
                         n, both);
    } else if (Write && both) {
      CopyInput(e, at, n);
    }
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
  double x[2][kRun];
  float dry[2][kRun];  // not wanted here
  float* const now[2] = {dry[0], dry[1]};
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
      TakeInput(e, at, ReadFrames<1>{{x[0], x[1]}}, ReadFrames<2>{{x[0], x[1]}}, now,
                SettledGain{gain}, run, e->Kind->InputInOutput);
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
