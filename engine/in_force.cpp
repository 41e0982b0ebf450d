// SPDX-License-Identifier: GPL-2.0-or-later
// The engine in force: full loads built beside the audio and swapped in
// under EngineLock between two buffers, fast restarts, and the host's
// processing entry.
#include "engine/in_force.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "engine/engine_lock.h"
#include "engine/plans.h"
#include "ir/impulse_response.h"
#include "ir/wav_header.h"

std::atomic<void (*)()> BeforeEngineSwap{nullptr};

namespace {

struct InForce {
  PreparedSettings Prepared;      // under EngineLock
  ConvolutionEngine* Engine;      // under EngineLock; null: audio passes through
  int32_t Result;                 // under EngineLock: how the load of Prepared ended
  std::atomic<int32_t> Channels;  // Prepared.Channels, for the audio thread's unlocked test
  std::atomic<int32_t> Rate;      // Prepared.SampleRate, likewise
};
InForce inForce;

// A rate a conversion can aim at. Some players probe or flush with rate 0.
bool UsableRate(int32_t rate) { return rate >= 1000 && rate <= 768000; }
std::atomic<int32_t> lastUsableRate{44100};

// The stream's rate for ResampleIR: the last usable one given.
int32_t ConversionRate() {
  const int32_t now = Settings.SampleRate;
  return UsableRate(now) ? now : lastUsableRate.load();
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
         p.ResampleIR == Settings.ResampleIR && (!p.ResampleIR || p.SampleRate == ConversionRate());
}

// The one read of the settings a full load uses, under EngineLock (the
// window writes the IR path under it).
PreparedSettings TakeSnapshot(int32_t channels) {
  PreparedSettings p{{},
                     Settings.IRLimit,
                     Settings.IRLimitEn,
                     Settings.ForceMonoIn,
                     Settings.ForceMonoOut,
                     Settings.LowLatency,
                     Settings.ResampleIR,
                     Settings.AutoGain,
                     Settings.ResampleIR ? ConversionRate() : Settings.SampleRate.load(),
                     channels,
                     0,
                     0};
  std::memcpy(p.IRFile, Settings.IRFile, kPathChars);
  p.IRFile[kPathChars - 1] = '\0';
  return p;
}

// Frames of the file worth converting: all of them, or under the size limit
// those that reach its end at the stream's rate, with room for the
// converter's filter.
int64_t ConversionInput(const PreparedSettings& want, int64_t frames, int64_t fileRate) {
  if (!want.IRLimitEn) return frames;
  const int64_t limited = LimitedFrames(frames, 1, want.IRLimit, want.SampleRate);
  if (limited >= frames) return frames;
  // Both factors are below 2^32: no overflow.
  const int64_t needed = limited * fileRate / want.SampleRate + 256;
  return needed < frames ? needed : frames;
}

struct Built {
  int32_t Result;
  ConvolutionEngine* Engine;  // null after a failure
  IrAnalysis Analysis;
};

// A full load, outside every lock but the planner's: the file, the plans,
// the IR's spectra and analysis, then the engine of the kind asked for.
Built Build(const PreparedSettings& want) {
  Built b{PrepareOk, nullptr, {}};
  OwnedFile file(std::fopen(want.IRFile, "rb"));
  if (!file) return {PrepareOpenFailed, nullptr, {}};
  WavFormat format{};
  int32_t dataSize = 0;
  if (ReadWavHeader(file.get(), &format, &dataSize) != 0) return {PrepareBadWav, nullptr, {}};
  // With ResampleIR the IR is converted first: the limit, the block length,
  // the peak and the graph all see it at the stream's rate.
  int64_t frames = dataSize / format.BlockAlign;
  ResampledIr converted{};
  if (want.ResampleIR && NeedsResampling(format.SampleRate, want.SampleRate)) {
    if (!ResampleIr(file.get(), ConversionInput(want, frames, format.SampleRate), format.Channels,
                    static_cast<int32_t>(format.SampleRate), want.SampleRate, &converted)) {
      return {PrepareNoMemory, nullptr, {}};
    }
    frames = converted.Frames;
  }
  PreparedIr ir{};
  // In 64 bits, so that no stored limit or rate can overflow.
  ir.Frames = LimitedFrames(frames, want.IRLimitEn, want.IRLimit, want.SampleRate);
  ir.FftLength = TransformLength(ir.Frames);
  const EngineRoute route =
      ChooseRoute(want.Channels, format.Channels, want.ForceMonoIn, want.ForceMonoOut);
  if (ir.FftLength != 0 &&
      MakeTransformPlans(ir.FftLength, FFTW_ESTIMATE, &ir.Forward, &ir.Inverse) &&
      LoadImpulseResponse(file.get(), converted.Samples, static_cast<int32_t>(ir.Frames),
                          route.IrChannels, format.Channels, want.SampleRate, ir.FftLength,
                          ir.Forward, &ir.Spectra, &b.Analysis)) {
    file.reset();
    FreeResampledIr(&converted);
    b.Engine = BuildEngine(EngineKindFor(want.LowLatency), route, &ir, b.Analysis.PeakMagnitude);
  }
  FreeResampledIr(&converted);
  FreePreparedIr(&ir);
  if (!b.Engine) b.Result = PrepareNoMemory;
  return b;
}

// Under EngineLock: the new engine (or none, after a failure) with what its
// preparation set, between two buffers. Returns the engine it replaces.
ConvolutionEngine* SwapIn(const PreparedSettings& want, const Built& b) {
  ConvolutionEngine* old = inForce.Engine;
  inForce.Engine = b.Engine;
  inForce.Result = b.Result;
  inForce.Prepared = want;
  inForce.Channels = want.Channels;
  inForce.Rate = want.SampleRate;
  if (b.Engine) {
    PublishIrGraph(b.Analysis.Graph);
    if (want.AutoGain) SetGainDB(AutoGainDB(b.Analysis.PeakMagnitude));
  }
  return old;
}

// Under EngineLock: the load no longer fits what is current.
bool Stale(const PreparedSettings& want, bool followStream) {
  if (!SettingsMatch(want)) return true;
  const int32_t now = inForce.Prepared.Channels;
  return followStream && now != 0 && now != want.Channels;
}

// Under EngineLock: drops the engine in force, so that audio passes through.
ConvolutionEngine* TakeEngine() {
  ConvolutionEngine* old = inForce.Engine;
  inForce.Engine = nullptr;
  return old;
}

}  // namespace

