// SPDX-License-Identifier: GPL-2.0-or-later
// The plug-in's life: its phase, the events that move it (the host's calls,
// the window's, a stream's changes) as the table of permits says, and the
// host's processing entry.
#include "life/life.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "engine/engine_lock.h"
#include "life/life_private.h"

std::atomic<void (*)()> BeforeEngineSwap{nullptr};
std::atomic<void (*)()> PreparationWanted{nullptr};

Life life;

int32_t ConversionRate() {
  const int32_t now = Settings.SampleRate;
  return UsableRate(now) ? now : life.Rate.Last.load();
}

int32_t RampFrames(int32_t rate) {
  const int32_t at = UsableRate(rate) ? rate : life.Rate.Last.load();
  return static_cast<int32_t>(std::lround(kRampSeconds * at));
}

bool SettingsMatch(const PreparedSettings& p) {
  return std::strcmp(p.IRFile, Settings.IRFile) == 0 && p.IRLimit == Settings.IRLimit &&
         p.IRLimitEn == Settings.IRLimitEn && p.ForceMonoIn == Settings.ForceMonoIn &&
         p.ForceMonoOut == Settings.ForceMonoOut && p.LowLatency == Settings.LowLatency &&
         p.ResampleIR == Settings.ResampleIR &&
         (!p.ResampleIR || (p.AtStreamRate && p.SampleRate == ConversionRate()));
}

void Settle() {
  const LifePhase now = life.Phase.load();
  if (now == LifePhase::Ready || now == LifePhase::Passing) {
    life.Phase = life.Engine ? LifePhase::Ready : LifePhase::Passing;
  }
}

// The stream's rate as a buffer brings it (44100 until the first): the
// settings' one writer.
void NoteRate(int32_t rate) {
  Settings.SampleRate = rate;
  if (UsableRate(rate)) life.Rate.Last = rate;
}

void StartStream(const DryLine& line) {
  life.Rate.Lined = 0;
  life.Rate.LinedFrom = line.Written;
  life.AwaySince = -1;  // the match follows this stream's music from its start
  life.LastGlide = INT64_MIN / 2;
}

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
  NoteRate(44100);
  life.Rate.Asked = 0;
  life.Rate.First = true;
  if (startUpPreparation) ArmStartUpSignal();
  EngineLockGuard hold;
  life.Ramps = StreamRamps{};  // the settings in force at Init apply at once
  StartStream(life.Dry);
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

void WaitForHostCalls() {
  // A buffer still in its call (inside a full load, say) ends before the
  // lock goes; it commits nothing now.
  while (life.Calls.load() != 0) PauseBriefly();
}

void ReleaseLife() {
  WaitForHostCalls();
  EndLoudnessFollow();
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
  const bool stream = channels == 1 || channels == 2;
  return Prepare(stream ? Caller::Stream : Caller::Window, channels);
}

int32_t PrepareForRate() { return Prepare(Caller::Preparer, 0); }

void PrepareEngineAtStartUp() {
  bool prepared;
  {
    EngineLockGuard hold;
    // A buffer got here first and prepared (or failed to) with these settings:
    // restarting would clear the audio already in the engine.
    prepared = life.Prepared.Channels != kNoStream && SettingsMatch(life.Prepared);
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
  DryLine dry;
  Retired retired;
  Owned<IrLoudness> loudness;
  {
    EngineLockGuard hold;
    std::swap(loudness, life.Loudness);
    retired.Take(&life.Fade.Out);
    retired.Take(&life.Parked);
    retired.Take(&life.Engine);
    ++life.Generation;
    life.Prepared = PreparedSettings{};
    life.Result = PrepareOk;
    life.Channels = kNoStream;
    life.Rate.IrRate = 0;
    life.Rate.Asked = 0;
    Settle();
    ClearIrGraph();
    dry = life.Dry;
    life.Dry = DryLine{};
    StartStream(life.Dry);
  }
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
  const int32_t irRate = life.Rate.IrRate.load();
  return irRate != 0 && irRate != rate;
}

// What a host call asks for, done as the table permits it in the phase of
// the moment.
int32_t Ask(Caller caller, int32_t channels) {
  switch (PermitFor(caller, life.Phase.load())) {
    case Permit::WaitThenAsk:
      WaitForStartUpSignal();
      // No signal to wait on (it could not be made): the buffer prepares.
      if (life.Phase.load() == LifePhase::Starting) return Prepare(caller, channels);
      return Ask(caller, channels);
    case Permit::Prepare:
      return Prepare(caller, channels);
    case Permit::AskBeside:
      if (auto wake = PreparationWanted.load()) wake();
      return PrepareOk;
    case Permit::Refuse:
      break;
  }
  return PrepareRefused;
}

}  // namespace

