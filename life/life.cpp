// SPDX-License-Identifier: GPL-2.0-or-later
// The plug-in's life: its phase, the engine in force, the preparations
// (snapshot, build, commit) that replace it beside the audio, and the host's
// processing entry.
#include "life/life.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "engine/engine_lock.h"
#include "engine/plans.h"
#include "ir/impulse_response.h"
#include "ir/wav_header.h"

std::atomic<void (*)()> BeforeEngineSwap{nullptr};
std::atomic<void (*)()> PreparationWanted{nullptr};

namespace {

// Whom a preparation is for; its snapshot and stale rule follow from it.
enum class Origin {
  Window,  // a Load or Apply: the settings as they stand, built again when stale
  Stream,  // a stream's channel count given by a caller: always swapped in
  Audio,   // the audio thread's new channel count: the IR as it is, always swapped in
  Rate,    // the engine in force again, at the stream's rate: built again when stale
};

struct Life {
  std::atomic<LifePhase> Phase{LifePhase::BeforeInit};  // written under EngineLock
  std::atomic<int32_t> Calls{0};                        // host processing calls under way
  PreparedSettings Prepared{};                          // under EngineLock
  ConvolutionEngine* Engine = nullptr;  // under EngineLock; null: audio passes through
  DryLine Dry{};                        // under EngineLock: the stream's dry
  StreamRamps Ramps{};                  // under EngineLock: the mix and bypass of a kind that ramps
  ConvolutionEngine* Fading = nullptr;  // under EngineLock: the engine fading out, beside Engine
  Ramp Fade{};                          // under EngineLock: its fade, 0 to 1 the new one's share
  ConvolutionEngine* Parked = nullptr;  // under EngineLock: faded out, for a thread beside to free
  int32_t StreamRate = 0;               // under EngineLock: the last usable rate a buffer brought
  int64_t RateFrom = 0;                 // under EngineLock: the line's first frame at that rate
  uint8_t FadeScratch[1024 * 2 * 3];    // under EngineLock: the fading engine's copy of a piece
  int32_t Result = PrepareOk;           // under EngineLock: how the load of Prepared ended
  int64_t Generation = 0;               // under EngineLock: engines swapped in or taken out
  std::atomic<int32_t> Channels{0};     // Prepared.Channels, for the audio thread's tests
  std::atomic<int32_t> IrRate{0};       // with ResampleIR in force the IR's rate (-1 not
                                        // converted yet), else 0; likewise
  std::atomic<int32_t> RateAsked{0};    // the last rate PrepareForRate was asked for
  std::atomic<int32_t> LastRate{44100};       // the last rate a conversion can aim at
  std::atomic<bool> FirstRate{false};         // no active buffer with a usable rate since Init
  PartitionLayout Layout = kPartitionLayout;  // under EngineLock
};
Life life;

// A rate a conversion can aim at. Some players probe or flush with rate 0.
bool UsableRate(int32_t rate) { return rate >= 1000 && rate <= 768000; }

// The stream's rate for ResampleIR: the last usable one given.
int32_t ConversionRate() {
  const int32_t now = Settings.SampleRate;
  return UsableRate(now) ? now : life.LastRate.load();
}

// The file's size and last write, -1 when it cannot be looked at: a file
// rewritten under the same name (a conversion over it, say) is read again,
// while one that went away leaves the engine in force playing.
struct FileStamp {
  int64_t Size, Time;
};
FileStamp StampOf(const char* path) {
#ifdef _WIN32
  struct _stati64 st;
  if (_stati64(path, &st) != 0) return {-1, -1};
  return {st.st_size, static_cast<int64_t>(st.st_mtime)};
#else
  struct stat st;
  if (stat(path, &st) != 0) return {-1, -1};
  return {st.st_size, int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec};
#endif
}

// The settings a load depends on are still those it was prepared from.
bool SettingsMatch(const PreparedSettings& p) {
  return std::strcmp(p.IRFile, Settings.IRFile) == 0 && p.IRLimit == Settings.IRLimit &&
         p.IRLimitEn == Settings.IRLimitEn && p.ForceMonoIn == Settings.ForceMonoIn &&
         p.ForceMonoOut == Settings.ForceMonoOut && p.LowLatency == Settings.LowLatency &&
         p.ResampleIR == Settings.ResampleIR &&
         (!p.ResampleIR || (p.AtStreamRate && p.SampleRate == ConversionRate()));
}

// The IR's rate as the audio thread tests it: 0 without ResampleIR.
int32_t IrRateOf(const PreparedSettings& p) {
  return !p.ResampleIR ? 0 : p.AtStreamRate ? p.SampleRate : -1;
}

// What a preparation builds from, and the engine and dry line it finds.
struct Snapshot {
  PreparedSettings Want;
  PartitionLayout Layout;
  int64_t Generation;
  int32_t DryChannels;
  int32_t DryLength;
  int32_t Rate;  // the stream's, for the length of the history a kind that ramps keeps
  bool OnAudio;  // prepared inside a host call: nothing to prime, no fade to wait for
};

// Under EngineLock: the one read of the settings a full load uses (the
// window writes the IR path under the lock).
PreparedSettings SettingsNow(int32_t channels, bool atStreamRate) {
  PreparedSettings p{
      {},
      Settings.IRLimit,
      Settings.IRLimitEn,
      Settings.ForceMonoIn,
      Settings.ForceMonoOut,
      Settings.LowLatency,
      Settings.ResampleIR,
      Settings.ResampleIR && atStreamRate,
      Settings.AutoGain,
      Settings.ResampleIR && atStreamRate ? ConversionRate() : Settings.SampleRate.load(),
      channels,
      0,
      0};
  std::memcpy(p.IRFile, Settings.IRFile, kPathChars);
  p.IRFile[kPathChars - 1] = '\0';
  return p;
}

// Frames of the file worth converting: all of them, or those that reach the
// size limit or the longest converted IR at the stream's rate, with room for
// the converter's filter.
int64_t ConversionInput(const PreparedSettings& want, int64_t frames, int64_t fileRate) {
  int64_t kept = LimitedFrames(frames * want.SampleRate / fileRate + 1, want.IRLimitEn,
                               want.IRLimit, want.SampleRate);
  if (kept > kMaxConvertedFrames) kept = kMaxConvertedFrames;
  // Each factor is below 2^32: no overflow.
  const int64_t needed = kept * fileRate / want.SampleRate + 256;
  return needed < frames ? needed : frames;
}

struct Built {
  int32_t Result;
  ConvolutionEngine* Engine;  // null after a failure
  IrAnalysis Analysis;
  DryLine Dry;           // a line for a new stream, or a longer one; Channels 0 for none
  int64_t IrFrames = 0;  // the IR's frames in use: what priming needs of the music
};

// The music a new engine of a kind that ramps is primed with: the last 10 s
// at the stream's rate, at most this many frames.
constexpr int64_t kMaxHistoryFrames = 1920000;

// The dry line the build's engine needs beside the one the snapshot found:
// a new stream's (empty after a failure), a longer one, or none. False when
// its memory fails.
bool BuildDryLine(const Snapshot& s, Built* b) {
  int32_t latency = b->Engine ? b->Engine->BlockLength : 0;
  // A kind that ramps is primed from the line: it holds the last 10 s too.
  if (b->Engine && b->Engine->Kind->Ramps) {
    const int64_t history = std::min<int64_t>(10 * int64_t{s.Rate}, kMaxHistoryFrames);
    if (history > latency) latency = static_cast<int32_t>(history);
  }
  if (s.Want.Channels == s.DryChannels && latency <= s.DryLength) return true;
  return AllocDryLine(&b->Dry, s.Want.Channels, latency);
}

// The build step of a full load, outside every lock but the planner's: the
// file, the plans, the IR's spectra and analysis, then the engine of the kind
// asked for.
Built BuildEngineFor(const PreparedSettings& want, const PartitionLayout& layout) {
  Built b{PrepareOk, nullptr, {}, {}};
  OwnedFile file(std::fopen(want.IRFile, "rb"));
  if (!file) return {PrepareOpenFailed, nullptr, {}, {}};
  WavFormat format{};
  int32_t dataSize = 0;
  if (ReadWavHeader(file.get(), &format, &dataSize) != 0) return {PrepareBadWav, nullptr, {}, {}};
  // With ResampleIR the IR is converted first: the limit, the block length,
  // the peak and the graph all see it at the stream's rate.
  int64_t frames = dataSize / format.BlockAlign;
  ResampledIr converted{};
  if (want.AtStreamRate && NeedsResampling(format.SampleRate, want.SampleRate)) {
    if (!ResampleIr(file.get(), ConversionInput(want, frames, format.SampleRate), format.Channels,
                    static_cast<int32_t>(format.SampleRate), want.SampleRate, &converted)) {
      return {PrepareNoMemory, nullptr, {}, {}};
    }
    frames = converted.Frames < kMaxConvertedFrames ? converted.Frames : kMaxConvertedFrames;
  }
  PreparedIr ir{};
  // In 64 bits, so that no stored limit or rate can overflow.
  ir.Frames = LimitedFrames(frames, want.IRLimitEn, want.IRLimit, want.SampleRate);
  b.IrFrames = ir.Frames;
  ir.FftLength = TransformLength(ir.Frames);
  const EngineRoute route =
      ChooseRoute(want.Channels, format.Channels, want.ForceMonoIn, want.ForceMonoOut);
  if (ir.FftLength != 0 &&
      MakeTransformPlans(ir.FftLength, FFTW_ESTIMATE, &ir.Forward, &ir.Inverse) &&
      LoadImpulseResponse(file.get(), converted.Samples, static_cast<int32_t>(ir.Frames),
                          route.IrChannels, format.Channels, want.SampleRate, ir.FftLength,
                          ir.Forward, &ir.Spectra, &ir.Cross, &b.Analysis)) {
    file.reset();
    FreeResampledIr(&converted);
    b.Engine = BuildEngine(EngineKindFor(want.LowLatency), route, &ir, b.Analysis.PeakMagnitude,
                           {&Settings.GainLinear, &Settings.Mix, layout});
  }
  FreeResampledIr(&converted);
  FreePreparedIr(&ir);
  if (!b.Engine) b.Result = PrepareNoMemory;
  return b;
}

// The build step: the engine, then the dry line it needs.
Built Build(const Snapshot& s) {
  Built b = BuildEngineFor(s.Want, s.Layout);
  if (!BuildDryLine(s, &b)) {
    ReleaseEngine(b.Engine);
    b = {PrepareNoMemory, nullptr, {}, {}};
    BuildDryLine(s, &b);  // a new stream's empty line takes no memory
  }
  return b;
}

// Under EngineLock: Ready with an engine in force, Passing without, unless
// the host's calls put the life elsewhere.
void Settle() {
  const LifePhase now = life.Phase.load();
  if (now == LifePhase::Ready || now == LifePhase::Passing) {
    life.Phase = life.Engine ? LifePhase::Ready : LifePhase::Passing;
  }
}

// Under EngineLock: a fast restart, or nothing to do (false, with the
// result), or the snapshot a full load builds from (true).
bool Begin(Origin origin, int32_t channels, const FileStamp& stamp, bool again, Snapshot* s,
           int32_t* result) {
  const PreparedSettings& p = life.Prepared;
  const LifePhase phase = life.Phase.load();
  // Nothing is prepared after Quit (a buffer, a rate or a Load that came as
  // it began), and before Init only for a caller that names the stream.
  if (phase == LifePhase::AfterQuit ||
      (phase == LifePhase::BeforeInit && origin != Origin::Window && origin != Origin::Stream)) {
    *result = life.Result;
    return false;
  }
  s->Generation = life.Generation;
  s->Layout = life.Layout;
  s->DryChannels = life.Dry.Channels;
  s->DryLength = life.Dry.Length;
  s->Rate = ConversionRate();
  if (origin == Origin::Rate) {
    // Nothing in force to convert, or already at this rate.
    if (!life.Engine || !p.ResampleIR || (p.AtStreamRate && p.SampleRate == ConversionRate())) {
      *result = life.Result;
      return false;
    }
    s->Want = p;
    s->Want.AtStreamRate = 1;
    s->Want.SampleRate = ConversionRate();
    s->Want.AutoGain = Settings.AutoGain;  // the listener's gain stands unless automatic now
  } else {
    const int32_t count = origin != Origin::Window ? channels : p.Channels != 0 ? p.Channels : 2;
    const bool sameFile = stamp.Size < 0 || (stamp.Size == p.FileSize && stamp.Time == p.FileTime);
    if (p.Channels == count && SettingsMatch(p) && sameFile) {
      if (life.Engine) {
        // The fast restart; but a listener who chose the kind that ramps
        // hears nothing of an Apply that changes nothing.
        if (origin != Origin::Window || !life.Engine->Kind->Ramps) ResetEngine(life.Engine);
        *result = PrepareOk;
        return false;
      }
      // Ours went stale because another thread loaded these very settings
      // meanwhile, and failed: so would we.
      if (again) {
        *result = life.Result;
        return false;
      }
    }
    // The audio thread takes the IR as it is, but for the first rate after
    // Init, which it waits for.
    s->Want = SettingsNow(count, origin != Origin::Audio ||
                                     (life.FirstRate.load() && UsableRate(Settings.SampleRate)));
  }
  if (std::strcmp(s->Want.IRFile, origin == Origin::Rate ? p.IRFile : Settings.IRFile) == 0) {
    s->Want.FileSize = stamp.Size;
    s->Want.FileTime = stamp.Time;
  }
  return true;
}

// The memory retry: two engines did not fit side by side, so the one this
// preparation replaces goes first (audio passes meanwhile), but only while
// it is still the one in force. True when it went.
bool MakeRoom(Snapshot* s) {
  ConvolutionEngine* old = nullptr;
  {
    EngineLockGuard hold;
    if (life.Generation != s->Generation || !life.Engine) return false;
    old = life.Engine;
    life.Engine = nullptr;
    s->Generation = ++life.Generation;
    Settle();
  }
  ReleaseEngine(old);
  return true;
}

// The stale rule, under EngineLock: the window's result is built again when
// the settings or the stream's channel count moved on meanwhile; a rate's
// when another engine came in or the rate moved on. A stream's own
// preparation always ends with a swap.
bool Stale(Origin origin, const Snapshot& s) {
  switch (origin) {
    case Origin::Window: {
      if (!SettingsMatch(s.Want)) return true;
      const int32_t now = life.Prepared.Channels;
      return now != 0 && now != s.Want.Channels;
    }
    case Origin::Rate:
      return life.Generation != s.Generation || s.Want.SampleRate != ConversionRate();
    default:
      return false;
  }
}

// Under EngineLock: the built line in force when the stream is new or it is
// longer than the one in force, carrying what that one holds. Leaves in *b
// the line to release.
void SwapDryLine(Built* b) {
  if (b->Dry.Channels == 0) return;
  if (b->Dry.Channels == life.Dry.Channels) {
    if (b->Dry.Length <= life.Dry.Length) return;  // another preparation grew it meanwhile
    CarryDryLine(life.Dry, &b->Dry);
  }
  const DryLine old = life.Dry;
  life.Dry = b->Dry;
  b->Dry = old;
}

// Engines out of force, for the thread that took them out to release
// outside EngineLock.
struct Retired {
  ConvolutionEngine* Engines[3] = {};
  void Take(ConvolutionEngine** e) {
    for (ConvolutionEngine*& slot : Engines) {
      if (!slot) {
        slot = *e;
        *e = nullptr;
        return;
      }
    }
  }
  ~Retired() {
    for (ConvolutionEngine* e : Engines) ReleaseEngine(e);
  }
};

// 50 ms of the stream, for a fade.
int32_t RampFrames(int32_t rate) {
  const int32_t at = UsableRate(rate) ? rate : life.LastRate.load();
  return static_cast<int32_t>(std::lround(kRampSeconds * at));
}

// The commit, under EngineLock: the new engine (or none, after a failure)
// with what its preparation set, between two buffers. With `fade` at
// `gain` (a primed engine) the engine in force fades out beside it;
// otherwise it goes into *out, with any still fading. Leaves in *b the dry
// line to release.
void SwapIn(const Snapshot& s, Built* bp, bool fade, double gain, Retired* out) {
  SwapDryLine(bp);
  const Built& b = *bp;
  ConvolutionEngine* old = life.Engine;
  out->Take(&life.Parked);
  out->Take(&life.Fading);  // with a fade, only when a running one could not end first
  if (fade) {
    b.Engine->GainRamp = Ramp{gain, gain, 0.0, 0, 0, true};
    life.Fading = old;
    const int32_t frames = RampFrames(Settings.SampleRate);
    life.Fade = Ramp{0.0, 1.0, 1.0 / frames, 0, frames, true};
  } else {
    out->Take(&old);
  }
  if (s.Want.Channels != life.Prepared.Channels) life.Ramps = StreamRamps{};  // a new stream
  life.Engine = b.Engine;
  life.Result = b.Result;
  life.Prepared = s.Want;
  ++life.Generation;
  life.Channels = s.Want.Channels;
  life.IrRate = IrRateOf(s.Want);
  life.RateAsked = 0;  // another engine: its rate is asked for afresh
  Settle();
  if (b.Engine) {
    PublishIrGraph(b.Analysis.Graph);
    if (s.Want.AutoGain) SetGainDB(AutoGainDB(b.Analysis.PeakMagnitude));
  }
}

// Priming: a new engine of a kind that ramps is fed the music the line
// holds (since the stream's rate last changed, at most its last 10 s),
// gained and routed as it will stream, on the preparing thread beside the
// audio; at the commit only the frames that came since are fed, under the
// lock, and the engine in force fades out over 50 ms beside it.
constexpr int32_t kPrimeChunk = 8192;     // frames copied out under the lock at a time
constexpr int32_t kCatchUpFrames = 4096;  // at most this many fed under the lock at the swap
constexpr int kPrimeRounds = 64;          // then the swap feeds whatever came since

// A swap that meets a running fade waits for it to end, but cuts it when
// the stream has not moved for this long (playback stopped).
constexpr auto kStoppedStream = std::chrono::milliseconds(250);

// Whether a swap should wait on for the running fade: true while the
// stream has moved within kStoppedStream. Under EngineLock.
class FadeWait {
 public:
  bool Again() {
    const auto now = std::chrono::steady_clock::now();
    if (life.Dry.Written != written_) {
      written_ = life.Dry.Written;
      moved_ = now;
    }
    return now - moved_ < kStoppedStream;
  }

