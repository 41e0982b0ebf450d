// SPDX-License-Identifier: GPL-2.0-or-later
// Race test for ThreadSanitizer. First a listener and a host at random on
// three threads (the host's main thread: Quit and Init; the audio thread:
// buffers of any size, channel counts and rates; the window: Load, Apply,
// Active, the sliders and check boxes, preparations for a new rate), with
// checks that need no clock: no audio from before a restart, no preparation
// on the audio thread but for a new channel count or the first rate after
// Init, no Quit lost, no use of the engine lock after Quit, nothing left at
// the end.
// Then the low-latency engine in force: Applies, Loads with their fades,
// the sliders, the bypass and channel changes meet its levels' steps half
// done, and the audio thread allocates and releases nothing but in its own
// channel preparations; at the end a Quit while the window prepares, and
// no engine lost or released twice.
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/memory.h"
#include "engine/engine_lock.h"
#include "ir/impulse_response.h"
#include "life/life.h"
#include "tests/support/audio.h"
#include "tests/support/engine.h"

namespace {

constexpr int32_t kFrames = 576;
// The audio thread streams at least kBuffers, and on until the other two have
// made all their changes; they wait for its buffers between changes.
constexpr int64_t kBuffers = 2000;
constexpr int kLowLatencySteps = 600;
constexpr int kLowLatencySwitches = 60;

std::atomic<int32_t> streamChannels{2};
std::atomic<int64_t> buffersDone{0};
std::atomic<int> changersDone{0};
std::atomic<int64_t> wrongCounts{0};
std::atomic<int64_t> convolved{0};
std::atomic<int64_t> reloads{0};
std::atomic<int64_t> failedReloads{0};
thread_local int64_t memoryEvents = 0;      // this thread's allocations and releases
std::atomic<int64_t> audioMemoryEvents{0};  // the audio thread's, in calls that prepare nothing

// Spreads the changes over the stream. The audio thread runs until both
// changers are done, so this ends unless the audio thread is stuck.
void WaitForAudio(int64_t buffers) {
  const int64_t target = buffersDone.load() + buffers;
  while (buffersDone.load() < target) std::this_thread::yield();
}

void AudioThread() {
  std::vector<int16_t> input(2 * kFrames), buffer;
  for (int64_t i = 0; i < kBuffers || changersDone.load() < 2; ++i) {
    for (size_t j = 0; j < input.size(); ++j) input[j] = static_cast<int16_t>((i + j) * 37);
    buffer = input;
    const int32_t channels = streamChannels.load();
    int32_t inForce;  // only this thread's preparations change it
    {
      EngineLockGuard hold;
      inForce = PreparedInForce().Channels;
    }
    const int64_t events = memoryEvents;
    if (ProcessSamples(nullptr, buffer.data(), kFrames, 16, channels, 44100) != kFrames) {
      ++wrongCounts;
    }
    if (channels == inForce) audioMemoryEvents += memoryEvents - events;
    if (buffer != input) ++convolved;
    ++buffersDone;
    // A host waits for its device between buffers; without a pause the lock
    // would pass straight back to this thread and starve the others.
    std::this_thread::yield();
  }
}

// Load: the chooser names the file through the life, then the window
// prepares and, on failure, names an error text in its place.
void Load(const std::string& path) {
  NameIrFile(path.c_str(), true);
  ++reloads;
  if (PrepareEngine(kStreamChannels) != PrepareOk) {
    ++failedReloads;
    NameIrFile("Cannot open the file.", false);
  }
}

// The random run's shared state.
namespace life {
// The window's actions and duties; the end of Quit and Init wait for them
// (the window's thread ends before the lock goes), its start waits for nothing.
std::recursive_mutex windowTurn;
std::atomic<bool> audioDone{false};  // the audio thread has streamed all its calls
std::atomic<int64_t> callsStarted{0};
std::atomic<int64_t> initCount{0};           // Inits so far: the first call after one may prepare
std::atomic<bool> startUpDue{false};         // Init asks the window for its first preparation
std::atomic<bool> rateAsked{false};          // the audio thread asked for a new rate's preparation
std::atomic<bool> quiet{false};              // the audio thread feeds silence
std::atomic<int64_t> quietCalls{0};          // calls fed silence so far
std::atomic<int64_t> silentFrom{INT64_MAX};  // calls from here on must give silence
std::atomic<int64_t> oldAudio{0};            // non-silent samples after a restart
std::atomic<int64_t> audioPreparations{0};   // builds on the audio thread without a new count,
                                             // beyond the first rate's after an Init
std::atomic<bool> audioBuilding{false};      // the audio thread is in a full load
std::atomic<bool> quitBegun{false};          // the host's Quit began meanwhile
std::atomic<int64_t> quitsInBuilds{0};
std::atomic<int64_t> lostQuits{0};  // Quits whose phase another event wrote over
std::atomic<int64_t> restarts{0};
thread_local bool onAudio = false;
thread_local int32_t callChannels = 0;    // the audio thread's call's channel count
thread_local int64_t callInits = 0;       // Inits before the call began
thread_local int64_t rateBuildInit = -1;  // the Init whose first rate the audio thread built

void AudioCalls(int64_t calls, uint32_t seed) {
  onAudio = true;
  std::mt19937 rng(seed);
  std::vector<int16_t> buffer(2 * 4096);
  int32_t channels = 2, rate = 44100;
  for (int64_t call = 0; call < calls; ++call) {
    const uint32_t r = rng();
    if (r % 50 == 0) channels = 3 - channels;
    // Now and then, and at every call while a Quit is under way.
    if (r % 70 == 1 || quitBegun.load()) rate = rate == 44100 ? 48000 : 44100;
    const int32_t frames = r % 13 == 2 ? 0 : static_cast<int32_t>(rng() % 2000);
    const bool silent = quiet.load();
    for (int32_t i = 0; i < frames * channels; ++i) {
      buffer[i] = silent ? 0 : static_cast<int16_t>(rng() % 20000 - 10000);
    }
    const int64_t index = callsStarted++;
    callInits = initCount.load();
    callChannels = channels;
    if (ProcessSamples(nullptr, buffer.data(), frames, 16, channels,
                       frames == 0 && r % 2 ? 0 : rate) != frames) {
      ++wrongCounts;
    }
    if (index >= silentFrom.load()) {
      for (int32_t i = 0; i < frames * channels; ++i) oldAudio += buffer[i] != 0;
    }
    if (silent) ++quietCalls;
    ++buffersDone;
    std::this_thread::yield();
  }
  audioDone = true;
}

// Waits for `calls` more audio calls, serving the window's duties meanwhile;
// false when the audio thread is done.
bool WindowWaits(int64_t calls);

void WindowDuties() {
  if (!startUpDue.load() && !rateAsked.load()) return;  // the host's Quit is not kept waiting
  std::lock_guard<std::recursive_mutex> turn(windowTurn);
  if (startUpDue.exchange(false)) PrepareEngineAtStartUp();
  if (rateAsked.exchange(false)) PrepareForRate();
}

bool WindowWaits(int64_t calls) {
  const int64_t target = buffersDone.load() + calls;
  while (buffersDone.load() < target) {
    if (audioDone.load()) return false;
    WindowDuties();
    std::this_thread::yield();
  }
  return true;
}

// A restart with silence around it: whatever was in the one-block engine
// before must not be heard after it. The low-latency engine may carry the
// music on through a change, and fades out after a failed Load.
void SilentRestart(const std::function<void()>& restart) {
  quiet = true;
  const int64_t before = quietCalls.load();
  while (quietCalls.load() < before + 2 && !audioDone.load()) {
    WindowDuties();
    std::this_thread::yield();
  }
  const auto ramps = [] {
    EngineLockGuard hold;
    const ConvolutionEngine* e = EngineInForce();
    return e && e->Kind->Ramps;
  };
  const bool fadesOut = ramps();  // a failed Load fades such an engine out
  restart();
  bool carriesOn = ramps();
  {
    EngineLockGuard hold;
    carriesOn = carriesOn || (fadesOut && !EngineInForce());
  }
  if (!carriesOn) {
    ++restarts;
    silentFrom = callsStarted.load() + 1;
    WindowWaits(6);
    silentFrom = INT64_MAX;
  }
  quiet = false;
}

void Window(const std::string (&irs)[3], uint32_t seed) {
  std::mt19937 rng(seed);
  while (!audioDone.load()) {
    {
      std::lock_guard<std::recursive_mutex> turn(windowTurn);
      WindowDuties();
      switch (rng() % 12) {
        case 0:
          Settings.Active = rng() % 4 != 0;
          break;
        case 1:
          SetGainDB(static_cast<int32_t>(rng() % 81) - 60);
          break;
        case 2:
          Settings.IRLimit = 10 + static_cast<int32_t>(rng() % 300);
          break;
        case 3: {
          std::atomic<int32_t>* boxes[] = {&Settings.IRLimitEn,    &Settings.ForceMonoIn,
                                           &Settings.ForceMonoOut, &Settings.AutoGain,
                                           &Settings.LowLatency,   &Settings.ResampleIR};
          std::atomic<int32_t>& box = *boxes[rng() % 6];
          box = !box;
          break;
        }
        case 4:
        case 5: {  // Load; one in four names a file that is not there
          const std::string& ir = irs[rng() % 4 == 0 ? 2 : rng() % 2];
          SilentRestart([&ir] { Load(ir); });
          break;
        }
        default:  // Apply
          ++reloads;
          SilentRestart([] { PrepareEngine(kStreamChannels); });
          break;
      }
    }
    WindowWaits(1 + rng() % 4);
  }
}

// Quit and Init now and then, as a host switching plug-ins while playing;
// every other Quit as soon as the audio thread is in a full load. Quit's
// first step meets whatever the window is doing.
void Host(uint32_t seed) {
  std::mt19937 rng(seed);
  for (int64_t quits = 0; !audioDone.load(); ++quits) {
    const int64_t target = buffersDone.load() + 40 + rng() % 160;
    while (buffersDone.load() < target && !audioDone.load() &&
           !(quits % 2 == 1 && audioBuilding.load())) {
      std::this_thread::yield();
    }
    const bool inBuild = audioBuilding.load();
    const int64_t call = callsStarted.load();
    if (inBuild) ++quitsInBuilds;
    EndLife();
    quitBegun = true;
    std::lock_guard<std::recursive_mutex> turn(windowTurn);
    if (CurrentPhase() != LifePhase::AfterQuit) ++lostQuits;
    ReleaseLife();
    quitBegun = false;
    // Had Quit not waited for that call, it would commit now, on no lock.
    for (int i = 0; inBuild && i < 2000 && buffersDone.load() < call; ++i) {
      std::this_thread::yield();
    }
    for (int i = 0; i < static_cast<int>(rng() % 50); ++i) std::this_thread::yield();
    ++initCount;
    StartLife(true);
    startUpDue = true;
  }
}

// The listener and the host at random; false on a fault found.
bool RandomRun(const std::string (&irs)[3]) {
  NameIr(irs[0]);
  PreparationWanted = [] { rateAsked = true; };
  BeforeEngineSwap = [] {
    if (!onAudio) return;
    // Held a moment, so that Quit can come in the middle of it.
    audioBuilding = true;
    for (int i = 0; i < 200 && !quitBegun.load(); ++i) std::this_thread::yield();
    // Then as long as Quit would take to release the lock, were it not to
    // wait for this call.
    for (int i = 0; i < 2000 && quitBegun.load(); ++i) std::this_thread::yield();
    audioBuilding = false;
    // A build on the audio thread is for a count other than the one in
    // force, or the first rate's after an Init (which may come during it).
    if (initCount.load() != callInits || CurrentPhase() == LifePhase::AfterQuit) return;
    EngineLockGuard hold;
    if (PreparedInForce().Channels != callChannels) return;
    if (rateBuildInit == callInits) ++audioPreparations;
    rateBuildInit = callInits;
  };
  std::thread audio(AudioCalls, 6000, 7u);
  std::thread window(Window, std::cref(irs), 11u);
  std::thread host(Host, 13u);
  audio.join();
  window.join();
  host.join();
  WindowDuties();  // a start-up still due
  PreparationWanted = nullptr;
  BeforeEngineSwap = nullptr;
  std::printf(
      "race_engine: the random run: %lld calls, %lld Inits (%lld Quits in an audio-thread load), "
      "%lld restarts checked\n",
      static_cast<long long>(callsStarted.load()), static_cast<long long>(initCount.load()),
      static_cast<long long>(quitsInBuilds.load()), static_cast<long long>(restarts.load()));
  bool ok = true;
  if (lostQuits.load() != 0) {
    std::fprintf(stderr, "%lld Quits lost: the phase was written over\n",
                 static_cast<long long>(lostQuits.load()));
    ok = false;
  }
  if (EngineLockMisuses() != 0) {
    std::fprintf(stderr, "the engine lock was used %lld times while it did not exist\n",
                 static_cast<long long>(EngineLockMisuses()));
    ok = false;
  }
  if (oldAudio.load() != 0) {
    std::fprintf(stderr, "%lld samples of audio from before a restart\n",
                 static_cast<long long>(oldAudio.load()));
    ok = false;
  }
  if (audioPreparations.load() != 0) {
    std::fprintf(stderr, "%lld preparations on the audio thread without a new channel count\n",
                 static_cast<long long>(audioPreparations.load()));
    ok = false;
  }
  return ok;
}
}  // namespace life

// With the low-latency engine in force: Applies and Loads of the other long
// IR (swaps with fades), the sliders and the bypass, a few buffers apart, so
// that they meet its long levels' steps part way through their periods and
// each other's ramps and fades.
void LowLatencyControlThread(const std::string (&irs)[2]) {
  for (int step = 0; step < kLowLatencySteps; ++step) {
    if (step % 8 == 7) {
      Load(irs[step / 8 % 2]);
    } else {
      ++reloads;
      PrepareEngine(kStreamChannels);
    }
    SetGainDB(step * 7 % 41 - 20);
    Settings.Mix = step * 37 % 101;
    if (step % 5 == 4) Settings.Active = !Settings.Active;
    WaitForAudio(1 + step % 7);
  }
  Settings.Active = 1;
  ++changersDone;
}

// Switches the stream's channel count every `buffers` buffers, and reads the
// graph as its window does, without the lock.
void ChannelThread(int switches, int64_t buffers) {
  int64_t graphSum = 0;
  for (int i = 0; i < switches; ++i) {
    streamChannels = streamChannels.load() == 2 ? 1 : 2;
    for (const auto& bin : IrGraph) graphSum += bin.load();
    WaitForAudio(buffers);
  }
  ++changersDone;
  if (graphSum < 0) std::printf("impossible graph\n");
}

// The audio thread streams while `control` and a channel switcher change
// things beside it, until both are done.
template <class Control>
void StreamBeside(Control control, int switches, int64_t buffersApart) {
  changersDone = 0;
  std::thread audio(AudioThread);
  std::thread controller(control);
  std::thread switcher(ChannelThread, switches, buffersApart);
  audio.join();
  controller.join();
  switcher.join();
}

}  // namespace

