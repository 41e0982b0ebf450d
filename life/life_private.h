// SPDX-License-Identifier: GPL-2.0-or-later
// What the life's three files share: the one life record, who may do what
// in each phase, and the records a preparation passes from snapshot to
// commit. Not for use outside life/.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "engine/crossfade.h"
#include "engine/engine.h"
#include "ir/impulse_response.h"
#include "ir/loudness.h"
#include "life/life.h"

// Who asks the life for something; the table below says what each may do.
enum class Caller : int32_t {
  Window,       // a Load, an Apply or the start-up preparation (the UI thread)
  Stream,       // a tool or test naming the stream's channel count
  NewChannels,  // an active buffer with a new channel count (the audio thread)
  FirstRate,    // the first active buffer with a usable rate after Init (the audio thread)
  LaterRate,    // a buffer with another rate, active or bypassed (the audio thread)
  Preparer,     // PrepareForRate beside the audio (the window or a thread of its own)
  kCount,
};

// What a caller may do in a phase.
enum class Permit : int32_t {
  Refuse,       // nothing: PrepareRefused
  Prepare,      // prepare inside this call, on this thread
  AskBeside,    // ask the preparer, which prepares beside the audio
  WaitThenAsk,  // wait for the start-up preparation, then as its outcome's phase says
};

// Columns: BeforeInit, Starting, Passing, Ready, AfterQuit.
constexpr Permit kPermits[static_cast<int>(Caller::kCount)][5] = {
    // Tools and tests prepare without Init; the start-up preparation runs in Starting.
    {Permit::Prepare, Permit::Prepare, Permit::Prepare, Permit::Prepare, Permit::Refuse},
    {Permit::Prepare, Permit::Prepare, Permit::Prepare, Permit::Prepare, Permit::Refuse},
    {Permit::Refuse, Permit::WaitThenAsk, Permit::Prepare, Permit::Prepare, Permit::Refuse},
    // A rate converts the engine in force: none while passing.
    {Permit::Refuse, Permit::WaitThenAsk, Permit::Refuse, Permit::Prepare, Permit::Refuse},
    {Permit::Refuse, Permit::Refuse, Permit::Refuse, Permit::AskBeside, Permit::Refuse},
    {Permit::Refuse, Permit::Refuse, Permit::Refuse, Permit::Prepare, Permit::Refuse},
};

inline Permit PermitFor(Caller caller, LifePhase phase) {
  return kPermits[static_cast<int>(caller)][static_cast<int>(phase)];
}

// A rate a conversion can aim at. Some players probe or flush with rate 0.
inline bool UsableRate(int32_t rate) { return rate >= 1000 && rate <= 768000; }

// The stream's rate, as the life keeps it. The audio thread reads the
// atomics before it takes EngineLock.
struct RateState {
  std::atomic<int32_t> Last{44100};  // the last usable rate: what a conversion aims at
  std::atomic<bool> First{false};    // no active buffer with a usable rate since Init
  std::atomic<int32_t> Asked{0};     // the last rate the preparer was asked for
  std::atomic<int32_t> IrRate{0};    // with ResampleIR in force the IR's rate (-1 not
                                     // converted yet), else 0
  int32_t Lined = 0;                 // under EngineLock: the rate of the line's newest frames,
  int64_t LinedFrom = 0;             // and the line's first frame at it: what priming may take
};

struct Life {
  std::atomic<LifePhase> Phase{LifePhase::BeforeInit};  // written under EngineLock
  std::atomic<int32_t> Calls{0};                        // host processing calls under way
  PreparedSettings Prepared{};                          // under EngineLock
  ConvolutionEngine* Engine = nullptr;                  // under EngineLock; null unless Ready
  DryLine Dry{};                                        // under EngineLock: the stream's dry
  StreamRamps Ramps{};                  // under EngineLock: the mix and bypass of a kind that ramps
  Crossfade Fade{};                     // under EngineLock: an engine fading out
  ConvolutionEngine* Parked = nullptr;  // under EngineLock: faded out, for a thread beside to free
  RateState Rate;
  int32_t Result = PrepareOk;                 // under EngineLock: how the load of Prepared ended
  int64_t Generation = 0;                     // under EngineLock: engines swapped in or taken out
  std::atomic<int32_t> Channels{kNoStream};   // Prepared.Channels, for the audio thread's tests
  PartitionLayout Layout = kPartitionLayout;  // under EngineLock
  // The loudness match, under EngineLock: the engine in force's paths, the
  // match it plays at or glides to, and the line frames since the music's
  // match stayed away from it and of the last glide.
  Owned<IrLoudness> Loudness;
  double MatchTarget = 1.0;
  int64_t AwaySince = -1;
  int64_t LastGlide = INT64_MIN / 2;
};
extern Life life;

// The stream's rate for ResampleIR: the last usable one given.
int32_t ConversionRate();

// 50 ms of the stream, for a fade or a ramp.
int32_t RampFrames(int32_t rate);

// Under EngineLock: the phase a commit leads to, unless the host's calls
// put the life elsewhere.
void Settle();

// The stream's rate as a buffer brings it: the settings' one writer.
void NoteRate(int32_t rate);

