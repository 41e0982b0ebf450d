// SPDX-License-Identifier: GPL-2.0-or-later
// Race test for ThreadSanitizer: the audio thread streams while a control
// thread changes settings and prepares beside it the way the control window
// does, and a third thread switches the stream between mono and stereo (so
// that the audio thread prepares too); at the end a Quit while the window
// prepares. Then the same with the low-latency engine in force: fast
// restarts, swaps and channel changes meet its levels' steps half done.
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_lock.h"
#include "engine/in_force.h"
#include "base/memory.h"
#include "ir/impulse_response.h"
#include "tests/support/audio.h"
#include "tests/support/engine.h"

namespace {

constexpr int32_t kFrames = 576;
// The audio thread streams at least kBuffers, and on until the other two have
// made all their changes; they wait for its buffers between changes.
constexpr int64_t kBuffers = 2000;
constexpr int kControlSteps = 6000;
constexpr int kChannelSwitches = 3000;
constexpr int kLowLatencySteps = 600;
constexpr int kLowLatencySwitches = 60;

std::atomic<int32_t> streamChannels{2};
std::atomic<int64_t> buffersDone{0};
std::atomic<int> changersDone{0};
std::atomic<int64_t> wrongCounts{0};
std::atomic<int64_t> convolved{0};
std::atomic<int64_t> reloads{0};
std::atomic<int64_t> failedReloads{0};

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
    if (ProcessSamples(nullptr, buffer.data(), kFrames, 16, channels, 44100) != kFrames) {
      ++wrongCounts;
    }
    if (buffer != input) ++convolved;
    ++buffersDone;
    // A host waits for its device between buffers; without a pause the lock
    // would pass straight back to this thread and starve the others.
    std::this_thread::yield();
  }
}

// Load: the chooser writes the path under the lock, then the window prepares
// and, on failure, puts an error text in its place, also under the lock.
void Load(const std::string& path) {
  {
    EngineLockGuard hold;
    NameIr(path);
  }
  ++reloads;
  if (PrepareEngine(kStreamChannels) != PrepareOk) {
    ++failedReloads;
    LockEngine();
    std::strcpy(Settings.IRFile, "Cannot open the file.");
    UnlockEngine();
  }
}

void ControlThread(const std::string (&irs)[3]) {
  for (int step = 0; step < kControlSteps; ++step) {
    switch (step % 10) {
      case 0:  // off for a tenth of the time
        Settings.Active = step % 100 != 0;
        break;
      case 1:
        SetGainDB(step % 81 - 60);
        break;
      case 2:
        Settings.IRLimit = 10 + step % 200;
        break;
      case 3:
      case 4:
      case 5:
      case 6: {  // the four check boxes, the low-latency key among them
        std::atomic<int32_t>* boxes[] = {
            &Settings.IRLimitEn, &Settings.ForceMonoIn, &Settings.ForceMonoOut,
            step % 20 < 10 ? &Settings.AutoGain : &Settings.LowLatency};
        *boxes[step % 10 - 3] = !*boxes[step % 10 - 3];
        break;
      }
      case 7:  // every tenth Load names a file that does not exist
        Load(irs[step % 100 == 7 ? 2 : (step / 10) % 2]);
        break;
      default:  // Apply
        ++reloads;
        PrepareEngine(kStreamChannels);
        break;
    }
    WaitForAudio(1);
  }
  ++changersDone;
}

// With the low-latency engine in force: Applies (fast restarts) and Loads
// of the other long IR (swaps), a few buffers apart, so that they meet its
// long levels' steps part way through their periods.
void LowLatencyControlThread(const std::string (&irs)[2]) {
  for (int step = 0; step < kLowLatencySteps; ++step) {
    if (step % 8 == 7) {
      Load(irs[step / 8 % 2]);
    } else {
      ++reloads;
      PrepareEngine(kStreamChannels);
    }
    WaitForAudio(1 + step % 7);
  }
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

  StreamBeside([&irs] { ControlThread(irs); }, kChannelSwitches, 3);

  if (wrongCounts != 0) {
    std::fprintf(stderr, "%lld ProcessSamples calls returned another frame count\n",
                 static_cast<long long>(wrongCounts.load()));
    status = 1;
  }
  // The engine is still usable: nothing left the lock held or the state torn.
  Settings.Active = 1;
  {
    EngineLockGuard hold;
    NameIr(irs[1]);
  }
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
  StreamBeside([&longIrs] { LowLatencyControlThread(longIrs); }, kLowLatencySwitches, 20);
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