 private:
  int64_t written_ = -1;
  std::chrono::steady_clock::time_point moved_;
};

struct Priming {
  bool On = false;
  int64_t From = 0;  // the next frame of the stream to feed
  double Gain = 0.0;
  Owned<float> Chunk[2];
};

// Under EngineLock: the engine built can come in primed, fading from the
// one in force.
bool Primable(Origin origin, const Snapshot& s, const Built& b) {
  const ConvolutionEngine* now = life.Engine;
  return (origin == Origin::Window || origin == Origin::Rate) && !s.OnAudio && b.Engine &&
         b.Engine->Kind->Ramps && now && now->Kind->Ramps &&
         StreamChannels(now->Route) == StreamChannels(b.Engine->Route) &&
         life.Dry.Channels == s.Want.Channels && life.Dry.Length >= b.Engine->BlockLength &&
         life.Phase.load() == LifePhase::Ready;
}

// One channel's piece of the line from stream frame `from`, up to `n`
// frames: where it starts, and how many lie in one piece.
const float* LinePiece(const DryLine& line, int c, int64_t from, int32_t n, int32_t* piece) {
  const int32_t at = DryLineSlot(line, from);
  *piece = std::min(n, line.Length - at);
  return line.Data[c] + at;
}

// Under EngineLock: feeds the frames from From to the line's newest.
void CatchUp(Priming* p, ConvolutionEngine* e) {
  const DryLine& line = life.Dry;
  while (p->From < line.Written) {
    int32_t n = 0;
    const int32_t left = static_cast<int32_t>(
        std::min<int64_t>(line.Written - p->From, std::numeric_limits<int32_t>::max()));
    const float* piece[2] = {LinePiece(line, 0, p->From, left, &n),
                             LinePiece(line, line.Channels - 1, p->From, left, &n)};
    PrimeEngine(e, piece, n, p->Gain);
    p->From += n;
  }
}

// Beside the audio: feeds the line's frames until at most kCatchUpFrames
// are left (or after kPrimeRounds, for a host that runs faster than this
// thread); false when the engine can no longer come in primed.
bool PrimeBeside(Origin origin, const Snapshot& s, const Built& b, Priming* p) {
  for (int round = 0;; ++round) {
    int32_t n = 0;
    {
      EngineLockGuard hold;
      if (!Primable(origin, s, b)) return false;
      const DryLine& line = life.Dry;
      // The music at the stream's rate the line holds, as far back as the
      // IR reaches (a longer IR gets the line's 10 s).
      const int64_t reach = b.IrFrames + b.Engine->BlockLength;
      const int64_t oldest =
          std::max({line.Written - line.Length, line.Written - reach, life.RateFrom});
      if (!p->On || p->From < oldest) p->From = oldest;  // the audio went faster than this thread
      p->On = true;
      const int64_t left = line.Written - p->From;
      if (left <= kCatchUpFrames || round >= kPrimeRounds) return true;
      n = static_cast<int32_t>(std::min<int64_t>(left, kPrimeChunk));
      for (int c = 0; c < line.Channels; ++c) {
        for (int32_t done = 0, piece = 0; done < n; done += piece) {
          const float* from = LinePiece(line, c, p->From + done, n - done, &piece);
          std::memcpy(p->Chunk[c].get() + done, from, sizeof(float) * piece);
        }
      }
    }
    const float* chunk[2] = {p->Chunk[0].get(), p->Chunk[s.Want.Channels - 1].get()};
    PrimeEngine(b.Engine, chunk, n, p->Gain);
    p->From += n;
  }
}

// Under EngineLock: a failed build leaves the engine in force when it is a
// rate's, or when another thread swapped that engine in after the window's
// snapshot. A stream's own failure always goes in: the engine in force was
// for another channel count.
bool Keeps(Origin origin, const Snapshot& s) {
  return origin == Origin::Rate || (origin == Origin::Window && life.Generation != s.Generation);
}

int32_t Prepare(Origin origin, int32_t channels, bool onAudio = false) {
  bool retried = false;
  for (bool again = false;; again = true) {
    // The file is looked at outside the lock; only the window writes the
    // path, so the copy taken here is the one the lock sees next.
    char path[kPathChars];
    {
      EngineLockGuard hold;
      std::memcpy(path, origin == Origin::Rate ? life.Prepared.IRFile : Settings.IRFile,
                  kPathChars);
    }
    path[kPathChars - 1] = '\0';
    const FileStamp stamp = StampOf(path);
    Snapshot s;
    int32_t result = PrepareOk;
    {
      EngineLockGuard hold;
      if (!Begin(origin, channels, stamp, again, &s, &result)) return result;
    }
    Built built = Build(s);
    if (auto hook = BeforeEngineSwap.load()) hook();
    // A rate's conversion that does not fit leaves the engine in force
    // playing at the old rate: the next rate change or Apply tries again.
    if (built.Result == PrepareNoMemory && !retried && origin != Origin::Rate) {
      retried = true;
      if (MakeRoom(&s)) {
        FreeDryLine(&built.Dry);
        built = Build(s);
      }
    }
    Priming prime;
    s.OnAudio = onAudio || origin == Origin::Audio;
    if (built.Engine && built.Engine->Kind->Ramps && !s.OnAudio &&
        (origin == Origin::Window || origin == Origin::Rate)) {
      prime.Gain = s.Want.AutoGain ? GainLinearOf(AutoGainDB(built.Analysis.PeakMagnitude))
                                   : Settings.GainLinear.load();
      for (int c = 0; c < s.Want.Channels; ++c) prime.Chunk[c].reset(AllocFloats(kPrimeChunk));
    }
    const bool canPrime = prime.Chunk[s.Want.Channels - 1] != nullptr;
    Retired retired;
    bool stale = false, swapped = false;
    FadeWait wait;
    for (;; PauseBriefly()) {
      const bool primed = canPrime && PrimeBeside(origin, s, built, &prime);
      EngineLockGuard hold;
      if (life.Phase.load() == LifePhase::AfterQuit) {
        result = built.Result;  // Quit came meanwhile: nothing goes in
      } else if (Stale(origin, s)) {
        stale = true;
      } else if (!built.Engine && Keeps(origin, s)) {
        result = life.Engine && SettingsMatch(life.Prepared) ? PrepareOk : built.Result;
      } else {
        const bool fade = primed && Primable(origin, s, built);
        // A fade that still runs ends first, within 50 ms of the stream.
        if (fade && life.Fading && wait.Again()) continue;
        if (fade) CatchUp(&prime, built.Engine);
        SwapIn(s, &built, fade, prime.Gain, &retired);
        swapped = true;
        result = built.Result;
      }
      break;
    }
    FreeDryLine(&built.Dry);
    if (!swapped) {
      ReleaseEngine(built.Engine);
      if (stale) continue;
      return result;
    }
    if (built.Engine && s.Want.AutoGain) {
      if (auto shown = GainSetByEngine.load()) shown();
    }
    return result;
  }
}

}  // namespace