int main() {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("qlv_race_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string irs[3] = {(dir / "stereo.wav").string(), (dir / "mono.wav").string(),
                              (dir / "missing.wav").string()};
  if (!WritePcm16(irs[0], DecayingIr(2, 40000)) || !WritePcm16(irs[1], DecayingIr(1, 2205))) {
    std::fprintf(stderr, "cannot write the IR files in %s\n", dir.c_str());
    return 1;
  }

  StartLife(false);
  ResetSettings();
  NameIr(irs[0]);
  int status = 0;
  if (PrepareEngine(2) != PrepareOk) {
    std::fprintf(stderr, "the first load failed\n");
    status = 1;
  }

  if (!life::RandomRun(irs)) status = 1;
  ResetSettings();

  if (wrongCounts != 0) {
    std::fprintf(stderr, "%lld ProcessSamples calls returned another frame count\n",
                 static_cast<long long>(wrongCounts.load()));
    status = 1;
  }
  // The engine is still usable: nothing left the lock held or the state torn.
  Settings.Active = 1;
  NameIrFile(irs[1].c_str(), true);
  if (PrepareEngine(2) != PrepareOk) {
    std::fprintf(stderr, "the engine cannot load after the run\n");
    status = 1;
  }
  std::vector<int16_t> buffer(2 * kFrames, 1000);
  if (ProcessSamples(nullptr, buffer.data(), kFrames, 16, 2, 44100) != kFrames) status = 1;

  // The low-latency engine: two long IRs, no limit, no mono options.
  const std::string longIrs[2] = {irs[0], (dir / "stereo2.wav").string()};
  if (!WritePcm16(longIrs[1], DecayingIr(2, 50000, 2))) status = 1;
  Settings.LowLatency = 1;
  Settings.IRLimitEn = 0;
  Settings.ForceMonoIn = 0;
  Settings.ForceMonoOut = 0;
  Load(longIrs[0]);
  MemoryWatch = [] { ++memoryEvents; };
  StreamBeside([&longIrs] { LowLatencyControlThread(longIrs); }, kLowLatencySwitches, 20);
  MemoryWatch = nullptr;
  if (audioMemoryEvents.load() != 0) {
    std::fprintf(stderr,
                 "%lld allocations and releases on the audio thread outside its own "
                 "preparations\n",
                 static_cast<long long>(audioMemoryEvents.load()));
    status = 1;
  }
  std::printf("race_engine: %lld buffers (%lld changed), %lld reloads (%lld failed)\n",
              static_cast<long long>(buffersDone.load()), static_cast<long long>(convolved.load()),
              static_cast<long long>(reloads.load()), static_cast<long long>(failedReloads.load()));

  // Quit while the window prepares: it waits for the window's thread, which
  // finishes, swaps and releases; then nothing of any engine is left.
  std::thread window(Load, irs[0]);
  window.join();
  UnloadEngine();
  if (LiveAllocations() != 0) {
    std::fprintf(stderr, "%lld engine allocations left after the last release\n",
                 static_cast<long long>(LiveAllocations()));
    status = 1;
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return status;
}
