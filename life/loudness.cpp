// SPDX-License-Identifier: GPL-2.0-or-later
// The loudness match in the life: an engine's paths measured as it is
// built, the music's reference taken from the dry line beside the audio,
// the match each preparation starts with, and the engine in force following
// the music from song to song.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/engine_lock.h"
#include "engine/plans.h"
#include "life/life_private.h"

namespace {

constexpr int64_t kReferenceSeconds = 10;   // the music a reference is taken from
constexpr double kAwayDb = 1.0;             // a match further than this is followed,
constexpr int64_t kAwaySeconds = 10;        // once it has stayed so this long,
constexpr int64_t kGlideEverySeconds = 10;  // at most this often,
constexpr double kGlideSeconds = 2.0;       // gliding over this much of the stream
constexpr int32_t kChunk = 8192;            // frames copied out under the lock at a time
constexpr int64_t kFollowEvery = 2;         // seconds between the follower's windows
constexpr int kFollowWindows = kReferenceSeconds / kFollowEvery;

// The engine's match moves to `target` over `frames` frames, from 1 when
// it had none.
void AimMatch(ConvolutionEngine* e, double target, int32_t frames) {
  if (!e->MatchRamp.Set) e->MatchRamp = Ramp{1.0, 1.0, 0.0, 0, 0, true};
  AimRamp(&e->MatchRamp, target, frames);
}

// Beside the audio: the music's reference from the dry line's last 10 s at
// the stream's rate, pink when less than 1 s of it was audible. False when
// pink.
bool LineReference(int32_t channels, LoudnessReference* r) {
  int32_t rate;
  int64_t from, end;
  {
    EngineLockGuard hold;
    const DryLine& line = life.Dry;
    rate = life.Rate.Lined != 0 ? life.Rate.Lined : ConversionRate();
    end = line.Written;
    from = std::max({end - line.Length, end - kReferenceSeconds * rate, life.Rate.LinedFrom});
    if (line.Channels != channels) from = end;
  }
  fftw_plan forward = nullptr, inverse = nullptr;
  ReferenceAnalysis* a = nullptr;
  Owned<float> chunk[2];
  bool counted = false;
  if (from < end && MakeTransformPlans(ReferenceFft(rate), FFTW_ESTIMATE, &forward, &inverse) &&
      (a = NewReferenceAnalysis(channels, rate, forward)) != nullptr) {
    for (int c = 0; c < channels; ++c) chunk[c].reset(AllocFloats(kChunk));
    while (chunk[channels - 1] && chunk[0] && from < end) {
      int32_t n;
      {
        EngineLockGuard hold;
        const DryLine& line = life.Dry;
        if (line.Channels != channels) break;
        from = std::max(from, line.Written - line.Length);  // the audio went faster
        n = static_cast<int32_t>(std::min<int64_t>(end - from, kChunk));
        if (n <= 0) break;
        float* out[2] = {chunk[0].get(), chunk[channels - 1].get()};
        CopyFromLine(line, from, n, out);
      }
      const float* in[2] = {chunk[0].get(), chunk[channels - 1].get()};
      TakeReference(a, in, n);
      from += n;
    }
    counted = FinishReference(*a, 1.0, r);
  } else {
    PinkReference(channels, rate, r);
  }
  FreeReferenceAnalysis(a);
  DestroyPlan(&forward);
  DestroyPlan(&inverse);
  return counted;
}

// The window's follower of the music: one window of the line every 2 s,
// those of the last 10 s kept: one transform a channel every 2 s. Used by FollowLoudness alone, on
// the window's thread.
struct Follower {
  fftw_plan Forward, Inverse;
  ReferenceAnalysis* Analysis;
  int32_t Channels, Rate;
  int64_t StreamFrom;  // the line's first frame of the stream and rate followed
  int64_t Next;        // the next window's first frame
  int32_t At;          // the next slot
  bool Counted[kFollowWindows];
  double Power[kFollowWindows][2][kLoudnessBins];
  float* Window[2];  // ReferenceFft(Rate) frames each
};
Follower* follower = nullptr;

void EndFollower() {
  if (!follower) return;
  FreeReferenceAnalysis(follower->Analysis);
  DestroyPlan(&follower->Forward);
  DestroyPlan(&follower->Inverse);
  FreeMemory(follower->Window[0]);
  FreeMemory(follower->Window[1]);
  FreeMemory(follower);
  follower = nullptr;
}

// A follower for this stream and rate, anew when they changed; null when
// memory fails.
Follower* FollowerFor(int32_t channels, int32_t rate, int64_t streamFrom) {
  if (follower && follower->Channels == channels && follower->Rate == rate &&
      follower->StreamFrom == streamFrom) {
    return follower;
  }
  EndFollower();
  auto* f = static_cast<Follower*>(AllocZeroed(1, sizeof(Follower)));
  if (!f) return nullptr;
  follower = f;
  const int32_t n = ReferenceFft(rate);
  f->Window[0] = AllocFloats(n);
  f->Window[1] = AllocFloats(n);
  if (!f->Window[0] || !f->Window[1] ||
      !MakeTransformPlans(n, FFTW_ESTIMATE, &f->Forward, &f->Inverse) ||
      !(f->Analysis = NewReferenceAnalysis(channels, rate, f->Forward))) {
    EndFollower();
    return nullptr;
  }
  f->Channels = channels;
  f->Rate = rate;
  f->StreamFrom = f->Next = streamFrom;
  return f;
}

}  // namespace

