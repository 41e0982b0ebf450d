// SPDX-License-Identifier: GPL-2.0-or-later
// One prepared convolution engine: a value that a preparation builds from a
// loaded IR, that streams the host's buffers, and that whoever built it
// releases. Kinds of engine (one block, low latency) sit behind one small
// table of operations; the per-frame routing and conversion are shared.
#pragma once

#include <fftw3.h>

#include <atomic>
#include <cstdint>

#include "base/memory.h"
#include "engine/dry_line.h"

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
  BlockTrueStereo = 4,     // output c: channel c with IR channel c plus the other with cross c
};

struct EngineRoute {
  InputRoute InputMode;
  BlockRoute BlockMode;
  int32_t WorkChannels;  // block arrays: 1 or 2
  int32_t IrChannels;    // IR spectra kept: 1, 2, or 4 (the direct pair and the cross pair)
};

// The routing for a stream of `channels` channels and an IR file of
// `fileChannels` channels, 1, 2 or 4 (ForceMonoOut before ForceMonoIn).
EngineRoute ChooseRoute(int32_t channels, int32_t fileChannels, int32_t forceMonoIn,
                        int32_t forceMonoOut);

// What a full load hands a kind: the IR's halfcomplex spectra of FftLength
// points, scaled by 1/(32768 N), and the plans that made them. A kind takes
// what it keeps and leaves null in their place; the rest is released after.
struct PreparedIr {
  int64_t Frames;       // IR frames in use (after the size limit)
  int32_t FftLength;    // N = 2 ChooseBlockLength(Frames)
  fftw_plan Forward;    // N reals to N/2 + 1 bins
  fftw_plan Inverse;    // and back
  ChannelPair Spectra;  // IrChannels arrays of N, the direct pair of 4
  ChannelPair Cross;    // with 4: into output 0 from channel 1 (RL), into 1 from 0 (LR)
};

// Releases what no kind took.
void FreePreparedIr(PreparedIr* ir);

// The stream's channel count for a route: 1 or 2.
int32_t StreamChannels(const EngineRoute& route);

// How a partitioned kind cuts the IR, chosen by the benchmark (tools/bench.sh).
struct PartitionLayout {
  int32_t Block;    // the first partition: the latency in frames, at most 512
  int32_t Growth;   // each level's partitions this many times the previous level's
  int32_t Largest;  // partitions grow no further
  bool Spread;      // each long level's work spread over its period; false: all in one call
};
constexpr PartitionLayout kPartitionLayout = {512, 4, 32768, true};

// What a kind is built with besides the IR.
struct EngineInputs {
  const std::atomic<double>* Gain;  // the input gain, read at every frame
  const std::atomic<int32_t>* Mix;  // percent wet, read once a call
  PartitionLayout Layout;
};

// A value that moves linearly from where it is to a new target over a
// number of the stream's frames, then is the target exactly.
struct Ramp {
  double Start, Target, Step;  // Step: (Target - Start) / Frames
  int32_t Done, Frames;        // Done == Frames: at the target
  bool Set;                    // false until first aimed: the first target applies at once
};

// How long a ramp takes: 50 ms of the stream.
constexpr double kRampSeconds = 0.05;

// Aims the ramp at `target` over `frames` frames from its value now; a
// target it already has changes nothing, and the first one applies at once.
void AimRamp(Ramp* ramp, double target, int32_t frames);

// The value of the next frame: Start + (Target - Start) k / Frames at the
// ramp's k-th frame, then Target.
inline double NextOf(Ramp* r) {
  if (r->Done == r->Frames) return r->Target;
  ++r->Done;
  return r->Done == r->Frames ? r->Target : r->Start + r->Step * r->Done;
}

// What the stream keeps across engines for a kind that ramps: the wet
// share and the bypass (0 the engine's output, 1 the music as it comes).
struct StreamRamps {
  Ramp Mix;
  Ramp Bypass;
};

struct EngineKind;

struct ConvolutionEngine {
  const EngineKind* Kind;
  const std::atomic<double>* Gain;  // read at every frame, so a change is heard at once
  const std::atomic<int32_t>* Mix;  // percent wet, read once a call
  EngineRoute Route;
  int32_t BlockLength;   // frames per step, also the latency
  int32_t FillPos;       // frames of the current block so far
  double* Input[2];      // the current block's scaled input, per work channel
  double* Output[2];     // the current block's output, per work channel
  double* History[2];    // per work channel, a block the next step reads as the one before
                         // (null for none): cleared with Output in the quiet block
  bool Quiet;            // the first block after a reset: its output is silence
  Ramp GainRamp;         // a kind that ramps: the gain moving to *Gain
  Ramp MatchRamp;        // the loudness match on the gain; unset: none (1)
  double PeakMagnitude;  // the IR's peak gain over frequency
  void* State;           // the kind's own
};