int32_t AutoGainDB(double peak) {
  if (peak == 0.0) return 0;
  double db = 6.0 - 20.0 * std::log10(peak);
  if (db < -60.0) db = -60.0;  // held before the conversion, so it cannot overflow
  if (db > 20.0) db = 20.0;
  return static_cast<int32_t>(db);
}

int32_t PrepareEngine(int32_t channels) {
  const bool followStream = channels == kStreamChannels;
  bool retried = false;
  for (bool stale = false;; stale = true) {
    // The file is looked at outside the lock; only the window writes the
    // path, so the copy taken here is the one the lock sees next.
    char path[kPathChars];
    {
      EngineLockGuard hold;
      std::memcpy(path, Settings.IRFile, kPathChars);
    }
    path[kPathChars - 1] = '\0';
    const FileStamp stamp = StampOf(path);
    PreparedSettings want;
    {
      EngineLockGuard hold;
      const int32_t now = inForce.Prepared.Channels;
      const int32_t count = !followStream ? channels : now != 0 ? now : 2;
      const bool sameFile = stamp.Size < 0 || (stamp.Size == inForce.Prepared.FileSize &&
                                               stamp.Time == inForce.Prepared.FileTime);
      if (now == count && SettingsMatch(inForce.Prepared) && sameFile) {
        if (inForce.Engine) {
          ResetEngine(inForce.Engine);  // the fast restart
          return PrepareOk;
        }
        // Ours went stale because the audio thread loaded these very
        // settings meanwhile, and failed: so would we.
        if (stale) return inForce.Result;
      }
      want = TakeSnapshot(count);
      if (std::strcmp(want.IRFile, path) == 0) {
        want.FileSize = stamp.Size;
        want.FileTime = stamp.Time;
      }
    }
    Built built = Build(want);
    if (built.Result == PrepareNoMemory && !retried) {
      // Two engines did not fit side by side: the old one goes (audio passes
      // through meanwhile) and the load is tried once more.
      retried = true;
      ConvolutionEngine* old;
      {
        EngineLockGuard hold;
        old = TakeEngine();
      }
      if (old) {
        ReleaseEngine(old);
        built = Build(want);
      }
    }
    if (auto hook = BeforeEngineSwap.load()) hook();
    ConvolutionEngine* old = nullptr;
    bool late;
    {
      EngineLockGuard hold;
      late = Stale(want, followStream);
      if (!late) old = SwapIn(want, built);
    }
    if (late) {
      ReleaseEngine(built.Engine);
      continue;  // built again for what is current
    }
    ReleaseEngine(old);
    if (built.Engine && want.AutoGain) {
      if (auto shown = GainSetByEngine.load()) shown();
    }
    return built.Result;
  }
}

