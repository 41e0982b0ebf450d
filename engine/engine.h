// SPDX-License-Identifier: GPL-2.0-or-later
// The convolution engine record, its channel pairs and the operations that
// size, prepare and run it.
#pragma once

#include <fftw3.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <atomic>
#include <cstdint>

#include "engine/low_latency.h"
#include "settings/settings.h"

// One or two zero-filled arrays of doubles, one per channel.
struct ChannelPair {
  int32_t Channels;  // 1 or 2; Data[1] is null with 1
  double* Data[2];
};

// Per-frame routing: how each frame's input is taken and its output written.
enum InputRoute : int32_t {
  InputMono = 0,        // one channel in, one out
  InputMixedToOne = 1,  // two in, mixed to one, the one result written to both
  InputMixedToTwo = 2,  // two in, mixed to one, two results out
  InputStereo = 3,      // two in, two out
};

// Per-block routing: which spectra meet which IR channel.
enum BlockRoute : int32_t {
  BlockMono = 0,           // channel 0 with IR channel 0
  BlockOneToTwoIrs = 1,    // one input spectrum with IR channels 0 and 1, two outputs
  BlockTwoWithOneIr = 2,   // channels 0 and 1, both with IR channel 0
  BlockTwoWithTwoIrs = 3,  // channel c with IR channel c
};

struct ConvolutionEngine {
  // Settings the current load was made with, read once by each full load.
  char PreparedIRFile[kPathChars];
  int32_t PreparedIRLimit;
  int32_t PreparedIRLimitEn;
  int32_t PreparedForceMonoIn;
  int32_t PreparedForceMonoOut;
  int32_t PreparedLowLatency;             // the partitioned engine
  int32_t PreparedAutoGain;               // not part of the fast-restart test
  int32_t PreparedSampleRate;             // for the limit and the graph; not tested either
  std::atomic<int32_t> PreparedChannels;  // 0 before the first load; read unlocked

  std::atomic<int32_t> EngineLoaded;  // 1 when everything below is valid
  InputRoute InputMode;               // per-frame routing
  BlockRoute BlockMode;               // per-block routing
  int32_t BlockLength;                // h: frames per block, also the latency
  int32_t FftLength;                  // N = 2h
  int32_t FillPos;                    // h + frames of the current block so far
  fftw_plan ForwardPlan;              // N reals to N/2+1 complex bins
  fftw_plan InversePlan;              // N/2+1 complex bins to N reals
  double* InputBlock[2];              // current block's scaled input, h each
  int32_t InputCursor[2];             // index of the next input value
  ChannelPair WorkBuffer;             // previous block, then current block or output; N each
  int32_t OutputCursor[2];            // index of the next output value
  ChannelPair SpectrumBuffer;         // block spectra, scratch; N + 2 each (DC..Nyquist bins)
  ChannelPair IrSpectrum;             // halfcomplex IR spectra, N each
  double PeakMagnitude;               // IR's peak gain over frequency
  // With PreparedLowLatency: the partitions, stepped every BlockLength
  // frames (their first size); the plans and IrSpectrum above are then unused.
  LowLatencyState Partitioned;
};

extern ConvolutionEngine Engine;

// Results of PrepareEngine.
enum PrepareResult : int32_t {
  PrepareOk = 0,
  PrepareOpenFailed = 1,
  PrepareBadWav = 2,
  PrepareNoMemory = 3,
};

// Block length for an IR of n frames: at least n, built from 2, 3, 5, 7 and
// at most one 11 and one 13. Wide so that no frame count can overflow it.
int64_t ChooseBlockLength(int64_t frames);

// 1 on success, 0 on failure with the pair left empty.
int AllocChannelPair(ChannelPair* pair, int32_t channels, int64_t length);
void FreeChannelPair(ChannelPair* pair, int32_t channels);

// Releases every buffer and plan; a second call does nothing.
void TearDownEngine();

// Releases everything under EngineLock and marks the engine unprepared, so
// that the next PrepareEngine makes a full load and any stream prepares.
void UnloadEngine();

// Brings the engine to a state that can convolve a stream of `channels`
// channels with the IR the settings name (fast restart or full reload).
// Takes EngineLock for the whole call.
int32_t PrepareEngine(int32_t channels);

// The UI thread's first preparation after Init: does nothing when a buffer
// has already prepared the engine (or tried to) with the same settings.
// PreparedChannels 0 means nothing was prepared since Init.
void PrepareEngineAtStartUp(int32_t channels);

// The host's processing entry, on the host's audio thread. Convolves the
// buffer in place and returns frames unchanged.
// Real-time rules: no allocation, no file access and no planning unless the
// stream's channel count changes (which prepares the engine); the only wait
// is for EngineLock, held for the whole buffer.
int32_t ProcessSamples(void* module, int16_t* samples, int32_t frames, int32_t bits,
                       int32_t channels, int32_t rate);

// GainDB that automatic gain derives from a peak gain: 6 - 20 log10(peak),
// truncated and held to -60..20; 0 for a silent IR.
int32_t AutoGainDB(double peak);

// out(v): clip to 16 bits, truncating toward zero; NaN gives 0. Loud audio
// clips at random, and a mispredicted branch per sample would cost more than
// the convolution, so the clamp is done with min/max instructions.
inline int16_t ToSample(double v) {
#if defined(__SSE2__)
  __m128d x = _mm_max_sd(_mm_set_sd(-32768.0), _mm_set_sd(v));  // NaN passes through
  x = _mm_min_sd(_mm_set_sd(32767.0), x);
  // NaN converts to 0x80000000, whose low 16 bits are 0.
  return static_cast<int16_t>(_mm_cvttsd_si32(x) & 0xFFFF);
#else
  if (v != v) return 0;
  if (v > 32767.0) return 32767;
  if (v < -32768.0) return -32768;
  return static_cast<int16_t>(static_cast<int32_t>(v));
#endif
}
