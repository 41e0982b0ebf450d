// SPDX-License-Identifier: GPL-2.0-or-later
// The loudness match in the life: an engine's paths measured as it is
// built, the music's reference taken beside the audio (from the dry line,
// or the window's copy of it), the match each preparation starts with, and
// the engine in force following the music from song to song.
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
constexpr int64_t kSlotSeconds = 2;         // the follower's windows summed per this much stream
constexpr int kSlots = kReferenceSeconds / kSlotSeconds;
constexpr int32_t kGlideWindows = 2;  // audible windows (about 4 s of music) a glide needs

// The engine's match moves to `target` over `frames` frames, from 1 when
// it had none.
void AimMatch(ConvolutionEngine* e, double target, int32_t frames) {
  if (!e->MatchRamp.Set) e->MatchRamp = Ramp{1.0, 1.0, 0.0, 0, 0, true};
  AimRamp(&e->MatchRamp, target, frames);
}

// The window's follower of the music, on the window's thread alone: a
// window of the line about every 2 s of the stream, at uneven spaces
// (music has a beat), summed per 2 s of it, the last 10 s kept, for the
// glides; and while the line holds less than the reference's 10 s (the
// one-block engine keeps it short), those 10 s copied beside the audio
// at every call, for the references of the window's preparations.
struct Follower {
  fftw_plan Forward, Inverse;
  ReferenceAnalysis* Analysis;
  int32_t Channels, Rate;
  int64_t StreamFrom;  // the line's first frame of the stream and rate followed
  int64_t Next;        // the next window's first frame
  uint32_t Jitter;
  bool NewestCounted;  // the newest window was loud enough
  bool Fresh;          // a window came since the last look
  struct Slot {
    int64_t Number;   // 2 s of the stream since StreamFrom; -1 empty
    int32_t Windows;  // loud enough
    double Power[2][kLoudnessBins];
  } Slots[kSlots];
  float* Window[2];  // ReferenceFft(Rate) frames each
  DryLine Kept;      // the music copied: a ring of its own frames, a gap where the timer was late
  int64_t Copied;    // the next frame of the stream to copy
};
Follower* follower = nullptr;

void EndFollower() {
  if (!follower) return;
  FreeReferenceAnalysis(follower->Analysis);
  DestroyPlan(&follower->Forward);
  DestroyPlan(&follower->Inverse);
  FreeMemory(follower->Window[0]);
  FreeMemory(follower->Window[1]);
  FreeDryLine(&follower->Kept);
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
  f->StreamFrom = f->Next = f->Copied = streamFrom;
  for (Follower::Slot& slot : f->Slots) slot.Number = -1;
  return f;
}

// The window at f->Next (copied into f->Window) into its 2 s slot.
void TakeFollowed(Follower* f) {
  const int64_t number = (f->Next - f->StreamFrom) / (kSlotSeconds * f->Rate);
  Follower::Slot& slot = f->Slots[number % kSlots];
  if (slot.Number != number) {
    slot.Number = number;
    slot.Windows = 0;
    std::memset(slot.Power, 0, sizeof slot.Power);
  }
  double power[2][kLoudnessBins];
  const float* in[2] = {f->Window[0], f->Window[f->Channels - 1]};
  f->NewestCounted = WindowPower(f->Analysis, in, power);
  f->Fresh = true;
  if (!f->NewestCounted) return;
  ++slot.Windows;
  for (int c = 0; c < f->Channels; ++c) {
    for (int32_t j = 0; j < kLoudnessBins; ++j) slot.Power[c][j] += power[c][j];
  }
}

// The follower's windows of the last 10 s summed into `power`: how many
// were loud enough.
int32_t FollowedPower(const Follower& f, double power[2][kLoudnessBins]) {
  std::memset(power, 0, sizeof(double) * 2 * kLoudnessBins);
  const int64_t newest = (f.Next - f.StreamFrom) / (kSlotSeconds * f.Rate) - 1;
  int32_t windows = 0;
  for (const Follower::Slot& slot : f.Slots) {
    if (slot.Number < 0 || slot.Number <= newest - kSlots) continue;
    windows += slot.Windows;
    for (int c = 0; c < f.Channels; ++c) {
      for (int32_t j = 0; j < kLoudnessBins; ++j) power[c][j] += slot.Power[c][j];
    }
  }
  return windows;
}

// Under EngineLock: the line's frames from f->Copied on, at most kChunk of
// them, into the follower's own ring; how many.
int32_t KeepMore(Follower* f) {
  const DryLine& line = life.Dry;
  f->Copied = std::max(f->Copied, line.Written - line.Length);  // the timer came late
  const int32_t n = static_cast<int32_t>(std::min<int64_t>(line.Written - f->Copied, kChunk));
  DryLine& kept = f->Kept;
  for (int32_t done = 0; done < n;) {
    const int32_t piece = std::min(n - done, kept.Length - kept.Pos);
    float* out[2] = {kept.Data[0] + kept.Pos, kept.Data[kept.Channels - 1] + kept.Pos};
    CopyFromLine(line, f->Copied + done, piece, out);
    kept.Pos = (kept.Pos + piece) % kept.Length;
    kept.Written += piece;
    done += piece;
  }
  f->Copied += n;
  return n;
}

