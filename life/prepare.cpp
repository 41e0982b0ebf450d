// SPDX-License-Identifier: GPL-2.0-or-later
// A preparation's three steps: the snapshot of what to build under
// EngineLock, the build outside every lock but the planner's, and the
// commit that swaps the new engine in (or builds again when it went stale).
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "engine/engine_lock.h"
#include "engine/plans.h"
#include "ir/wav_header.h"
#include "life/life_private.h"

namespace {

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

// The IR's rate as the audio thread tests it: 0 without ResampleIR.
int32_t IrRateOf(const PreparedSettings& p) {
  return !p.ResampleIR ? 0 : p.AtStreamRate ? p.SampleRate : -1;
}

bool ForRate(Caller caller) { return caller == Caller::FirstRate || caller == Caller::Preparer; }
bool OnAudio(Caller caller) { return caller == Caller::NewChannels || caller == Caller::FirstRate; }

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

// The dry line the build's engine needs beside the one the snapshot found:
// a new stream's (empty after a failure), a longer one, or none. False when
// its memory fails.
bool BuildDryLine(const Snapshot& s, Built* b) {
  const int32_t length = b->Engine ? LineFramesFor(*b->Engine, s.Rate, s.Match) : 0;
  if (s.Want.Channels == s.DryChannels && length <= s.DryLength) return true;
  return AllocDryLine(&b->Dry, s.Want.Channels, length);
}

// A build that ended with `result` and no engine.
Built Failed(int32_t result) {
  Built b{};
  b.Result = result;
  return b;
}

// The build step of a full load, outside every lock but the planner's: the
// file, the plans, the IR's spectra and analysis, then the engine of the kind
// asked for.
Built BuildEngineFor(const PreparedSettings& want, const PartitionLayout& layout) {
  Built b = Failed(PrepareOk);
  OwnedFile file(std::fopen(want.IRFile, "rb"));
  if (!file) return Failed(PrepareOpenFailed);
  WavFormat format{};
  int32_t dataSize = 0;
  if (ReadWavHeader(file.get(), &format, &dataSize) != 0) return Failed(PrepareBadWav);
  // With ResampleIR the IR is converted first: the limit, the block length,
  // the peak and the graph all see it at the stream's rate.
  int64_t frames = dataSize / format.BlockAlign;
  ResampledIr converted{};
  if (want.AtStreamRate && NeedsResampling(format.SampleRate, want.SampleRate)) {
    if (!ResampleIr(file.get(), ConversionInput(want, frames, format.SampleRate), format.Channels,
                    static_cast<int32_t>(format.SampleRate), want.SampleRate, &converted)) {
      return Failed(PrepareNoMemory);
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
    const int32_t rate = UsableRate(want.SampleRate) ? want.SampleRate : ConversionRate();
    b.Loudness.reset(MeasureLoudness(route, ir, rate));
    if (b.Loudness)
      b.Engine = BuildEngine(EngineKindFor(want.LowLatency), route, &ir, b.Analysis.PeakMagnitude,
                             {&Settings.GainLinear, &Settings.Mix, layout});
  }
  FreeResampledIr(&converted);
  FreePreparedIr(&ir);
  if (!b.Engine) {
    b.Result = PrepareNoMemory;
    b.Loudness.reset();
  }
  return b;
}

// The build step: the engine, then the dry line it needs.
Built Build(const Snapshot& s) {
  Built b = BuildEngineFor(s.Want, s.Layout);
  if (!BuildDryLine(s, &b)) {
    ReleaseEngine(b.Engine);
    b = Failed(PrepareNoMemory);
    BuildDryLine(s, &b);  // a new stream's empty line takes no memory
  }
  return b;
}

// Under EngineLock: a fast restart or nothing to do (false, with the
// result), or the snapshot a full load builds from (true).
bool Begin(Caller caller, int32_t channels, const FileStamp& stamp, bool again, Snapshot* s,
           int32_t* result) {
  const PreparedSettings& p = life.Prepared;
  if (PermitFor(caller, life.Phase.load()) == Permit::Refuse) {
    *result = PrepareRefused;
    return false;
  }
  s->Generation = life.Generation;
  s->Layout = life.Layout;
  s->DryChannels = life.Dry.Channels;
  s->DryLength = life.Dry.Length;
  s->Rate = ConversionRate();
  s->OnAudio = OnAudio(caller);
  s->Match = Settings.MatchLoudness != 0;
  s->OnWindow = caller == Caller::Window;
  if (ForRate(caller)) {
    // Already at this rate, or no conversion wanted.
    if (!p.ResampleIR || (p.AtStreamRate && p.SampleRate == ConversionRate())) {
      *result = PrepareOk;
      return false;
    }
    s->Want = p;
    s->Want.AtStreamRate = 1;
    s->Want.SampleRate = ConversionRate();
    s->Want.AutoGain = Settings.AutoGain;  // the listener's gain stands unless automatic now
  } else {
    const int32_t known = p.Channels != kNoStream ? p.Channels : 2;
    const int32_t count = caller != Caller::Window ? channels : known;
    const bool sameFile = stamp.Size < 0 || (stamp.Size == p.FileSize && stamp.Time == p.FileTime);
    if (p.Channels == count && SettingsMatch(p) && sameFile) {
      if (life.Phase.load() == LifePhase::Ready) {
        // The fast restart; but a listener who chose the kind that ramps
        // hears nothing of an Apply that changes nothing.
        if (caller != Caller::Window || !life.Engine->Kind->Ramps) ResetEngine(life.Engine);
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
    s->Want = SettingsNow(count, caller != Caller::NewChannels ||
                                     (life.Rate.First.load() && UsableRate(Settings.SampleRate)));
  }
  if (std::strcmp(s->Want.IRFile, ForRate(caller) ? p.IRFile : Settings.IRFile) == 0) {
    s->Want.FileSize = stamp.Size;
    s->Want.FileTime = stamp.Time;
  }
  return true;
}

// The memory retry: two engines did not fit side by side, so the one this
// preparation replaces goes first (audio passes meanwhile), with any still
// fading or parked, but only while it is still the one in force. True when
// it went.
bool MakeRoom(Snapshot* s) {
  Retired retired;
  EngineLockGuard hold;
  if (life.Generation != s->Generation || life.Phase.load() != LifePhase::Ready) return false;
  retired.Take(&life.Parked);
  retired.Take(&life.Fade.Out);
  retired.Take(&life.Engine);
  s->Generation = ++life.Generation;
  Settle();
  return true;
}

// The stale rule, under EngineLock: the window's result is built again when
// the settings or the stream's channel count moved on meanwhile; a rate's
// when another engine came in or the rate moved on. A stream's own
// preparation always ends with a swap.
bool Stale(Caller caller, const Snapshot& s) {
  if (ForRate(caller)) {
    return life.Generation != s.Generation || s.Want.SampleRate != ConversionRate();
  }
  if (caller != Caller::Window) return false;
  if (!SettingsMatch(s.Want)) return true;
  const int32_t now = life.Prepared.Channels;
  return now != kNoStream && now != s.Want.Channels;
}

// Under EngineLock: the built line in force when the stream is new or it is
// longer than the one in force, carrying what that one holds. Leaves in *b
// the line to release.
void SwapDryLine(Built* b) {
  if (b->Dry.Channels == 0) return;
  const bool newStream = b->Dry.Channels != life.Dry.Channels;
  if (!newStream) {
    if (b->Dry.Length <= life.Dry.Length) return;  // another preparation grew it meanwhile
    CarryDryLine(life.Dry, &b->Dry);
  }
  const DryLine old = life.Dry;
  life.Dry = b->Dry;
  b->Dry = old;
  if (newStream) StartStream(life.Dry);
}

// The commit, under EngineLock: the new engine (or none, after a failure)
// with what its preparation set, between two buffers. With `primed` at
// `gain` the engine in force fades out beside the new one; after a failed
// Load one of a kind that ramps fades out to the music as it comes;
// otherwise it goes into *out, with any still fading. Leaves in *b the dry
// line to release.
void SwapIn(Caller caller, const Snapshot& s, Built* bp, bool primed, double gain, Retired* out) {
  SwapDryLine(bp);
  const Built& b = *bp;
  ConvolutionEngine* old = life.Engine;
  out->Take(&life.Parked);
  const bool faded = primed || (!b.Engine && caller == Caller::Window && !s.OnAudio &&
                                life.Phase.load() == LifePhase::Ready &&
                                s.Want.Channels == life.Prepared.Channels);
  if (!faded || !StartFade(old, b.Engine, gain, out)) {
    out->Take(&life.Fade.Out);  // a fade still running ends with the stream it was of
    out->Take(&old);
  }
  if (s.Want.Channels != life.Prepared.Channels) life.Ramps = StreamRamps{};  // a new stream
  life.Engine = b.Engine;
  life.Result = b.Result;
  life.Prepared = s.Want;
  ++life.Generation;
  life.Channels = s.Want.Channels;
  life.Rate.IrRate = IrRateOf(s.Want);
  life.Rate.Asked = 0;  // another engine: its rate is asked for afresh
  Settle();
  std::swap(life.Loudness, bp->Loudness);
  if (b.Engine) {
    PublishIrGraph(b.Analysis.Graph);
    if (s.Match) SetMatch(b.Engine, b.Match);
    if (s.Want.AutoGain && !s.Match) SetGainDB(AutoGainDB(b.Analysis.PeakMagnitude));
  }
}

// Under EngineLock: a failed build leaves the engine in force when it is a
// rate's, or when another thread swapped that engine in after the window's
// snapshot. A stream's own failure always goes in: the engine in force was
// for another channel count.
bool Keeps(Caller caller, const Snapshot& s) {
  return ForRate(caller) || (caller == Caller::Window && life.Generation != s.Generation);
}

}  // namespace

void Retired::Take(ConvolutionEngine** e) {
  if (!*e) return;
  for (ConvolutionEngine*& slot : Engines) {
    if (!slot) {
      slot = *e;
      *e = nullptr;
      return;
    }
  }
}

Retired::~Retired() {
  for (ConvolutionEngine* e : Engines) ReleaseEngine(e);
}

int32_t Prepare(Caller caller, int32_t channels) {
  // After Quit the lock is gone: refused before it is taken.
  if (PermitFor(caller, life.Phase.load()) == Permit::Refuse) return PrepareRefused;
  bool retried = false;
  for (bool again = false;; again = true) {
    // The file is looked at outside the lock; only the window writes the
    // path, so the copy taken here is the one the lock sees next.
    char path[kPathChars];
    {
      EngineLockGuard hold;
      std::memcpy(path, ForRate(caller) ? life.Prepared.IRFile : Settings.IRFile, kPathChars);
    }
    path[kPathChars - 1] = '\0';
    const FileStamp stamp = StampOf(path);
    Snapshot s;
    int32_t result = PrepareOk;
    {
      EngineLockGuard hold;
      if (!Begin(caller, channels, stamp, again, &s, &result)) return result;
    }
    // At most two engines live while this one builds: the one in force and
    // the new one (the audio thread's own preparations leave that to the
    // next one beside it).
    if (!s.OnAudio) {
      Retired before;
      ClearFades(&before);
    }
    Built built = Build(s);
    if (auto hook = BeforeEngineSwap.load()) hook();
    // A rate's conversion that does not fit leaves the engine in force
    // playing at the old rate: the next rate change or Apply tries again.
    if (built.Result == PrepareNoMemory && !retried && !ForRate(caller)) {
      retried = true;
      if (MakeRoom(&s)) {
        FreeDryLine(&built.Dry);
        built = Build(s);
      }
    }
    if (s.Match && built.Engine) built.Match = MatchForBuild(s, *built.Loudness);
    Priming prime;
    const bool canPrime = prime.Start(caller, s, built);
    Retired retired;
    bool stale = false, swapped = false;
    FadeWait wait;
    for (;; PauseBriefly()) {
      const bool primed = canPrime && PrimeBeside(caller, s, built, &prime);
      EngineLockGuard hold;
      if (life.Phase.load() == LifePhase::AfterQuit) {
        result = PrepareRefused;  // Quit came meanwhile: nothing goes in
      } else if (Stale(caller, s)) {
        stale = true;
      } else if (!built.Engine && Keeps(caller, s)) {
        result = life.Engine && SettingsMatch(life.Prepared) ? PrepareOk : built.Result;
      } else {
        const bool fade = primed && Primable(caller, s, built);
        // A fade that still runs ends first, within 50 ms of the stream.
        if (fade && life.Fade.Out && wait.Again()) continue;
        if (fade) CatchUp(&prime, built.Engine);
        SwapIn(caller, s, &built, fade, prime.Gain, &retired);
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
    if (built.Engine && s.Want.AutoGain && !s.Match) {
      if (auto shown = GainSetByEngine.load()) shown();
    }
    return result;
  }
}