int32_t AutoGainDB(double peak) {
  if (peak == 0.0) return 0;
  double db = 6.0 - 20.0 * std::log10(peak);
  if (db < -60.0) db = -60.0;  // held before the conversion, so it cannot overflow
  if (db > 20.0) db = 20.0;
  return static_cast<int32_t>(db);
}

bool StartLife(bool startUpPreparation) {
  const LifePhase now = life.Phase.load();
  if (now != LifePhase::BeforeInit && now != LifePhase::AfterQuit) return false;
  CreateEngineLock();
  life.RateAsked = 0;
  life.FirstRate = true;
  if (startUpPreparation) ArmStartUpSignal();
  EngineLockGuard hold;
  life.Ramps = StreamRamps{};  // the settings in force at Init apply at once
  life.Phase = startUpPreparation ? LifePhase::Starting : LifePhase::Passing;
  Settle();
  return true;
}

void EndLife() {
  {
    EngineLockGuard hold;
    life.Phase = LifePhase::AfterQuit;
  }
  GiveStartUpSignal();  // a buffer waiting for the start-up goes on, and passes
}

void ReleaseLife() {
  // A buffer still in its call (inside a full load, say) ends before the
  // lock goes; it commits nothing now.
  while (life.Calls.load() != 0) PauseBriefly();
  UnloadEngine();
  DestroyEngineLock();
}

