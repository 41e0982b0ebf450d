// SPDX-License-Identifier: GPL-2.0-or-later
// Fuzz target: a whole PrepareEngine from a fuzzed IR file, then a short
// stream through ProcessSamples. Five leading bytes choose the settings and
// which allocation of the load fails.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/memory.h"
#include "engine/engine_lock.h"
#include "ir/impulse_response.h"
#include "ir/wav_header.h"
#include "life/life.h"
#include "tests/support/audio.h"
#include "tests/support/engine.h"

namespace {

constexpr size_t kOptionBytes = 5;
// Longest IR a run may load: an IR that claims gigabytes is held to this by
// the limit, or the fuzzer would spend its time (and memory) on allocation.
constexpr int64_t kMaxFrames = 48000;
constexpr int32_t kStreamFrames = 8192;
// Rates the host could pass, and some it should not; none above 48 kHz, so
// a 1 s limit stays within kMaxFrames.
constexpr int32_t kRates[8] = {44100, 48000, 22050, 8000, 11025, 1, 0, -44100};

char irPath[kPathChars];

void Fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

void RemoveIr() { std::remove(irPath); }

bool WriteIr(const uint8_t* data, size_t size) {
  std::FILE* f = std::fopen(irPath, "wb");
  if (!f) return false;
  const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

// Frames the header claims, or 0 when it is refused.
int64_t ClaimedFrames() {
  std::FILE* f = std::fopen(irPath, "rb");
  if (!f) return 0;
  WavFormat format{};
  int32_t dataSize = 0;
  const int64_t frames =
      ReadWavHeader(f, &format, &dataSize) == 0 ? dataSize / format.BlockAlign : 0;
  std::fclose(f);
  return frames;
}

std::vector<int16_t> Noise(int32_t channels) {
  return NoiseSamples(static_cast<size_t>(kStreamFrames) * channels, 12345, 32767);
}

// Streams in buffers of `buffer` frames; every call must return its count.
void Stream(std::vector<int16_t>& samples, int32_t channels, int32_t buffer, int32_t rate) {
  if (StreamInPlace(samples, channels, {buffer}, rate) != 0) {
    Fail("ProcessSamples did not return its frame count");
  }
}

// After a preparation the first BlockLength output frames are silent.
void ExpectSilentStart(const std::vector<int16_t>& out, int32_t channels) {
  const int64_t frames = BlockInForce() < kStreamFrames ? BlockInForce() : kStreamFrames;
  for (int64_t i = 0; i < frames * channels; ++i) {
    if (out[static_cast<size_t>(i)] != 0) Fail("output before the first block is not silent");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = std::getenv("TMPDIR");
  std::snprintf(irPath, sizeof irPath, "%s/qlv_fuzz_prepare_%d.wav", tmp && *tmp ? tmp : "/tmp",
                static_cast<int>(getpid()));
  std::atexit(RemoveIr);
  StartLife(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kOptionBytes) return 0;
  const uint8_t flags = data[0];
  if (!WriteIr(data + kOptionBytes, size - kOptionBytes)) return 0;

  const int32_t channels = flags & 0x10 ? 2 : 1;
  const int32_t rate = kRates[data[2] % 8];
  const int32_t buffer = 1 + data[3] * 9;
  ResetSettings();
  Settings.IRLimitEn = flags & 0x01;
  Settings.IRLimit = (data[1] % 126) * 8;  // 0 (taken as 10 ms) .. 1000 ms
  Settings.ForceMonoIn = (flags >> 1) & 1;
  Settings.ForceMonoOut = (flags >> 2) & 1;
  Settings.AutoGain = (flags >> 3) & 1;
  Settings.LowLatency = (flags >> 7) & 1;
  Settings.SampleRate = rate;
  if (ClaimedFrames() > kMaxFrames) Settings.IRLimitEn = 1;
  NameIr(irPath);

  // Every out-of-memory exit must release what the load had taken (LeakSanitizer).
  if (data[4] != 0) FailAllocationsAfter((data[4] - 1) % 16);
  const int32_t result = PrepareEngine(channels);
  FailAllocationsAfter(-1);
  if (result < PrepareOk || result > PrepareNoMemory) Fail("PrepareEngine result out of range");
  if (result == PrepareOk && !EngineInForce()) Fail("prepared but not loaded");
  if (Settings.GainDB < -60 || Settings.GainDB > 20) Fail("automatic gain out of range");

  const std::vector<int16_t> input = Noise(channels);
  std::vector<int16_t> samples = input;
  Stream(samples, channels, buffer, rate);
  if (result != PrepareOk) {
    // A failed preparation passes audio through unchanged.
    if (samples != input) Fail("audio changed after a failed preparation");
  } else {
    ExpectSilentStart(samples, channels);
    if (flags & 0x20) {  // a second preparation with nothing changed: the fast restart
      if (PrepareEngine(channels) != PrepareOk) Fail("fast restart failed");
      samples = input;
      Stream(samples, channels, buffer, rate);
      ExpectSilentStart(samples, channels);
    }
  }
  if (flags & 0x40) {  // the stream changes channel count: ProcessSamples prepares again
    const int32_t other = 3 - channels;
    std::vector<int16_t> more = Noise(other);
    Stream(more, other, buffer, rate);
  }
  UnloadEngine();
  if (LiveAllocations() != 0) Fail("memory left after the engine was released");
  return 0;
}
