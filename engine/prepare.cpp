// SPDX-License-Identifier: GPL-2.0-or-later
// PrepareEngine: the fast restart, or a full reload of the IR with its
// plans, routing, buffers and automatic gain.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "engine/engine.h"
#include "engine/engine_lock.h"
#include "engine/memory.h"
#include "ir/impulse_response.h"
#include "ir/wav_header.h"

namespace {

// Routing: modes and channel counts for a stream of `channels` channels and
// an IR file of `fileChannels` channels.
struct Route {
  int32_t inputMode, blockMode, workChannels, irChannels;
};

// Reads the snapshot, not the live settings, which the UI may change while a
// reload runs on the audio thread.
Route ChooseRoute(int32_t channels, int32_t fileChannels) {
  const ConvolutionEngine& e = Engine;
  if (channels == 1) return {0, 0, 1, 1};
  if (e.PreparedForceMonoOut) return {1, 0, 1, 1};
  if (e.PreparedForceMonoIn) return fileChannels == 1 ? Route{1, 0, 1, 1} : Route{2, 1, 2, 2};
  return fileChannels == 1 ? Route{3, 2, 2, 1} : Route{3, 3, 2, 2};
}

bool SnapshotMatches(int32_t channels) {
  const ConvolutionEngine& e = Engine;
  return e.EngineLoaded == 1 && std::strcmp(e.PreparedIRFile, Settings.IRFile) == 0 &&
         e.PreparedIRLimit == Settings.IRLimit && e.PreparedIRLimitEn == Settings.IRLimitEn &&
         e.PreparedForceMonoIn == Settings.ForceMonoIn &&
         e.PreparedForceMonoOut == Settings.ForceMonoOut && e.PreparedChannels == channels;
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
}

void TakeSnapshot(int32_t channels) {
  ConvolutionEngine& e = Engine;
  std::memcpy(e.PreparedIRFile, Settings.IRFile, kPathChars);
  e.PreparedIRFile[kPathChars - 1] = '\0';
  e.PreparedIRLimit = Settings.IRLimit;
  e.PreparedIRLimitEn = Settings.IRLimitEn;
  e.EngineLoaded = 0;
  e.PreparedForceMonoIn = Settings.ForceMonoIn;
  e.PreparedForceMonoOut = Settings.ForceMonoOut;
  e.PreparedChannels = channels;
}

// Frames the IR limit allows, in 64 bits so no stored value can overflow.
int64_t LimitFrames(int64_t frames) {
  if (!Engine.PreparedIRLimitEn) return frames;
  const int64_t ms = Engine.PreparedIRLimit ? Engine.PreparedIRLimit : 10;
  const int64_t limit = ms * Settings.SampleRate / 1000;
  if (limit < frames) frames = limit;
  return frames < 0 ? 0 : frames;
}

// Plans for the arrays they will run on: fftw_malloc'ed, out of place.
bool MakePlans(int32_t n) {
  double* real = AllocDoubles(n);
  double* bins = real ? AllocDoubles(int64_t{n} + 2) : nullptr;
  if (bins) {
    auto* complex = reinterpret_cast<fftw_complex*>(bins);
    Engine.ForwardPlan = fftw_plan_dft_r2c_1d(n, real, complex, FFTW_ESTIMATE);
    Engine.InversePlan = fftw_plan_dft_c2r_1d(n, complex, real, FFTW_ESTIMATE);
  }
  FreeMemory(bins);
  FreeMemory(real);
  return Engine.ForwardPlan && Engine.InversePlan;
}

int32_t FullReload(int32_t channels) {
  ConvolutionEngine& e = Engine;
  if (e.EngineLoaded == 1) TearDownEngine();
  TakeSnapshot(channels);

  std::FILE* file = std::fopen(e.PreparedIRFile, "rb");
  if (!file) return PrepareOpenFailed;
  WavFormat format{};
  int32_t dataSize = 0;
  if (ReadWavHeader(file, &format, &dataSize) != 0) {
    std::fclose(file);
    return PrepareBadWav;
  }
  const int64_t frames = LimitFrames(dataSize / format.BlockAlign);
  int64_t block = ChooseBlockLength(frames);
  if (block <= 0) block = 1;
  // N + 2 doubles per spectrum must fit FFTW's int and our sizes.
  if (2 * block + 2 > INT32_MAX) {
    std::fclose(file);
    return PrepareNoMemory;
  }
  e.BlockLength = static_cast<int32_t>(block);
  e.FftLength = 2 * e.BlockLength;
  if (!MakePlans(e.FftLength)) {
    TearDownEngine();
    std::fclose(file);
    return PrepareNoMemory;
  }

  const Route route = ChooseRoute(channels, format.Channels);
  e.InputMode = route.inputMode;
  e.BlockMode = route.blockMode;
  e.WorkBuffer.Channels = route.workChannels;
  e.SpectrumBuffer.Channels = route.workChannels;
  e.IrSpectrum.Channels = route.irChannels;
  if (!LoadImpulseResponse(&e.IrSpectrum, file, static_cast<int32_t>(frames), route.irChannels,
                           format.Channels)) {
    TearDownEngine();
    std::fclose(file);
    return PrepareNoMemory;
  }
  std::fclose(file);

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
  if (Settings.AutoGain) {
    Settings.GainDB = AutoGainDB(e.PeakMagnitude);
    UpdateGainLinear();
  }
  e.EngineLoaded = 1;
  return PrepareOk;
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
  return FullReload(channels);
}
