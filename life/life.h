// SPDX-License-Identifier: GPL-2.0-or-later
// The plug-in's life as one state: its phase, the engine in force and what
// it was prepared from, and one function per event that changes them (a
// host call, a window action, a stream change, a preparation finishing).
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
  PrepareRefused = 4,  // nothing asked was done: after Quit, say, or with nothing to convert
};

// Where the plug-in is in its life. Buffers are convolved only in Ready (and
// an engine fading out after a failed load plays its last 50 ms in Passing);
// in every other phase they come back as they were.
enum class LifePhase : int32_t {
  BeforeInit,  // loaded, no Init yet
  Starting,    // after Init, until the start-up preparation: buffers wait for it
  Passing,     // no engine in force: none loaded yet, or the last load failed
  Ready,       // an engine in force
  AfterQuit,   // nothing is prepared and nothing asked for until the next Init
};

// The settings a full load reads once and builds from; kept with the engine
// in force (also after a failed load).
struct PreparedSettings {
  char IRFile[kPathChars];
  int32_t IRLimit;
  int32_t IRLimitEn;
  int32_t ForceMonoIn;
  int32_t ForceMonoOut;
  int32_t LowLatency;    // the engine's kind
  int32_t ResampleIR;    // the key in force: the IR is to be at the stream's rate
  int32_t AtStreamRate;  // with ResampleIR: the IR was converted to SampleRate (a channel
                         // change on the audio thread takes it as it is, converted after)
  int32_t AutoGain;      // not part of the fast-restart test
  int32_t SampleRate;    // for the limit and the graph; tested only with ResampleIR
  int32_t Channels;      // the stream's; kNoStream before the first preparation
  int64_t FileSize;      // the IR file's size and last write when it was read: a Load
  int64_t FileTime;      // or Apply of a rewritten file reads it again
};

// No stream prepared for yet.
constexpr int32_t kNoStream = 0;

// PrepareEngine's channel count for the window's preparations: the count
// the stream was last prepared for, two before any. Any count but 1 or 2
// is taken so.
constexpr int32_t kStreamChannels = 0;

// Host Init, on the host's main thread: the lock made and the phase
// Starting, or Passing when no start-up preparation will come. False, and
// nothing changed, when called again before Quit.
bool StartLife(bool startUpPreparation);

// Host Quit, first step: from here on buffers pass, nothing is prepared on
// the audio thread and nothing is asked of the preparer.
void EndLife();

// Host Quit, second step: returns once no host call is under way. After it
// no buffer can ask for anything until the next Init.
void WaitForHostCalls();

// Host Quit, last step, once no thread of the plug-in's prepares: the engine
// released and the lock destroyed.
void ReleaseLife();

LifePhase CurrentPhase();

// The partition layout the next full loads cut the IR with: the chosen one
// unless the benchmark tries another.
void UsePartitionLayout(const PartitionLayout& layout);
PartitionLayout PartitionLayoutInUse();

// A full load or a fast restart (a reset, cheap under EngineLock) for a
// stream of `channels` channels with the IR the settings name. Snapshot,
// build and commit: the settings are read once, the file, plans and
// transforms are made without EngineLock, and the lock is held only to
// swap the new engine in with its gain, graph and settings record.
// kStreamChannels is the window's (UI thread): a result that went stale
// meanwhile (other settings, or the stream prepared for another count) is
// built again. A count is a stream's own (the audio thread, tools): its
// result is always swapped in. When two engines do not fit side by side, the
// one this preparation replaces goes first, never another. The thread that
// prepared releases the old engine.
int32_t PrepareEngine(int32_t channels);

// The UI thread's first preparation after Init: does nothing when a buffer
// has already prepared the engine (or tried to) with the same settings.
// Then leaves Starting and gives the start-up signal that early buffers
// wait for.
void PrepareEngineAtStartUp();

// Leaves Starting without a preparation (no window): buffers prepare
// themselves.
void StartUpDone();

// With ResampleIR, on a thread of the plug-in's beside the audio: the
// engine in force prepared again, from the same settings, for the stream's
// rate (or converted at last after a channel change). The engine in force
// plays until the swap. Already at the rate returns PrepareOk at once;
// nothing in force to convert, PrepareRefused.
int32_t PrepareForRate();

// Asked of the plug-in's layer from the audio thread when PrepareForRate is
// wanted; null for none. It must neither wait nor prepare on that thread.
extern std::atomic<void (*)()> PreparationWanted;

// The window names the IR file (a chosen file, and with `withFolder` its
// folder as IRDir; or a failed Load's error text), under EngineLock so that
// a preparation on another thread never reads half a path.
void NameIrFile(const char* path, bool withFolder);

// On a thread beside the audio (the window's timer): releases an engine that
// finished fading out, which the audio thread only parks. Every preparation
// beside the audio releases it too before it builds.
void ReleaseRetired();

// Beside the audio (the window, when "Match loudness" is ticked or
// unticked): the gain of the engine in force moves at once, over 50 ms, to
// the match for the music's reference of the moment (1 when MatchLoudness
// is 0).
void MatchLoudnessNow();

// Beside the audio, every kFollowMs while MatchLoudness is set (the
// window's timer): the engine in force follows the music's loudness: when
// the match for the last 10 s has stayed more than 1 dB from the one in
// force for 10 s of the stream, it glides there over 2 s, at most once
// every 10 s. It also keeps the music those 10 s a Load's match needs
// where the dry line holds less.
constexpr int32_t kFollowMs = 500;
void FollowLoudness();

// The match gain the engine in force plays at now (1 without
// MatchLoudness), for tests and the benchmark.
double MatchGainInForce();

// Releases the engine in force and forgets what it was prepared from, so
// that the next PrepareEngine makes a full load and any stream prepares.
void UnloadEngine();

// The host's processing entry, on the host's audio thread. Convolves the
// buffer in place and returns frames unchanged.
// Real-time rules: no allocation, no file access and no planning, except for
// a new channel count (prepared on this thread, the IR as it is); a new rate
// with ResampleIR is asked of the preparer. The only waits are for
// EngineLock, held for the whole buffer and by others only for a swap or a
// reset's few stores, and once after Init for the start-up preparation.
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
const DryLine& DryLineInForce();

// Called by a full load after it built and before it swaps (and before its
// memory retry), outside every lock; null for none. Tests hold a preparation open with it.
extern std::atomic<void (*)()> BeforeEngineSwap;