LifePhase CurrentPhase() { return life.Phase.load(); }

void UsePartitionLayout(const PartitionLayout& layout) {
  EngineLockGuard hold;
  life.Layout = layout;
}

PartitionLayout PartitionLayoutInUse() {
  EngineLockGuard hold;
  return life.Layout;
}

int32_t PrepareEngine(int32_t channels) {
  return Prepare(channels == kStreamChannels ? Origin::Window : Origin::Stream, channels);
}

int32_t PrepareForRate() { return Prepare(Origin::Rate, 0); }

void PrepareEngineAtStartUp() {
  bool prepared;
  {
    EngineLockGuard hold;
    // A buffer got here first and prepared (or failed to) with these settings:
    // restarting would clear the audio already in the engine.
    prepared = life.Prepared.Channels != 0 && SettingsMatch(life.Prepared);
  }
  if (!prepared) PrepareEngine(kStreamChannels);
  StartUpDone();
}

void StartUpDone() {
  {
    EngineLockGuard hold;
    if (life.Phase.load() == LifePhase::Starting) {
      life.Phase = LifePhase::Passing;
      Settle();
    }
  }
  GiveStartUpSignal();
}

void NameIrFile(const char* path, bool withFolder) {
  EngineLockGuard hold;
  std::snprintf(Settings.IRFile, kPathChars, "%s", path);
  if (withFolder) {
    std::memcpy(Settings.IRDir, Settings.IRFile, kPathChars);
    StripFileName(Settings.IRDir);
  }
}

