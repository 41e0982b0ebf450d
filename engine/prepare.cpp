// SPDX-License-Identifier: GPL-2.0-or-later
// PrepareEngine: the fast restart, or a full reload of the IR with its
// plans, routing, buffers and automatic gain.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "engine/engine.h"
#include "engine/engine_lock.h"
#include "engine/memory.h"
#include "engine/plans.h"
#include "ir/impulse_response.h"
#include "ir/wav_header.h"

namespace {

// Routing: modes and channel counts for a stream of `channels` channels and
// an IR file of `fileChannels` channels.
struct Route {
  InputRoute inputMode;
  BlockRoute blockMode;
  int32_t workChannels, irChannels;
};

// Reads the snapshot, not the live settings, which the UI may change while a
// reload runs on the audio thread.
Route ChooseRoute(int32_t channels, int32_t fileChannels) {
  const ConvolutionEngine& e = Engine;
  if (channels == 1) return {InputMono, BlockMono, 1, 1};
  if (e.PreparedForceMonoOut) return {InputMixedToOne, BlockMono, 1, 1};
  if (e.PreparedForceMonoIn) {
    return fileChannels == 1 ? Route{InputMixedToOne, BlockMono, 1, 1}
                             : Route{InputMixedToTwo, BlockOneToTwoIrs, 2, 2};
  }
  return fileChannels == 1 ? Route{InputStereo, BlockTwoWithOneIr, 2, 1}
                           : Route{InputStereo, BlockTwoWithTwoIrs, 2, 2};
}

// The settings a load depends on are those of the last preparation.
bool SettingsMatchSnapshot() {
  const ConvolutionEngine& e = Engine;
  return std::strcmp(e.PreparedIRFile, Settings.IRFile) == 0 &&
         e.PreparedIRLimit == Settings.IRLimit && e.PreparedIRLimitEn == Settings.IRLimitEn &&
         e.PreparedForceMonoIn == Settings.ForceMonoIn &&
         e.PreparedForceMonoOut == Settings.ForceMonoOut &&
         e.PreparedLowLatency == Settings.LowLatency;
}

bool SnapshotMatches(int32_t channels) {
  return Engine.EngineLoaded == 1 && SettingsMatchSnapshot() && Engine.PreparedChannels == channels;
}

void ResetStream() {
  ConvolutionEngine& e = Engine;
  e.FillPos = e.BlockLength;
  for (int c = 0; c < e.WorkBuffer.Channels; ++c) {
    std::memset(e.WorkBuffer.Data[c], 0, sizeof(double) * e.FftLength);
    e.OutputCursor[c] = e.BlockLength;
  }
  e.InputCursor[0] = 0;
  e.InputCursor[1] = 0;
  if (e.PreparedLowLatency) ResetLowLatency(&e.Partitioned);
}

// The one read of the settings a full load uses.
void TakeSnapshot(int32_t channels) {
  ConvolutionEngine& e = Engine;
  std::memcpy(e.PreparedIRFile, Settings.IRFile, kPathChars);
  e.PreparedIRFile[kPathChars - 1] = '\0';
  e.PreparedIRLimit = Settings.IRLimit;
  e.PreparedIRLimitEn = Settings.IRLimitEn;
  e.EngineLoaded = 0;
  e.PreparedForceMonoIn = Settings.ForceMonoIn;
  e.PreparedForceMonoOut = Settings.ForceMonoOut;
  e.PreparedLowLatency = Settings.LowLatency;
  e.PreparedAutoGain = Settings.AutoGain;
  e.PreparedSampleRate = Settings.SampleRate;
  e.PreparedChannels = channels;
}

// Frames the IR limit allows, in 64 bits so no stored value can overflow.
int64_t LimitFrames(int64_t frames) {
  return LimitedFrames(frames, Engine.PreparedIRLimitEn, Engine.PreparedIRLimit,
                       Engine.PreparedSampleRate);
}

// The low-latency engine from the IR just loaded: its samples back from the
// spectrum (the same analysis, peak and graph as the one-block engine), cut
// into partitions; then the block becomes the small one.
bool SwitchToPartitions(const Route& route, int64_t frames) {
  ConvolutionEngine& e = Engine;
  const int32_t n = e.FftLength;
  Owned<double> bins(AllocDoubles(int64_t{n} + 2));
  Owned<double> time[2];
  if (!bins) return false;
  for (int c = 0; c < route.irChannels; ++c) {
    time[c].reset(AllocDoubles(n));
    if (!time[c]) return false;
    const double* h = e.IrSpectrum.Data[c];
    double* b = bins.get();
    for (int32_t k = 0; k <= n / 2; ++k) b[2 * k] = h[k];
    for (int32_t k = 1; k < n / 2; ++k) b[2 * k + 1] = h[n - k];
    b[1] = 0.0;
    b[n + 1] = 0.0;
    fftw_execute_dft_c2r(e.InversePlan, reinterpret_cast<fftw_complex*>(b), time[c].get());
  }
  FreeChannelPair(&e.IrSpectrum, e.IrSpectrum.Channels);
  fftw_destroy_plan(e.ForwardPlan);
  fftw_destroy_plan(e.InversePlan);
  e.ForwardPlan = e.InversePlan = nullptr;
  const double* ir[2] = {time[0].get(), time[1].get()};
  const int32_t inputs =
      route.blockMode == BlockTwoWithOneIr || route.blockMode == BlockTwoWithTwoIrs ? 2 : 1;
  if (!BuildLowLatency(&e.Partitioned, ir, route.irChannels, frames, inputs, route.workChannels,
                       route.blockMode == BlockTwoWithOneIr)) {
    return false;
  }
  e.BlockLength = e.Partitioned.Block;
  e.FftLength = 2 * e.Partitioned.Block;
  return true;
}

// A full load: the file, the plans, the routing, the IR, the buffers.
// Failures leave the engine torn down; the caller applies automatic gain.
int32_t FullReload(int32_t channels) {
  ConvolutionEngine& e = Engine;
  if (e.EngineLoaded == 1) TearDownEngine();
  TakeSnapshot(channels);

  OwnedFile file(std::fopen(e.PreparedIRFile, "rb"));
  if (!file) return PrepareOpenFailed;
  WavFormat format{};
  int32_t dataSize = 0;
  if (ReadWavHeader(file.get(), &format, &dataSize) != 0) return PrepareBadWav;
  const int64_t frames = LimitFrames(dataSize / format.BlockAlign);
  const int32_t n = TransformLength(frames);
  if (n == 0) return PrepareNoMemory;
  e.BlockLength = n / 2;
  e.FftLength = n;
  if (!MakeTransformPlans(n, FFTW_ESTIMATE, &e.ForwardPlan, &e.InversePlan)) {
    TearDownEngine();
    return PrepareNoMemory;
  }

  const Route route = ChooseRoute(channels, format.Channels);
  e.InputMode = route.inputMode;
  e.BlockMode = route.blockMode;
  e.WorkBuffer.Channels = route.workChannels;
  e.SpectrumBuffer.Channels = route.workChannels;
  e.IrSpectrum.Channels = route.irChannels;
  IrAnalysis analysis;
  if (!LoadImpulseResponse(&e.IrSpectrum, file.get(), static_cast<int32_t>(frames),
                           route.irChannels, format.Channels, e.PreparedSampleRate, &analysis)) {
    TearDownEngine();
    return PrepareNoMemory;
  }
  file.reset();
  e.PeakMagnitude = analysis.PeakMagnitude;
  PublishIrGraph(analysis.Graph);
  if (e.PreparedLowLatency && !SwitchToPartitions(route, frames)) {
    TearDownEngine();
    return PrepareNoMemory;
  }

  if (!AllocChannelPair(&e.WorkBuffer, route.workChannels, e.FftLength) ||
      !AllocChannelPair(&e.SpectrumBuffer, route.workChannels, int64_t{e.FftLength} + 2)) {
    TearDownEngine();
    return PrepareNoMemory;
  }
  for (int c = 0; c < route.workChannels; ++c) {
    e.InputBlock[c] = AllocDoubles(e.BlockLength);
    if (!e.InputBlock[c]) {
      TearDownEngine();
      return PrepareNoMemory;
    }
  }
  ResetStream();
  e.EngineLoaded = 1;
  return PrepareOk;
}

// After a full load: the gain the IR asks for, when automatic gain is on.
void ApplyAutoGain() {
  if (!Engine.PreparedAutoGain) return;
  SetGainDB(AutoGainDB(Engine.PeakMagnitude));
  if (auto shown = GainSetByEngine.load()) shown();
}

int32_t Reload(int32_t channels) {
  const int32_t result = FullReload(channels);
  if (result == PrepareOk) ApplyAutoGain();
  return result;
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
  EngineLockGuard hold;
  if (SnapshotMatches(channels)) {
    ResetStream();
    return PrepareOk;
  }
  return Reload(channels);
}

void PrepareEngineAtStartUp(int32_t channels) {
  EngineLockGuard hold;
  // A buffer got here first and prepared (or failed to) with these settings:
  // restarting would clear the audio already in the engine.
  if (Engine.PreparedChannels != 0 && SettingsMatchSnapshot()) return;
  Reload(channels);
}