IrLoudness* MeasureLoudness(const EngineRoute& route, const PreparedIr& ir, int32_t rate) {
  auto* l = static_cast<IrLoudness*>(AllocZeroed(1, sizeof(IrLoudness)));
  if (!l) return nullptr;
  double* const* s = ir.Spectra.Data;
  double* const* x = ir.Cross.Data;
  const auto add = [&, fft = ReferenceFft(rate)](int32_t in, double gain2, const double* h) {
    AddLoudnessPath(l, in, gain2, h, ir.FftLength, fft);
  };
  // What reaches the outputs from each input, at the gains the route
  // applies: a mix of two is (L + R) / 2, and one result written to two
  // outputs counts twice.
  switch (route.BlockMode) {
    case BlockMono:
      if (route.InputMode == InputMono) {
        add(0, 1.0, s[0]);
      } else {
        add(0, 0.5, s[0]);
        add(1, 0.5, s[0]);
      }
      break;
    case BlockOneToTwoIrs:
      for (int out = 0; out < 2; ++out) {
        add(0, 0.25, s[out]);
        add(1, 0.25, s[out]);
      }
      break;
    case BlockTwoWithOneIr:
      add(0, 1.0, s[0]);
      add(1, 1.0, s[0]);
      break;
    case BlockTwoWithTwoIrs:
      add(0, 1.0, s[0]);
      add(1, 1.0, s[1]);
      break;
    case BlockTrueStereo:
      add(0, 1.0, s[0]);
      add(1, 1.0, x[0]);
      add(1, 1.0, s[1]);
      add(0, 1.0, x[1]);
      break;
  }
  l->InChannels = StreamChannels(route);
  return l;
}

double MatchForBuild(const Snapshot& s, const IrLoudness& ir) {
  Owned<LoudnessReference> r(
      static_cast<LoudnessReference*>(AllocZeroed(1, sizeof(LoudnessReference))));
  if (!r) return 1.0;
  // Inside a host call the stream is new (or at a new rate): pink.
  if (s.OnAudio) {
    PinkReference(s.Want.Channels, ConversionRate(), r.get());
  } else {
    LineReference(s.Want.Channels, r.get());
  }
  return MatchGain(ir, *r);
}

void SetMatch(ConvolutionEngine* e, double match) {
  e->MatchRamp = Ramp{match, match, 0.0, 0, 0, true};
  life.MatchTarget = match;
  life.AwaySince = -1;
}

void EndLoudnessFollow() { EndFollower(); }