int32_t ProcessSamples(void* /*module*/, int16_t* samples, int32_t frames, int32_t bits,
                       int32_t channels, int32_t rate) {
  const CallUnderWay call;
  // Before Init and after Quit (a bridge flushing a last buffer, a plug-in
  // switched while playing) the buffer passes and nothing is prepared.
  const LifePhase phase = life.Phase.load();
  if (phase == LifePhase::BeforeInit || phase == LifePhase::AfterQuit) return frames;
  NoteRate(rate);
  // Only 8, 16 and 24-bit mono or stereo can be convolved in place; anything
  // else is passed through rather than misread or written past its end.
  if ((bits != 8 && bits != 16 && bits != 24) || (channels != 1 && channels != 2)) return frames;
  // Bypassed, nothing is prepared and the buffer comes back untouched, but
  // the engine in force and the dry go on taking the stream, so that turning
  // the reverb on again carries on as if it had never been off.
  const bool active = Settings.Active;
  if (active) {
    // No dry start: the first buffers wait for the start-up preparation.
    if (phase == LifePhase::Starting) WaitForStartUpSignal();
    if (channels != life.Channels.load()) Ask(Caller::NewChannels, channels);
  }
  if (UsableRate(rate)) {
    // With ResampleIR the first rate after Init is waited for, once, as the
    // start-up preparation is; every later one is asked of the preparer,
    // beside the audio, bypassed or not. A rate outside what a conversion
    // can take is no change.
    if (active && life.Rate.First.exchange(false) && RateDiffers(rate)) {
      Ask(Caller::FirstRate, 0);
    }
    if (RateDiffers(rate) && life.Rate.Asked.exchange(rate) != rate) Ask(Caller::LaterRate, 0);
  }
  if (!samples) return frames;

  EngineLockGuard hold;
  DryLine* dry = &life.Dry;
  const LifePhase now = life.Phase.load();
  if (now == LifePhase::AfterQuit || dry->Channels != channels) return frames;
  // An engine plays only a buffer of its own stream, with the line it reads.
  const auto fits = [&](const ConvolutionEngine* x) {
    return x && (x->Route.InputMode == InputMono) == (channels == 1) &&
           dry->Length >= x->BlockLength;
  };
  ConvolutionEngine* e = now == LifePhase::Ready && fits(life.Engine) ? life.Engine : nullptr;
  ConvolutionEngine* out = fits(life.Fade.Out) ? life.Fade.Out : nullptr;
  if (!e && !out) {
    KeepDry(dry, samples, frames, bits);  // passing: the dry still takes the stream
    return frames;
  }
  if (UsableRate(rate) && rate != life.Rate.Lined) {
    life.Rate.Lined = rate;
    life.Rate.LinedFrom = dry->Written;  // priming takes only music at the stream's rate
  }
  // The ramps follow the engine heard: the one in force, or the one fading
  // out to the music after a failed load.
  ConvolutionEngine* ramping = e ? e : out;
  bool write = active;
  if (ramping->Kind->Ramps) {
    write = AimRamps(ramping, &life.Ramps, active, RampFrames(rate));
  } else {
    life.Ramps = StreamRamps{};  // the next kind that ramps starts where the settings are
  }
  auto* bytes = static_cast<uint8_t*>(static_cast<void*>(samples));
  int32_t done = 0;
  if (out) {
    ConvolutionEngine* ended = nullptr;
    done = StreamCrossfade(&life.Fade, e, dry, &life.Ramps, write, bytes, frames, channels, bits,
                           &ended);
    if (ended) life.Parked = ended;  // freed beside the audio, never here
  }
  bytes += static_cast<size_t>(done) * channels * (bits / 8);
  if (!e) {
    KeepDry(dry, bytes, frames - done, bits);
  } else if (write) {
    StreamEngine(e, dry, &life.Ramps, bytes, frames - done, bits);
  } else {
    FeedEngine(e, dry, &life.Ramps, bytes, frames - done, bits);
  }
  return frames;
}