void ReleaseRetired() {
  Retired retired;
  EngineLockGuard hold;
  retired.Take(&life.Parked);
}

void UnloadEngine() {
  ConvolutionEngine* old;
  DryLine dry;
  Retired retired;
  {
    EngineLockGuard hold;
    retired.Take(&life.Fading);
    retired.Take(&life.Parked);
    old = life.Engine;
    life.Engine = nullptr;
    ++life.Generation;
    life.Prepared = PreparedSettings{};
    life.Result = PrepareOk;
    life.Channels = 0;
    life.IrRate = 0;
    life.RateAsked = 0;
    Settle();
    ClearIrGraph();
    dry = life.Dry;
    life.Dry = DryLine{};
  }
  ReleaseEngine(old);
  FreeDryLine(&dry);
}

const ConvolutionEngine* EngineInForce() { return life.Engine; }
const DryLine& DryLineInForce() { return life.Dry; }
const PreparedSettings& PreparedInForce() { return life.Prepared; }

namespace {

// A host call under way, counted so that Quit lets it end before the lock goes.
struct CallUnderWay {
  CallUnderWay() { ++life.Calls; }
  ~CallUnderWay() { --life.Calls; }
  CallUnderWay(const CallUnderWay&) = delete;
  CallUnderWay& operator=(const CallUnderWay&) = delete;
};

// With ResampleIR in force, the IR is at another rate than `rate`.
bool RateDiffers(int32_t rate) {
  const int32_t irRate = life.IrRate.load();
  return irRate != 0 && irRate != rate;
}

}  // namespace