// Under EngineLock: a new stream starts its line, and with it the rate's
// marker, anew.
void StartStream(const DryLine& line);

// The settings a load depends on are still those it was prepared from.
bool SettingsMatch(const PreparedSettings& p);

// What a preparation builds from, and the engine and dry line it finds.
struct Snapshot {
  PreparedSettings Want;
  PartitionLayout Layout;
  int64_t Generation;
  int32_t DryChannels;
  int32_t DryLength;
  int32_t Rate;   // the stream's, for the length of the history a kind that ramps keeps
  bool OnAudio;   // prepared inside a host call: nothing to prime, no fade to wait for
  bool Match;     // MatchLoudness: the wet at the music's loudness, no automatic gain
  bool OnWindow;  // prepared on the window's thread, which follows the music
};

struct Built {
  int32_t Result;
  ConvolutionEngine* Engine;  // null after a failure
  IrAnalysis Analysis;
  DryLine Dry;                 // a line for a new stream, or a longer one; Channels 0 for none
  int64_t IrFrames = 0;        // the IR's frames in use: what priming needs of the music
  Owned<IrLoudness> Loudness;  // the engine's paths, for the match
  double Match = 1.0;          // the gain that gives its wet the music's loudness
};

// Engines out of force, released outside EngineLock by the thread that
// took them out as the record goes.
struct Retired {
  ConvolutionEngine* Engines[3] = {};
  void Take(ConvolutionEngine** e);
  ~Retired();
};

// A full load or fast restart for `caller` (prepare.cpp).
int32_t Prepare(Caller caller, int32_t channels);

// fades.cpp: the history a kind that ramps keeps, priming beside the
// audio, and the fades of a commit.

// The music a new engine of a kind that ramps is primed with, and the
// music's loudness is taken from: the last 10 s at the stream's rate, at
// most 1,920,000 frames.
inline int64_t HistoryFrames(int32_t rate) {
  return std::min<int64_t>(10 * int64_t{rate}, 1920000);
}

// The dry line's length an engine needs: its latency, for a kind that
// ramps the last 10 s of the stream too, and with the loudness match at
// least a second and a window of the music's reference.
int32_t LineFramesFor(const ConvolutionEngine& e, int32_t rate, bool match);

// A new engine of a kind that ramps is fed the music the line holds (since
// the stream's rate last changed, at most its last 10 s), gained and routed
// as it will stream, on the preparing thread beside the audio; at the
// commit only the frames that came since are fed, under the lock, and the
// engine in force fades out over 50 ms beside it.
struct Priming {
  bool On = false;
  int64_t From = 0;    // the next frame of the stream to feed
  double Gain = 0.0;   // the settings' gain the engine comes in at
  double Match = 1.0;  // and its loudness match
  Owned<float> Chunk[2];
  // Outside the lock: the chunks for a build that may come in primed;
  // false when there is nothing to prime or a chunk's memory failed.
  bool Start(Caller caller, const Snapshot& s, const Built& b);
};

// Beside the audio: feeds the line's frames until few are left; false when
// the engine can no longer come in primed.
bool PrimeBeside(Caller caller, const Snapshot& s, const Built& b, Priming* p);

// Under EngineLock: the engine built can come in primed, fading from the
// one in force.
bool Primable(Caller caller, const Snapshot& s, const Built& b);

// Under EngineLock: `n` frames of the line from stream frame `from` (one of
// the last Length taken) into out[c], per line channel.
void CopyFromLine(const DryLine& line, int64_t from, int32_t n, float* const out[2]);

// Under EngineLock: feeds the frames from p->From to the line's newest.
void CatchUp(Priming* p, ConvolutionEngine* e);

// Whether a commit should wait on for a running fade: true while the
// stream has moved lately. Under EngineLock.
class FadeWait {
 public:
  bool Again();

 private:
  int64_t written_ = -1;
  int64_t movedAt_ = 0;  // steady clock, ns
};

// Under EngineLock: `old` fades out over 50 ms beside what comes in at
// `gain` (an engine primed, or none: the music as it comes); a fade still
// running is cut into *out. False, with nothing changed, when `old` is no
// engine of a kind that ramps.
bool StartFade(ConvolutionEngine* old, ConvolutionEngine* in, double gain, Retired* out);

// Before a build beside the audio: waits for a running fade to end (cut
// when the stream stopped) and takes any engine parked or fading out into
// *out, so that at most two engines live during the build.
void ClearFades(Retired* out);

// loudness.cpp: the loudness match.

// The paths of an engine's route through the IR's spectra, in the bins of
// the reference at the stream's `rate`; null when memory fails.
IrLoudness* MeasureLoudness(const EngineRoute& route, const PreparedIr& ir, int32_t rate);

// Beside the audio: a preparation's match, for the music's reference of the
// moment (pink inside a host call, or with less than 1 s of music heard).
double MatchForBuild(const Snapshot& s, const IrLoudness& ir);

// Under EngineLock: the engine coming in plays at `match` from its first frame.
void SetMatch(ConvolutionEngine* e, double match);

// Quit: the follower's state released.
void EndLoudnessFollow();