// On the window's thread: the follower of the stream playing, with its
// windows and copy of what came since (from the oldest frame the line
// still holds when the timer came late); null with no stream or no memory.
Follower* FollowNow() {
  int32_t channels, rate, length;
  int64_t streamFrom, written;
  {
    EngineLockGuard hold;
    if (life.Rate.Lined == 0 || life.Dry.Channels == 0) return nullptr;
    channels = life.Dry.Channels;
    rate = life.Rate.Lined;
    streamFrom = life.Rate.LinedFrom;
    written = life.Dry.Written;
    length = life.Dry.Length;
  }
  Follower* f = FollowerFor(channels, rate, streamFrom);
  if (!f) return nullptr;
  const int32_t n = ReferenceFft(rate);
  while (f->Next + n <= written) {
    {
      EngineLockGuard hold;
      const DryLine& line = life.Dry;
      if (line.Channels != channels || life.Rate.LinedFrom != streamFrom) return nullptr;
      if (f->Next < line.Written - line.Length) f->Next = line.Written - line.Length;
      if (f->Next + n > line.Written) break;
      float* out[2] = {f->Window[0], f->Window[channels - 1]};
      CopyFromLine(line, f->Next, n, out);
    }
    TakeFollowed(f);
    f->Jitter = f->Jitter * 1664525u + 1013904223u;
    const int64_t step = kSlotSeconds * rate;  // on average
    f->Next += step / 2 + (f->Jitter >> 8) % step;
  }
  if (length < HistoryFrames(rate) &&
      (f->Kept.Channels != 0 || AllocDryLine(&f->Kept, channels, HistoryFrames(rate)))) {
    for (bool more = true; more;) {
      EngineLockGuard hold;
      if (life.Dry.Channels != channels || life.Rate.LinedFrom != streamFrom) return nullptr;
      more = KeepMore(f) == kChunk;
    }
  }
  return f;
}

// Beside the audio: the music's reference of the last 10 s at the stream's
// rate, pink when less than 1 s of it was audible; false when pink. Welch
// over the dry line, or over the follower's copy (`f`, may be null) when
// that holds more of them: the one-block engine's line stays short, which
// costs the audio nothing.
bool MusicReference(int32_t channels, const Follower* f, LoudnessReference* r) {
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
  const DryLine* kept = nullptr;
  if (f && f->Channels == channels && f->Rate == rate && f->Kept.Channels != 0 &&
      std::min<int64_t>(f->Kept.Written, f->Kept.Length) > end - from) {
    kept = &f->Kept;
    end = kept->Written;
    from = std::max(end - kept->Length, end - kReferenceSeconds * rate);
  }
  fftw_plan forward = nullptr, inverse = nullptr;
  ReferenceAnalysis* a = nullptr;
  Owned<float> chunk[2];
  bool counted = false;
  if (from < end && MakeTransformPlans(ReferenceFft(rate), FFTW_ESTIMATE, &forward, &inverse) &&
      (a = NewReferenceAnalysis(channels, rate, forward)) != nullptr) {
    for (int c = 0; c < channels; ++c) chunk[c].reset(AllocFloats(kChunk));
    float* out[2] = {chunk[0].get(), chunk[channels - 1].get()};
    const auto take = [&](const DryLine& line) {
      if (line.Channels != channels) return 0;
      from = std::max(from, line.Written - line.Length);  // the audio went faster
      const auto n = static_cast<int32_t>(std::min<int64_t>(end - from, kChunk));
      if (n > 0) CopyFromLine(line, from, n, out);
      return n;
    };
    while (chunk[channels - 1] && chunk[0] && from < end) {
      int32_t taken;
      if (kept) {
        taken = take(*kept);  // the window's own
      } else {
        EngineLockGuard hold;
        taken = take(life.Dry);
      }
      if (taken <= 0) break;
      const float* in[2] = {chunk[0].get(), chunk[channels - 1].get()};
      TakeReference(a, in, taken);
      from += taken;
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
    MusicReference(s.Want.Channels, s.OnWindow ? FollowNow() : nullptr, r.get());
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
  if (on) MusicReference(channels, FollowNow(), r.get());
  EngineLockGuard hold;
  if (life.Phase.load() != LifePhase::Ready || !life.Loudness) return;
  const double target = on ? MatchGain(*life.Loudness, *r) : 1.0;
  AimMatch(life.Engine, target, RampFrames(Settings.SampleRate));
  life.MatchTarget = target;
  life.AwaySince = -1;
}

void FollowLoudness() {
  if (!Settings.MatchLoudness) return;
  Follower* f = FollowNow();
  if (!f || !f->Fresh) return;
  f->Fresh = false;
  const int32_t channels = f->Channels, rate = f->Rate;
  int64_t generation;
  {
    EngineLockGuard hold;
    if (life.Phase.load() != LifePhase::Ready || !life.Loudness) return;
    generation = life.Generation;
  }
  // The music of the last 10 s; a quiet passage changes nothing, and
  // nothing starts while the newest window is quiet: no glide in a pause.
  Owned<LoudnessReference> r(
      static_cast<LoudnessReference*>(AllocZeroed(1, sizeof(LoudnessReference))));
  if (!r) return;
  r->Channels = channels;
  r->Rate = rate;
  r->Fft = ReferenceFft(rate);
  if (FollowedPower(*f, r->Power) < kGlideWindows || !f->NewestCounted) return;
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