int32_t ProcessSamples(void* /*module*/, int16_t* samples, int32_t frames, int32_t bits,
                       int32_t channels, int32_t rate) {
  const CallUnderWay call;
  // Before Init and after Quit (a bridge flushing a last buffer, a plug-in
  // switched while playing) the buffer passes and nothing is prepared.
  const LifePhase phase = life.Phase.load();
  if (phase == LifePhase::BeforeInit || phase == LifePhase::AfterQuit) return frames;
  Settings.SampleRate = rate;
  // Only 8, 16 and 24-bit mono or stereo can be convolved in place; anything
  // else is passed through rather than misread or written past its end.
  if ((bits != 8 && bits != 16 && bits != 24) || (channels != 1 && channels != 2)) return frames;
  // Bypassed, nothing is prepared and the buffer comes back untouched, but
  // the engine in force and the dry go on taking the stream, so that turning
  // the reverb on again carries on as if it had never been off.
  const bool active = Settings.Active;
  // No dry start: the first buffers wait for the start-up preparation.
  if (active && phase == LifePhase::Starting) WaitForStartUpSignal();
  if (UsableRate(rate)) life.LastRate = rate;
  if (active && channels != life.Channels.load()) Prepare(Origin::Audio, channels);
  if (UsableRate(rate)) {
    // With ResampleIR the first rate after Init is waited for, once, as the
    // start-up preparation is; every later one is asked of the preparer,
    // beside the audio, bypassed or not. A rate outside what a conversion
    // can take is no change.
    if (active && life.FirstRate.exchange(false) && RateDiffers(rate)) {
      Prepare(Origin::Rate, 0, true);
    }
    if (RateDiffers(rate) && life.RateAsked.exchange(rate) != rate) {
      if (auto wake = PreparationWanted.load()) wake();
    }
  }
  if (!samples) return frames;

  EngineLockGuard hold;
  ConvolutionEngine* e = life.Engine;
  DryLine* dry = &life.Dry;
  if (life.Phase.load() == LifePhase::AfterQuit || dry->Channels != channels) return frames;
  if (!e || (e->Route.InputMode == InputMono) != (channels == 1) || dry->Length < e->BlockLength) {
    KeepDry(dry, samples, frames, bits);  // passing: the dry still takes the stream
    return frames;
  }
  if (UsableRate(rate) && rate != life.StreamRate) {
    life.StreamRate = rate;
    life.RateFrom = dry->Written;  // priming takes only music at the stream's rate
  }
  bool write = active;
  if (e->Kind->Ramps) {
    write = AimRamps(e, &life.Ramps, active, RampFrames(rate));
  } else {
    life.Ramps = StreamRamps{};  // the next kind that ramps starts where the settings are
  }
  auto* bytes = static_cast<uint8_t*>(static_cast<void*>(samples));
  const int32_t frameBytes = channels * (bits / 8);
  // While one fades out, both engines take each piece: the old one a copy,
  // with copies of the line's place and the ramps, so that both hear the
  // same dry, mix and bypass; the piece is then their crossfade.
  constexpr int32_t kPiece = sizeof life.FadeScratch / (2 * 3);
  int32_t left = frames;
  while (life.Fading && left > 0) {
    const Ramp& fade = life.Fade;
    const int32_t n = std::min({left, kPiece, fade.Frames - fade.Done});
    std::memcpy(life.FadeScratch, bytes, static_cast<size_t>(n) * frameBytes);
    DryLine shadow = *dry;
    StreamRamps ramps = life.Ramps;
    if (write) {
      StreamEngine(life.Fading, &shadow, &ramps, life.FadeScratch, n, bits);
      StreamEngine(e, dry, &life.Ramps, bytes, n, bits);
      CrossfadeSamples(bytes, life.FadeScratch, n, channels, bits, &life.Fade);
    } else {
      FeedEngine(life.Fading, &shadow, &ramps, life.FadeScratch, n, bits);
      FeedEngine(e, dry, &life.Ramps, bytes, n, bits);
      life.Fade.Done += n;
    }
    if (life.Fade.Done == life.Fade.Frames) {
      life.Parked = life.Fading;  // freed beside the audio, never here
      life.Fading = nullptr;
    }
    bytes += static_cast<size_t>(n) * frameBytes;
    left -= n;
  }
  if (write) {
    StreamEngine(e, dry, &life.Ramps, bytes, left, bits);
  } else {
    FeedEngine(e, dry, &life.Ramps, bytes, left, bits);
  }
  return frames;
}
