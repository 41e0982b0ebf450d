// SPDX-License-Identifier: GPL-2.0-or-later
// The low-latency engine: the IR convolved in partitions that grow along it
// (small at its head, large in its tail), so that output lags input by one
// small block while the cost stays near the one-block engine's. Everything
// runs on the thread that streams: each long level's work is spread over
// the calls of its period, so that no call carries a whole level step.
#pragma once

#include <fftw3.h>

#include <cstdint>

#include "engine/engine.h"

constexpr int kMaxLevels = 8;

// One size of partition: Count partitions of Size frames, from IR frame
// Offset on, each with its spectrum (Size + 1 complex bins, scaled for the
// inverse transform) and a frequency-domain delay line of the last Count
// input spectra of its size. The stored spectra are single precision: the
// products read them all at every step, so their bytes are the engine's
// cost, while the sums and transforms stay double.
//
// A level steps once a period (Size / Block calls). The step for the input
// that ends in call i runs, slice by slice, in calls i to i + period - 1,
// and its result is added to the output ring at the end of the last of
// them: so Offset is at least 2 Size - 2 Block. A step is a chain of work
// units: the forward transform of each input channel, then per path its
// products in runs of 8 bins and its inverse transform.
struct PartitionLevel {
  int32_t Size;
  int32_t Count;
  int64_t Offset;
  int32_t Period;  // calls per step
  fftw_plan Forward;
  fftw_plan Inverse;
  float* IrSpectra[4];  // per IR channel: Count spectra of 2 Size + 2 floats (padded)
  float* DelayLine[2];  // per input channel: Count spectra, a ring
  int32_t Newest;       // the delay line's slot of the newest spectrum
  int32_t Filled;       // spectra taken since the last reset, up to Count: the rest is silence
  bool Silent;          // Out holds no step's result since the last reset
  double* Bins;         // scratch: one input spectrum, then one path's summed products
  double* Out[2];       // per path, 2 Size: the inverse transform, its valid half last
  const float** Pairs;  // scratch: the input and IR spectra paired, Count per IR a path reads
  int64_t Now;          // the stream time of the step in hand: the end of its input
  int32_t Units;        // work units of a step
  int32_t Done;         // units of the step in hand done so far
};

// Work done in the last step, per level, for the tests and the benchmark.
struct StepWork {
  int32_t Transforms[kMaxLevels];  // forward and inverse transforms run
  int64_t Products[kMaxLevels];    // complex products: bins x partitions
};

struct LowLatencyState {
  int32_t Block;  // frames per step, the latency
  int32_t LevelCount;
  PartitionLevel Levels[kMaxLevels];
  int32_t InputChannels;  // spectra taken per level step: 1 or 2
  int32_t OutputPaths;    // results per level step: 1 or 2
  int32_t IrChannels;     // 1, 2, or 4: path c also meets the other input with IR 2 + c
  bool SharedIr;          // both paths with IR channel 0
  bool Fma;               // the processor's fused multiply-adds for the products
  double* InputRing[2];   // the last InputRingLength input frames per input channel
  int32_t InputRingLength;
  double* OutputRing[2];  // output being summed, per path
  int32_t OutputRingLength;
  int32_t Cycle;      // calls after which the schedule repeats: the longest period
  int32_t* Schedule;  // LevelCount x Cycle: each level's units done by the end of a call
  int64_t Frames;     // frames streamed since the last reset, a multiple of the block
  StepWork LastStep;
};

// The model the schedule balances: a transform of n points costs n log2 n,
// a complex product of one bin with one partition kProductWork (about
// 0.2 ns a unit on this machine's processor, both measured).
double TransformWork(int32_t n);
constexpr double kProductWork = 2.0;

// The partitions for an IR of `frames` frames: Block frames at the head,
// each level Growth times the previous as soon as the IR covered so far
// reaches twice its size less two blocks, up to Largest, and only where a
// cost model says growing pays; the last level as long as the rest needs.
// Fills sizes, counts, offsets and periods; returns the number of levels.
int PlanPartitions(int64_t frames, const PartitionLayout& layout,
                   PartitionLevel levels[kMaxLevels]);

// Builds the state, cut as `layout` says, for an IR given in the time domain (`irChannels` arrays
// of `frames` values, full scale 1.0; with 4, each path's own, then each path's cross path),
// routed as the block modes say. False when an allocation or a plan fails (the state is then the
// caller's to free).
bool BuildLowLatency(LowLatencyState* state, const double* const ir[4], int32_t irChannels,
                     int64_t frames, int32_t inputChannels, int32_t outputPaths, bool sharedIr,
                     const PartitionLayout& layout);

void FreeLowLatency(LowLatencyState* state);  // may be called twice

// Empties the delay lines and rings: the stream starts from silence.
void ResetLowLatency(LowLatencyState* state);

// One block step: takes the block's input (Block frames per input channel), does each level's
// share of work for this call, and writes the block's output (per path) to `output`.
void LowLatencyStep(LowLatencyState* state, const double* const input[2], double* const output[2]);

// The bytes of the arrays the state holds, for the memory formula.
int64_t LowLatencyBytes(const LowLatencyState& state);

// The partitions of a low-latency engine, null for an engine of another kind.
LowLatencyState* PartitionsOf(const ConvolutionEngine& engine);
