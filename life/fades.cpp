// SPDX-License-Identifier: GPL-2.0-or-later
// The history a kind that ramps keeps in the dry line, priming a new engine
// with it beside the audio, and the fades a commit starts.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>

#include "engine/engine_lock.h"
#include "life/life_private.h"

namespace {

constexpr int32_t kPrimeChunk = 8192;     // frames copied out under the lock at a time
constexpr int32_t kCatchUpFrames = 4096;  // at most this many fed under the lock at the swap
constexpr int kPrimeRounds = 64;          // then the swap feeds whatever came since

// A swap that meets a running fade waits for it to end, but cuts it when
// the stream has not moved for this long (playback stopped).
constexpr int64_t kStoppedStreamNs = 250000000;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// One channel's piece of the line from stream frame `from`, up to `n`
// frames: where it starts, and how many lie in one piece.
const float* LinePiece(const DryLine& line, int c, int64_t from, int32_t n, int32_t* piece) {
  const int32_t at = DryLineSlot(line, from);
  *piece = std::min(n, line.Length - at);
  return line.Data[c] + at;
}

}  // namespace

void CopyFromLine(const DryLine& line, int64_t from, int32_t n, float* const out[2]) {
  for (int c = 0; c < line.Channels; ++c) {
    for (int32_t done = 0, piece = 0; done < n; done += piece) {
      const float* at = LinePiece(line, c, from + done, n - done, &piece);
      std::memcpy(out[c] + done, at, sizeof(float) * piece);
    }
  }
}

namespace {

bool Beside(Caller caller) { return caller == Caller::Window || caller == Caller::Preparer; }

}  // namespace

int32_t LineFramesFor(const ConvolutionEngine& e, int32_t rate, bool match) {
  int64_t frames = e.BlockLength;
  // A kind that ramps is primed from the line: it holds the last 10 s. The
  // one-block engine reads its dry one latency back, so a long line would
  // cost it cache misses on every call: for the match it holds a second
  // and a window, where the window's timer finds the music it copies.
  if (e.Kind->Ramps) frames = std::max(frames, HistoryFrames(rate));
  if (match) frames = std::max<int64_t>(frames, int64_t{rate} + ReferenceFft(rate));
  return static_cast<int32_t>(frames);
}

bool Priming::Start(Caller caller, const Snapshot& s, const Built& b) {
  if (!b.Engine || !b.Engine->Kind->Ramps || s.OnAudio || !Beside(caller)) return false;
  Gain = s.Want.AutoGain && !s.Match ? GainLinearOf(AutoGainDB(b.Analysis.PeakMagnitude))
                                     : Settings.GainLinear.load();
  Match = b.Match;
  // Every channel's chunk, or none is used.
  for (int c = 0; c < s.Want.Channels; ++c) {
    Chunk[c].reset(AllocFloats(kPrimeChunk));
    if (!Chunk[c]) return false;
  }
  return true;
}

bool Primable(Caller caller, const Snapshot& s, const Built& b) {
  const ConvolutionEngine* now = life.Engine;
  return Beside(caller) && !s.OnAudio && b.Engine && b.Engine->Kind->Ramps &&
         life.Phase.load() == LifePhase::Ready && now->Kind->Ramps &&
         StreamChannels(now->Route) == StreamChannels(b.Engine->Route) &&
         life.Dry.Channels == s.Want.Channels && life.Dry.Length >= b.Engine->BlockLength;
}

void CatchUp(Priming* p, ConvolutionEngine* e) {
  const DryLine& line = life.Dry;
  while (p->From < line.Written) {
    int32_t n = 0;
    const int32_t left = static_cast<int32_t>(
        std::min<int64_t>(line.Written - p->From, std::numeric_limits<int32_t>::max()));
    const float* piece[2] = {LinePiece(line, 0, p->From, left, &n),
                             LinePiece(line, line.Channels - 1, p->From, left, &n)};
    PrimeEngine(e, piece, n, p->Gain * p->Match);
    p->From += n;
  }
}

bool PrimeBeside(Caller caller, const Snapshot& s, const Built& b, Priming* p) {
  for (int round = 0;; ++round) {
    int32_t n = 0;
    {
      EngineLockGuard hold;
      if (!Primable(caller, s, b)) return false;
      const DryLine& line = life.Dry;
      // The music of this stream at its rate the line holds, as far back as
      // the IR reaches (a longer IR gets the line's 10 s).
      const int64_t reach = b.IrFrames + b.Engine->BlockLength;
      const int64_t oldest =
          std::max({line.Written - line.Length, line.Written - reach, life.Rate.LinedFrom});
      if (!p->On || p->From < oldest) p->From = oldest;  // the audio went faster than this thread
      p->On = true;
      const int64_t left = line.Written - p->From;
      if (left <= kCatchUpFrames || round >= kPrimeRounds) return true;
      n = static_cast<int32_t>(std::min<int64_t>(left, kPrimeChunk));
      float* chunk[2] = {p->Chunk[0].get(), p->Chunk[line.Channels - 1].get()};
      CopyFromLine(line, p->From, n, chunk);
    }
    const float* chunk[2] = {p->Chunk[0].get(), p->Chunk[s.Want.Channels - 1].get()};
    PrimeEngine(b.Engine, chunk, n, p->Gain * p->Match);
    p->From += n;
  }
}

bool FadeWait::Again() {
  const int64_t now = NowNs();
  if (life.Dry.Written != written_) {
    written_ = life.Dry.Written;
    movedAt_ = now;
  }
  return now - movedAt_ < kStoppedStreamNs;
}

bool StartFade(ConvolutionEngine* old, ConvolutionEngine* in, double gain, Retired* out) {
  if (!old || !old->Kind->Ramps || (in && !in->Kind->Ramps)) return false;
  out->Take(&life.Fade.Out);  // only when a running one could not end first
  if (in) in->GainRamp = Ramp{gain, gain, 0.0, 0, 0, true};
  life.Fade.Out = old;
  const int32_t frames = RampFrames(Settings.SampleRate);
  life.Fade.Fade = Ramp{0.0, 1.0, 1.0 / frames, 0, frames, true};
  return true;
}

void ClearFades(Retired* out) {
  FadeWait wait;
  for (;; PauseBriefly()) {
    EngineLockGuard hold;
    if (life.Fade.Out && wait.Again()) continue;
    out->Take(&life.Parked);
    out->Take(&life.Fade.Out);  // the stream stopped: nothing is heard of the cut
    return;
  }
}