void MatchLoudnessNow() {
  const bool on = Settings.MatchLoudness != 0;
  int32_t channels;
  {
    EngineLockGuard hold;
    if (life.Phase.load() != LifePhase::Ready) return;
    channels = life.Dry.Channels;
  }
  Owned<LoudnessReference> r(
      static_cast<LoudnessReference*>(AllocZeroed(1, sizeof(LoudnessReference))));
  if (on && (!r || channels == 0)) return;
  if (on) LineReference(channels, r.get());
  EngineLockGuard hold;
  if (life.Phase.load() != LifePhase::Ready || !life.Loudness) return;
  const double target = on ? MatchGain(*life.Loudness, *r) : 1.0;
  AimMatch(life.Engine, target, RampFrames(Settings.SampleRate));
  life.MatchTarget = target;
  life.AwaySince = -1;
}

void FollowLoudness() {
  if (!Settings.MatchLoudness) return;
  int32_t channels, rate;
  int64_t streamFrom, written, generation;
  {
    EngineLockGuard hold;
    if (life.Phase.load() != LifePhase::Ready || !life.Loudness || life.Rate.Lined == 0) return;
    channels = life.Dry.Channels;
    rate = life.Rate.Lined;
    streamFrom = life.Rate.LinedFrom;
    written = life.Dry.Written;
    generation = life.Generation;
  }
  Follower* f = FollowerFor(channels, rate, streamFrom);
  if (!f) return;
  // A window every 2 s of what came since.
  const int32_t n = ReferenceFft(rate);
  while (f->Next + n <= written) {
    {
      EngineLockGuard hold;
      const DryLine& line = life.Dry;
      if (line.Channels != channels || life.Rate.LinedFrom != streamFrom) return;
      if (f->Next < line.Written - line.Length) f->Next = line.Written - line.Length;
      if (f->Next + n > line.Written) break;
      float* out[2] = {f->Window[0], f->Window[channels - 1]};
      CopyFromLine(line, f->Next, n, out);
    }
    const float* in[2] = {f->Window[0], f->Window[channels - 1]};
    f->Counted[f->At] = WindowPower(f->Analysis, in, f->Power[f->At]);
    f->At = (f->At + 1) % kFollowWindows;
    f->Next += kFollowEvery * rate;
  }
  // The music of the last 10 s; a quiet passage changes nothing.
  Owned<LoudnessReference> r(
      static_cast<LoudnessReference*>(AllocZeroed(1, sizeof(LoudnessReference))));
  if (!r) return;
  r->Channels = channels;
  r->Rate = rate;
  r->Fft = n;
  int counted = 0;
  for (int k = 0; k < kFollowWindows; ++k) {
    if (!f->Counted[k]) continue;
    ++counted;
    for (int c = 0; c < channels; ++c) {
      for (int32_t j = 0; j < kLoudnessBins; ++j) r->Power[c][j] += f->Power[k][c][j];
    }
  }
  if (counted < 2) return;
  EngineLockGuard hold;
  if (life.Generation != generation || !life.Loudness) return;
  const double match = MatchGain(*life.Loudness, *r);
  const int64_t now = life.Dry.Written;
  if (std::fabs(20.0 * std::log10(match / life.MatchTarget)) <= kAwayDb) {
    life.AwaySince = -1;
    return;
  }
  if (life.AwaySince < 0) life.AwaySince = now;
  if (now - life.AwaySince < kAwaySeconds * rate ||
      now - life.LastGlide < kGlideEverySeconds * rate) {
    return;
  }
  AimMatch(life.Engine, match, static_cast<int32_t>(std::lround(kGlideSeconds * rate)));
  life.MatchTarget = match;
  life.AwaySince = -1;
  life.LastGlide = now;
}

double MatchGainInForce() {
  EngineLockGuard hold;
  if (!life.Engine || !life.Engine->MatchRamp.Set) return 1.0;
  const Ramp& r = life.Engine->MatchRamp;
  return r.Done < r.Frames ? r.Start + r.Step * r.Done : r.Target;
}