// A transform length a kind plans for an IR; Streams is false for one used
// only while loading it.
struct PlannedLength {
  int32_t N;
  bool Streams;
};
constexpr int kMaxPlannedLengths = 12;

// A kind of engine: one file of its own and a row in engine/kinds.cpp.
struct EngineKind {
  // The preparing thread, outside EngineLock. Fills Input, Output, History,
  // BlockLength and State (the route is set) from the IR; false when memory
  // or a plan fails (Release then frees what it got).
  bool (*Build)(ConvolutionEngine* engine, PreparedIr* ir, const PartitionLayout& layout);
  // The streaming thread, under EngineLock: a full block of Input into the
  // next block's Output.
  void (*Step)(ConvolutionEngine* engine);
  // Any thread, under EngineLock: the stream starts from silence, in little
  // more than a few stores; Output and History are cleared as the first
  // block streams.
  void (*Reset)(ConvolutionEngine* engine);
  // The thread that took the engine out of force, outside EngineLock; may
  // be called twice.
  void (*Release)(ConvolutionEngine* engine);
  // Any thread: the bytes of the arrays it holds.
  int64_t (*Bytes)(const ConvolutionEngine& engine);
  // Any thread: the transforms it plans for an IR of `frames` frames (0
  // when too long).
  int (*Lengths)(int64_t frames, const PartitionLayout& layout,
                 PlannedLength lengths[kMaxPlannedLengths]);
  // Its gain, mix and bypass move over kRampSeconds instead of at once: the
  // kind a listener picks to change things while listening.
  bool Ramps;
  // Step reads the block's input where Output was too, so each frame's
  // input is stored there as well as in Input.
  bool InputInOutput;
};

// The kind the LowLatency setting's value picks: 0 the one-block engine, 1
// the low-latency engine; a value with no row counts as 1.
const EngineKind& EngineKindFor(int32_t lowLatency);

// A new engine of `kind` for the IR, ready to stream from silence; null when
// memory or a plan fails, with nothing left allocated.
ConvolutionEngine* BuildEngine(const EngineKind& kind, const EngineRoute& route, PreparedIr* ir,
                               double peakMagnitude, const EngineInputs& inputs);

// For a kind that ramps, once a call: the gain, the mix and the bypass (on
// with `active` false) aimed at their settings over `frames` frames. False
// when the output is the music as it comes and nothing is moving: the
// buffer can then be fed rather than written.
bool AimRamps(ConvolutionEngine* engine, StreamRamps* ramps, bool active, int32_t frames);

// Convolves `frames` interleaved frames of the route's channel count in
// place, `bits` 8, 16 or 24 per sample (any other value is taken as 16),
// blending the wet with the dry from `dry` one latency late. The line is of
// the route's channel count and at least BlockLength long; it takes the
// frames too. A kind that ramps reads its gain, mix and bypass from its
// ramps, aimed first; another reads the gain at every frame and the mix once
// a call.
void StreamEngine(ConvolutionEngine* engine, DryLine* dry, StreamRamps* ramps, void* samples,
                  int32_t frames, int32_t bits);

// Takes the frames into the engine and the line as StreamEngine does and
// leaves them as they are: the stream goes on while its output is not wanted.
void FeedEngine(ConvolutionEngine* engine, DryLine* dry, StreamRamps* ramps, const void* samples,
                int32_t frames, int32_t bits);

// Feeds `frames` frames of the stream's own samples (per stream channel,
// in the engine's units) into the engine at `gain`, routed as it streams,
// without output: an engine coming in is given the music already heard.
void PrimeEngine(ConvolutionEngine* engine, const float* const samples[2], int32_t frames,
                 double gain);

// The crossfade of two engines' outputs of one buffer: `into` (the new
// engine's) becomes (1 - w) from + w into, w the fade's next value at each
// frame; `bits` and `channels` as the buffer's.
void CrossfadeSamples(void* into, const void* from, int32_t frames, int32_t channels, int32_t bits,
                      Ramp* fade);

void ResetEngine(ConvolutionEngine* engine);
void ReleaseEngine(ConvolutionEngine* engine);  // null does nothing
int64_t EngineBytes(const ConvolutionEngine& engine);