void PrepareEngineAtStartUp() {
  bool prepared;
  {
    EngineLockGuard hold;
    // A buffer got here first and prepared (or failed to) with these settings:
    // restarting would clear the audio already in the engine.
    prepared = inForce.Prepared.Channels != 0 && SettingsMatch(inForce.Prepared);
  }
  if (!prepared) PrepareEngine(kStreamChannels);
  GiveStartUpSignal();
}

void UnloadEngine() {
  ConvolutionEngine* old;
  {
    EngineLockGuard hold;
    old = TakeEngine();
    inForce.Prepared = PreparedSettings{};
    inForce.Channels = 0;
    inForce.Rate = 0;
    ClearIrGraph();
  }
  ReleaseEngine(old);
}

const ConvolutionEngine* EngineInForce() { return inForce.Engine; }
const PreparedSettings& PreparedInForce() { return inForce.Prepared; }

int32_t ProcessSamples(void* /*module*/, int16_t* samples, int32_t frames, int32_t bits,
                       int32_t channels, int32_t rate) {
  Settings.SampleRate = rate;
  // Only 8, 16 and 24-bit mono or stereo can be convolved in place; anything
  // else is passed through rather than misread or written past its end.
  if ((bits != 8 && bits != 16 && bits != 24) || (channels != 1 && channels != 2)) return frames;
  // Bypassed, nothing is prepared and the buffer comes back untouched, but
  // the engine in force goes on taking the stream, so that turning the
  // reverb on again carries on as if it had never been off.
  const bool active = Settings.Active;
  if (active) {
    // No dry start: the first buffers wait for the start-up preparation.
    WaitForStartUpSignal();
    // With ResampleIR a new rate needs the IR converted again, like a new
    // channel count; a rate outside what a conversion can take is no change.
    if (UsableRate(rate)) lastUsableRate = rate;
    if (channels != inForce.Channels.load() ||
        (Settings.ResampleIR && UsableRate(rate) && rate != inForce.Rate.load())) {
      PrepareEngine(channels);
    }
  }
  if (!samples) return frames;

  EngineLockGuard hold;
  ConvolutionEngine* e = inForce.Engine;
  if (!e || (e->Route.InputMode == InputMono) != (channels == 1)) return frames;
  if (active) {
    StreamEngine(e, samples, frames, bits);
  } else {
    FeedEngine(e, samples, frames, bits);
  }
  return frames;
}
