// SPDX-License-Identifier: GPL-2.0-or-later
// The plug-in's engine in force: its preparation beside the audio, the swap
// between two buffers, and the host's processing entry.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/engine.h"
#include "settings/settings.h"

// Results of PrepareEngine.
enum PrepareResult : int32_t {
  PrepareOk = 0,
  PrepareOpenFailed = 1,
  PrepareBadWav = 2,
  PrepareNoMemory = 3,
};

// The settings a full load reads once, under EngineLock, and builds from;
// kept with the engine in force (also after a failed load).
struct PreparedSettings {
  char IRFile[kPathChars];
  int32_t IRLimit;
  int32_t IRLimitEn;
  int32_t ForceMonoIn;
  int32_t ForceMonoOut;
  int32_t LowLatency;  // the engine's kind
  int32_t ResampleIR;  // the IR converted to SampleRate
  int32_t AutoGain;    // not part of the fast-restart test
  int32_t SampleRate;  // for the limit and the graph; tested only with ResampleIR
  int32_t Channels;    // the stream's; 0 before the first preparation
  int64_t FileSize;    // the IR file's size and last write when it was read: a Load
  int64_t FileTime;    // or Apply of a rewritten file reads it again
};

// PrepareEngine's channel count for the window's preparations: the count
// the stream was last prepared for, two before any.
constexpr int32_t kStreamChannels = 0;

// Brings the engine in force to a state that can convolve a stream of
// `channels` channels with the IR the settings name: a fast restart (a reset
// under EngineLock) when nothing relevant changed, else a full load. A full
// load reads the file, plans and transforms without EngineLock and holds it
// only to swap the new engine in (with its gain, graph and settings record);
// a result that went stale meanwhile (other settings, or the stream prepared
// for another count) is built again. The thread that prepared releases the
// old engine. Runs on the UI thread (kStreamChannels) and, for a new channel
// count, on the audio thread.
int32_t PrepareEngine(int32_t channels);

// The UI thread's first preparation after Init: does nothing when a buffer
// has already prepared the engine (or tried to) with the same settings.
// Then gives the start-up signal that early buffers wait for.
void PrepareEngineAtStartUp();

// Releases the engine in force and forgets what it was prepared from, so
// that the next PrepareEngine makes a full load and any stream prepares.
void UnloadEngine();

// The host's processing entry, on the host's audio thread. Convolves the
// buffer in place and returns frames unchanged.
// Real-time rules: no allocation, no file access and no planning unless the
// stream's channel count changes, or with ResampleIR its rate (which
// prepares the engine on this thread); the only waits are for EngineLock,
// held for the whole buffer and by others only for a swap or a reset, and
// once after Init for the first preparation.
int32_t ProcessSamples(void* module, int16_t* samples, int32_t frames, int32_t bits,
                       int32_t channels, int32_t rate);

// GainDB that automatic gain derives from a peak gain: 6 - 20 log10(peak),
// truncated and held to -60..20; 0 for a silent IR.
int32_t AutoGainDB(double peak);

// Views for tests, tools and the benchmark, while no other thread prepares
// or streams: the engine in force (null when audio passes through) and what
// it was prepared from.
const ConvolutionEngine* EngineInForce();
const PreparedSettings& PreparedInForce();

// Called by a full load after it built and before it swaps, outside every
// lock; null for none. Tests hold a preparation open with it.
extern std::atomic<void (*)()> BeforeEngineSwap;
