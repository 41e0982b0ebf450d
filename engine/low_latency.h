// SPDX-License-Identifier: GPL-2.0-or-later
// The low-latency engine: the IR convolved in partitions that grow along it
// (small at its head, large in its tail), so that output lags input by one
// small block while the cost stays near the one-block engine's.
#pragma once

#include <fftw3.h>

#include <atomic>
#include <cstdint>

#include "engine/engine.h"

constexpr int kMaxLevels = 8;

// How the IR is cut, chosen by the benchmark (tools/bench.sh).
struct PartitionLayout {
  int32_t Block;    // the first partition: the latency in frames, at most 512
  int32_t Growth;   // each level's partitions this many times the previous level's
  int32_t Largest;  // partitions grow no further
  bool Workers;     // the levels past the first on threads of their own
};
extern PartitionLayout LowLatencyLayout;

struct Worker;
struct LowLatencyState;

// One size of partition: Count partitions of Size frames, from IR frame
// Offset on, each with its spectrum (Size + 1 complex bins, scaled for the
// inverse transform) and a frequency-domain delay line of the last Count
// input spectra of its size. The stored spectra are single precision: the
// products read them all at every step, so their bytes are the engine's
// cost, while the sums and transforms stay double. A level steps every Size
// frames; its result is due Offset frames after its input, so Offset is at
// least Size minus the first block. A level on a worker thread starts its
// step when its input block is full and is waited for one step later, when
// its result is first due: its Offset is at least 2 Size minus the block.
// The level's arrays are its own, so that levels step side by side.
struct PartitionLevel {
  int32_t Size;
  int32_t Count;
  int64_t Offset;
  fftw_plan Forward;
  fftw_plan Inverse;
  float* IrSpectra[2];  // per IR channel: Count spectra of 2 Size + 2 floats (padded)
  float* DelayLine[2];  // per input channel: Count spectra, a ring
  int32_t Newest;       // the delay line's slot of the newest spectrum
  double* Bins;         // scratch: one input spectrum, then one path's summed products
  double* Out[2];       // per path, 2 Size: the inverse transform, its valid half last
  const float** Pairs;  // scratch: the input and IR spectra paired, 2 Count
  int64_t Now;          // the stream time of the step in hand: the end of its input
  const LowLatencyState* Owner;
  Worker* Thread;  // null: stepped by the thread that streams
  bool Pending;    // a step posted to the worker and not yet waited for
};

struct LowLatencyState {
  int32_t Block;  // frames per step, the latency
  int32_t LevelCount;
  PartitionLevel Levels[kMaxLevels];
  int32_t InputChannels;  // spectra taken per level step: 1 or 2
  int32_t OutputPaths;    // results per level step: 1 or 2
  int32_t IrChannels;     // 1 or 2
  bool SharedIr;          // both paths with IR channel 0
  bool Fma;               // the processor's fused multiply-adds for the products
  double* InputRing[2];   // the last InputRingLength input frames per input channel
  int32_t InputRingLength;
  double* OutputRing[2];  // output being summed, per path
  int32_t OutputRingLength;
  int64_t Frames;     // frames streamed since the last reset, a multiple of the block
  int64_t LateWaits;  // since the last reset: steps that waited for a worker's due result
};

// Called on a worker before each step it takes; null for none. Tests slow a
// worker with it so that its results come late.
extern std::atomic<void (*)(int32_t size)> BeforeWorkerStep;

// The partitions for an IR of `frames` frames: Block frames at the head,
// each level Growth times the previous as soon as the IR covered so far
// allows it (one step of its own later with Workers), up to Largest; the
// last level as long as the rest needs.
// Fills sizes, counts and offsets; returns the number of levels.
int PlanPartitions(int64_t frames, const PartitionLayout& layout,
                   PartitionLevel levels[kMaxLevels]);

// Builds the state, cut as LowLatencyLayout says, for an IR given in the time domain (`irChannels`
// arrays of `frames` values, full scale 1.0), routed as the block modes say, and starts its
// workers. False when an allocation, a plan or a thread fails (the state is then the caller's to
// free). The state must stay where it is until it is freed: the workers point to it.
bool BuildLowLatency(LowLatencyState* state, const double* const ir[2], int32_t irChannels,
                     int64_t frames, int32_t inputChannels, int32_t outputPaths, bool sharedIr);

// Ends the workers (each finishes the step in hand) and waits for them, then frees.
void FreeLowLatency(LowLatencyState* state);

// Waits for the workers' steps in flight, then empties the delay lines and
// rings: the stream starts from silence.
void ResetLowLatency(LowLatencyState* state);

// One block step: takes the block's input (Block frames per input channel), steps every level whose
// block ends here (a worker's level: waits for its previous step, adds that step's result and
// posts the next), and writes the block's output (per path) to `output`.
void LowLatencyStep(LowLatencyState* state, const double* const input[2], double* const output[2]);

// The bytes of the arrays the state holds, for the memory formula.
int64_t LowLatencyBytes(const LowLatencyState& state);

// The partitions of a low-latency engine, null for an engine of another kind.
LowLatencyState* PartitionsOf(const ConvolutionEngine& engine);
