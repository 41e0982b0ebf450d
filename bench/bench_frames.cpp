// SPDX-License-Identifier: GPL-2.0-or-later
// The per-frame work (conversion, gain, routing, the dry, the mix, the
// clip) in ns a frame: 576-frame calls through a kind with no block work,
// its block and dry line as long as a real engine's, per depth and route,
// best of seven rounds taken in turns. Built natively
// and for Windows, to be run under Wine as the DLL's own code.
// Usage: bench_frames [seconds of audio, default 20]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/memory.h"
#include "engine/engine.h"
#include "tests/support/audio.h"

namespace {

// A kind with no block work: what streaming costs apart from the transforms.
// Its block, and the dry line, as long as a given engine's: a 3 s IR's
// one-block engine streams through 262,144 frames, the low-latency one 512.
int32_t gBlock = 512;

bool NoBlockBuild(ConvolutionEngine* e, PreparedIr*, const PartitionLayout&) {
  for (int c = 0; c < e->Route.WorkChannels; ++c) {
    e->Input[c] = AllocDoubles(gBlock);
    e->Output[c] = AllocDoubles(gBlock);
    if (!e->Input[c] || !e->Output[c]) return false;
  }
  e->BlockLength = gBlock;
  return true;
}
void NoBlockStep(ConvolutionEngine*) {}
void NoBlockRelease(ConvolutionEngine* e) {
  for (int c = 0; c < 2; ++c) {
    FreeMemory(e->Input[c]);
    FreeMemory(e->Output[c]);
    e->Input[c] = e->Output[c] = nullptr;
  }
}
int64_t NoBlockBytes(const ConvolutionEngine&) { return 0; }
int NoBlockLengths(int64_t, const PartitionLayout&, PlannedLength[kMaxPlannedLengths]) { return 0; }

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 20;
  const std::vector<int16_t> audio =
      NoiseSamples(static_cast<size_t>(seconds * 44100) * 2, 1, 12000);
  // The one-block kind streams through a 3 s IR's block, 262,144 frames,
  // the dry line as long; the low-latency one through 512 frames, its line
  // 10 s long (the history), or as long as the block with no ramps (the
  // loop as it would be without the seamless changes).
  struct Row {
    const char* engine;
    const char* name;
    int32_t channels, fileChannels, monoIn, monoOut, mix;
    bool ramps;  // ramps settled
    int32_t block, line;
  };
  constexpr int32_t kOne = 262144, kHistory = 441000;
  const Row rows[] = {
      {"one-block", "mono", 1, 1, 0, 0, 100, false, kOne, kOne},
      {"one-block", "stereo, mono IR", 2, 1, 0, 0, 100, false, kOne, kOne},
      {"one-block", "stereo", 2, 2, 0, 0, 100, false, kOne, kOne},
      {"one-block", "stereo, ForceMonoIn", 2, 2, 1, 0, 100, false, kOne, kOne},
      {"one-block", "stereo, ForceMonoOut", 2, 2, 0, 1, 100, false, kOne, kOne},
      {"one-block", "stereo, Mix 37", 2, 2, 0, 0, 37, false, kOne, kOne},
      {"low latency", "mono", 1, 1, 0, 0, 100, true, 512, kHistory},
      {"low latency", "stereo", 2, 2, 0, 0, 100, true, 512, kHistory},
      {"low latency", "stereo, Mix 37", 2, 2, 0, 0, 37, true, 512, kHistory},
      {"low latency, no ramps, no history", "stereo", 2, 2, 0, 0, 100, false, 512, 512},
  };
  const int depths[] = {8, 16, 24};
  constexpr int kRows = sizeof rows / sizeof rows[0];
  const int64_t frames = static_cast<int64_t>(audio.size() / 2);
  std::vector<uint8_t> bytes[3];
  for (int d = 0; d < 3; ++d) {  // the 16-bit audio at each depth
    const int b = depths[d] / 8;
    bytes[d].resize(audio.size() * b);
    for (size_t i = 0; i < audio.size(); ++i) {
      const int32_t v = b == 1   ? (audio[i] >> 8) + 128
                        : b == 3 ? audio[i] * 256 + (i & 0xFF)
                                 : audio[i];
      std::memcpy(bytes[d].data() + i * b, &v, b);
    }
  }
  EngineKind kinds[3];  // as the one-block kind, the low-latency one, and that without ramps
  for (int k = 0; k < 3; ++k) {
    kinds[k] = {NoBlockBuild,   NoBlockStep,  [](ConvolutionEngine*) {},
                NoBlockRelease, NoBlockBytes, NoBlockLengths,
                k == 1,         k == 0};
  }
  double best[kRows][3];
  for (auto& row : best) std::fill(row, row + 3, 1e9);
  std::vector<uint8_t> work;
  for (int round = 0; round < 7; ++round) {
    for (int r = 0; r < kRows; ++r) {
      const Row& row = rows[r];
      std::atomic<double> gain{0.7};
      std::atomic<int32_t> mix{row.mix};
      PreparedIr none{};
      gBlock = row.block;
      const EngineRoute route =
          ChooseRoute(row.channels, row.fileChannels, row.monoIn, row.monoOut);
      ConvolutionEngine* e = BuildEngine(kinds[row.ramps          ? 1
                                               : row.block == 512 ? 2
                                                                  : 0],
                                         route, &none, 1.0, {&gain, &mix, kPartitionLayout});
      DryLine line{};
      if (!e || !AllocDryLine(&line, row.channels, row.line)) std::abort();
      for (int d = 0; d < 3; ++d) {
        const int frameBytes = row.channels * depths[d] / 8;
        const int64_t count = frames * 2 / row.channels;  // the same bytes at every width
        work = bytes[d];
        StreamRamps ramps{};
        const auto start = std::chrono::steady_clock::now();
        for (int64_t at = 0; at < count; at += 576) {
          const int32_t n = static_cast<int32_t>(std::min<int64_t>(576, count - at));
          if (row.ramps) AimRamps(e, &ramps, true, 2205);
          StreamEngine(e, &line, &ramps, work.data() + at * frameBytes, n, depths[d]);
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best[r][d] = std::min(best[r][d], took.count() / count);
      }
      FreeDryLine(&line);
      ReleaseEngine(e);
    }
  }
  std::printf(
      "The per-frame work: ns a frame through a kind with no block work (576-frame calls, "
      "best of 7)\n\n| engine | route | 8-bit | 16-bit | 24-bit |\n|---|---|---|---|---|\n");
  for (int r = 0; r < kRows; ++r) {
    std::printf("| %s | %s | %.2f | %.2f | %.2f |\n", rows[r].engine, rows[r].name,
                1e9 * best[r][0], 1e9 * best[r][1], 1e9 * best[r][2]);
  }
  return 0;
}
