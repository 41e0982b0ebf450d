// SPDX-License-Identifier: GPL-2.0-or-later
// Engine benchmark: streaming cost against the bare FFT floor, the r2r
// transforms for reference, full reload against one block step, and memory
// against the engine's formula, for stereo IRs of 1, 3 and 6 seconds; then
// the low-latency engine against the one-block engine in the same run, and
// with --layouts the partition layouts it was chosen from.
// Usage: bench_engine [seconds of audio, default 120] [--write-irs DIR] [--layouts]
#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_lock.h"
#include "engine/in_force.h"
#include "engine/low_latency.h"
#include "tests/support/audio.h"
#include "tests/support/engine.h"

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// This thread's processor time: steadier than the clock on a busy machine.
double CpuNow() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec + 1e-9 * t.tv_nsec;
}

// The floor: per channel and block, a bare r2c transform, N/2 complex
// products and a c2r transform of the same N, each channel on arrays of its
// own as a stereo stream needs them. With r2r, the halfcomplex transforms.
double FloorSeconds(int n, int64_t blocks, bool r2r) {
  double* real[2];
  double* bins[2];
  double* ir[2];
  for (int c = 0; c < 2; ++c) {
    real[c] = fftw_alloc_real(n + 2);
    bins[c] = fftw_alloc_real(n + 2);
    ir[c] = fftw_alloc_real(n + 2);
    for (int i = 0; i < n + 2; ++i) real[c][i] = bins[c][i] = ir[c][i] = 1e-3 * (i % 17);
  }
  auto* complex = reinterpret_cast<fftw_complex*>(bins[0]);
  fftw_plan forward, inverse;
  if (r2r) {
    forward = fftw_plan_r2r_1d(n, real[0], bins[0], FFTW_R2HC, FFTW_ESTIMATE);
    inverse = fftw_plan_r2r_1d(n, bins[0], real[0], FFTW_HC2R, FFTW_ESTIMATE);
  } else {
    forward = fftw_plan_dft_r2c_1d(n, real[0], complex, FFTW_ESTIMATE);
    inverse = fftw_plan_dft_c2r_1d(n, complex, real[0], FFTW_ESTIMATE);
  }
  const auto start = Clock::now();
  for (int64_t k = 0; k < blocks; ++k) {
    for (int c = 0; c < 2; ++c) {
      double* b = bins[c];
      const double* h = ir[c];
      if (r2r) {
        fftw_execute_r2r(forward, real[c], b);
        for (int i = 1; i < n / 2; ++i) {
          const double x = b[i], y = b[n - i];
          b[i] = x * h[i] - y * h[n - i];
          b[n - i] = x * h[n - i] + y * h[i];
        }
        fftw_execute_r2r(inverse, b, real[c]);
      } else {
        auto* cb = reinterpret_cast<fftw_complex*>(b);
        fftw_execute_dft_r2c(forward, real[c], cb);
        for (int i = 0; i <= n / 2; ++i) {
          const double x = b[2 * i], y = b[2 * i + 1];
          b[2 * i] = x * h[2 * i] - y * h[2 * i + 1];
          b[2 * i + 1] = x * h[2 * i + 1] + y * h[2 * i];
        }
        fftw_execute_dft_c2r(inverse, cb, real[c]);
      }
      real[c][0] *= 1e-9;  // keep the values bounded
    }
  }
  const double seconds = Since(start);
  fftw_destroy_plan(forward);
  fftw_destroy_plan(inverse);
  for (int c = 0; c < 2; ++c) {
    fftw_free(real[c]);
    fftw_free(bins[c]);
    fftw_free(ir[c]);
  }
  return seconds;
}

// Bytes of the engine in force's arrays, as it counts them.
double BytesInForce() { return static_cast<double>(EngineBytes(*EngineInForce())); }

size_t HeapInUse() { return mallinfo2().uordblks + mallinfo2().hblkhd; }

struct StreamCost {
  double seconds;  // best of three runs
  double slowest;  // the slowest call of all runs
};

// Streams the audio through the prepared engine in 576-frame calls.
StreamCost Stream(const std::vector<int16_t>& audio, int rounds = 3) {
  const int64_t frames = static_cast<int64_t>(audio.size() / 2);
  StreamCost cost{1e9, 0};
  for (int round = 0; round < rounds; ++round) {
    std::vector<int16_t> work = audio;
    PrepareEngine(2);  // fast restart: empty buffers
    const double start = CpuNow();
    for (int64_t at = 0; at < frames; at += 576) {
      const int32_t count = static_cast<int32_t>(std::min<int64_t>(576, frames - at));
      const double call = CpuNow();
      ProcessSamples(nullptr, work.data() + at * 2, count, 16, 2, 44100);
      cost.slowest = std::max(cost.slowest, CpuNow() - call);
    }
    cost.seconds = std::min(cost.seconds, CpuNow() - start);
  }
  return cost;
}

// Full load of the named IR in the given mode, from nothing; the heap it took.
size_t LoadFresh(const std::string& ir, int lowLatency) {
  NameIr(ir);
  Settings.LowLatency = lowLatency;
  UnloadEngine();
  const size_t before = HeapInUse();
  PrepareEngine(2);
  return HeapInUse() - before;
}

std::string LayoutText(const LowLatencyState& s) {
  std::string text;
  for (int l = 0; l < s.LevelCount; ++l) {
    text += (l ? " + " : "") + std::to_string(s.Levels[l].Count) + "x" +
            std::to_string(s.Levels[l].Size);
  }
  return text;
}

// Both engines on one IR, `rounds` times. The machine's speed drifts over
// seconds, so each round runs them one after the other and the cost ratio
// is the median of the rounds'.
struct SideBySide {
  StreamCost one{1e9, 0}, low{1e9, 0};  // best time, slowest call
  std::vector<double> ratios;           // low / one-block, sorted
  double floor = 0;                     // the one-block engine's floor
  double heap = 0;                      // heap taken by a full low-latency load
  double Median() const { return ratios[ratios.size() / 2]; }
};

SideBySide CompareEngines(const std::string& ir, const std::vector<int16_t>& audio, int rounds) {
  SideBySide r;
  for (int round = 0; round < rounds; ++round) {
    LoadFresh(ir, 0);
    const int n = 2 * EngineInForce()->BlockLength;
    const StreamCost a = Stream(audio, 1);
    if (round == 0) {
      r.floor = FloorSeconds(n, static_cast<int64_t>(audio.size() / 2) / (n / 2), false);
    }
    r.heap = static_cast<double>(LoadFresh(ir, 1));
    const StreamCost b = Stream(audio, 1);
    r.ratios.push_back(b.seconds / a.seconds);
    r.one = {std::min(r.one.seconds, a.seconds), std::max(r.one.slowest, a.slowest)};
    r.low = {std::min(r.low.seconds, b.seconds), std::max(r.low.slowest, b.slowest)};
  }
  std::sort(r.ratios.begin(), r.ratios.end());
  return r;
}

// The low-latency engine against the one-block engine, one IR a row.
void LowLatencyTable(const std::vector<std::string>& irs, const double* lengths,
                     const std::vector<int16_t>& audio, double audioSeconds) {
  std::printf(
      "\nLow latency (partitions %d, x%d, up to %d), same audio and IRs\n\n"
      "| IR | partitions | one-block | low latency | low / one-block (range) | low / floor "
      "| latency | slowest call: one-block | low latency | formula | arrays | with plans |\n"
      "|---|---|---|---|---|---|---|---|---|---|---|---|\n",
      LowLatencyLayout.Block, LowLatencyLayout.Growth, LowLatencyLayout.Largest);
  for (size_t i = 0; i < irs.size(); ++i) {
    const SideBySide r = CompareEngines(irs[i], audio, 5);
    const ConvolutionEngine& e = *EngineInForce();
    const LowLatencyState& partitions = *PartitionsOf(e);
    // The partitions, rings and scratch, plus the per-block arrays.
    const double formula = static_cast<double>(LowLatencyBytes(partitions));
    const double arrays = BytesInForce();
    std::printf(
        "| %.0f s | %s | %.0fx | %.0fx | %.2f (%.2f-%.2f) | %.2f | %d (%.1f ms) | %.2f ms "
        "| %.2f ms | %.2f MB | %.4f | %.3f |\n",
        lengths[i], LayoutText(partitions).c_str(), audioSeconds / r.one.seconds,
        audioSeconds / r.low.seconds, r.Median(), r.ratios.front(), r.ratios.back(),
        r.low.seconds / r.floor, e.BlockLength, 1e3 * e.BlockLength / 44100.0, 1e3 * r.one.slowest,
        1e3 * r.low.slowest, formula / 1e6, arrays / formula, r.heap / formula);
  }
  std::printf(
      "\nrealtime factors: the best of five rounds; low / one-block: the median of the five "
      "rounds' ratios (lowest-highest), each round running both engines one after the other; "
      "slowest call: the longest 576-frame call (13.1 ms of audio); formula: sum over levels of "
      "count (2 size + 8) (inputs + IR channels) floats, input rings 2 largest, output rings "
      "latest offset + 2 block, scratch doubles; arrays: with the per-block buffers; with "
      "plans: heap taken by a full load / formula\n");
}

// A window's Load of a long IR while a short one plays at playback pace: the
// slowest processing call until the swap, and the heap at the swap, when the
// old and the new engine are both alive.
std::atomic<size_t> heapAtSwap{0};

void LoadWhilePlaying(const std::filesystem::path& dir) {
  const std::string shortIr = (dir / "room1s.wav").string();
  const std::string longIr = (dir / "long60s.wav").string();
  WritePcm16(longIr, DecayingIr(2, 60 * 44100, 160));
  std::printf(
      "\nA Load of a 60 s stereo IR while a 1 s IR plays, 576-frame calls at playback pace "
      "(13.1 ms)\n\n| engine | load | calls during it | slowest call | heap: old engine | at the "
      "swap | new engine |\n|---|---|---|---|---|---|---|\n");
  const std::vector<int16_t> buffer = NoiseSamples(2 * 576, 7, 8000);
  BeforeEngineSwap = [] { heapAtSwap = HeapInUse(); };
  for (int lowLatency : {0, 1}) {
    UnloadEngine();
    const size_t heapBefore = HeapInUse();
    Settings.LowLatency = lowLatency;
    NameIr(shortIr);
    PrepareEngine(2);
    const size_t heapOld = HeapInUse();
    std::atomic<bool> done{false};
    const auto started = Clock::now();
    double loadSeconds = 0;
    std::thread window([&] {
      {
        EngineLockGuard hold;
        NameIr(longIr);
      }
      PrepareEngine(kStreamChannels);
      loadSeconds = Since(started);
      done = true;
    });
    double slowest = 0;
    int calls = 0;
    auto due = Clock::now();
    std::vector<int16_t> work;
    while (!done) {
      work = buffer;
      const auto call = Clock::now();
      ProcessSamples(nullptr, work.data(), 576, 16, 2, 44100);
      slowest = std::max(slowest, Since(call));
      ++calls;
      due += std::chrono::microseconds(13061);
      std::this_thread::sleep_until(due);
    }
    window.join();
    std::printf("| %s | %.0f ms | %d | %.2f ms | %.1f MB | %.1f MB | %.1f MB |\n",
                lowLatency ? "low latency" : "one-block", 1e3 * loadSeconds, calls, 1e3 * slowest,
                (heapOld - heapBefore) / 1e6, (heapAtSwap - heapBefore) / 1e6,
                (HeapInUse() - heapBefore) / 1e6);
  }
  BeforeEngineSwap = nullptr;
  UnloadEngine();
  std::filesystem::remove(longIr);
}

// Depths and conversion: streaming at 24 bits against 16 bits, and a full
// load with ResampleIR against one without, best of five each.
void DepthAndConversion(const std::filesystem::path& dir, const std::vector<int16_t>& audio) {
  std::printf("\nOther depths and IR rates, 3 s stereo IRs, the one-block engine\n\n");
  const std::string ir = (dir / "room3s.wav").string();
  Settings.LowLatency = 0;
  LoadFresh(ir, 0);
  const int64_t frames = static_cast<int64_t>(audio.size() / 2);
  std::vector<uint8_t> packed(3 * audio.size());
  double seconds[2] = {1e9, 1e9};
  for (int round = 0; round < 5; ++round) {
    for (int wide = 0; wide < 2; ++wide) {
      const int bits = wide ? 24 : 16;
      for (size_t i = 0; i < audio.size(); ++i) {  // 24-bit: the 16-bit value with a low byte
        const int32_t v = wide ? audio[i] * 256 + (i & 0xFF) : audio[i];
        std::memcpy(packed.data() + i * (bits / 8), &v, bits / 8);
      }
      PrepareEngine(2);
      const double start = CpuNow();
      for (int64_t at = 0; at < frames; at += 576) {
        const int32_t count = static_cast<int32_t>(std::min<int64_t>(576, frames - at));
        ProcessSamples(nullptr, reinterpret_cast<int16_t*>(packed.data() + at * 2 * (bits / 8)),
                       count, bits, 2, 44100);
      }
      seconds[wide] = std::min(seconds[wide], CpuNow() - start);
    }
  }
  const double audioSeconds = frames / 44100.0;
  std::printf("| stream | realtime | 24-bit / 16-bit |\n|---|---|---|\n");
  std::printf("| 16-bit | %.0fx | |\n| 24-bit | %.0fx | %.2f |\n", audioSeconds / seconds[0],
              audioSeconds / seconds[1], seconds[1] / seconds[0]);

  const std::string at48 = (dir / "room3s_48k.wav").string();
  PcmAudio recorded = DecayingIr(2, 3 * 48000, 103);
  recorded.rate = 48000;
  WritePcm16(at48, recorded);
  NameIr(at48);
  double load[2] = {1e9, 1e9};
  for (int round = 0; round < 5; ++round) {
    for (int convert = 0; convert < 2; ++convert) {
      Settings.ResampleIR = convert;
      UnloadEngine();
      const auto start = Clock::now();
      PrepareEngine(2);
      load[convert] = std::min(load[convert], Since(start));
    }
  }
  Settings.ResampleIR = 0;
  UnloadEngine();
  std::printf(
      "\n| full load of a 3 s stereo 48 kHz IR for a 44.1 kHz stream | time |\n|---|---|\n"
      "| as it is (ResampleIR=0) | %.1f ms |\n| converted (ResampleIR=1) | %.1f ms |\n",
      1e3 * load[0], 1e3 * load[1]);
}

// Cost of each candidate layout against the one-block engine.
void LayoutTable(const std::vector<std::string>& irs, const double* lengths,
                 const std::vector<int16_t>& audio) {
  std::printf(
      "\nPartition layouts: low-latency cost / one-block cost, median of three rounds\n\n"
      "| block | growth | largest |");
  for (size_t i = 0; i < irs.size(); ++i) std::printf(" %.0f s |", lengths[i]);
  std::printf("\n|---|---|---|%s\n", std::string(irs.size() * 4, '-').c_str());
  const PartitionLayout chosen = LowLatencyLayout;
  for (int32_t block : {256, 512}) {
    for (int32_t growth : {4, 8, 16}) {
      for (int32_t largest : {16384, 32768, 131072}) {
        LowLatencyLayout = {block, growth, largest};
        std::printf("| %d | %d | %d |", block, growth, largest);
        for (const auto& ir : irs) std::printf(" %.2f |", CompareEngines(ir, audio, 3).Median());
        std::printf("\n");
        std::fflush(stdout);
      }
    }
  }
  LowLatencyLayout = chosen;
}

}  // namespace

int main(int argc, char** argv) {
  double audioSeconds = 120;
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "qlv_bench";
  bool writeOnly = false;
  bool layouts = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--layouts") == 0) {
      layouts = true;
    } else if (std::strcmp(argv[i], "--write-irs") == 0 && i + 1 < argc) {
      dir = argv[++i];
      writeOnly = true;
    } else {
      audioSeconds = std::atof(argv[i]);
    }
  }
  std::filesystem::create_directories(dir);
  const double lengths[] = {1, 3, 6};
  for (double s : lengths) {
    WritePcm16((dir / ("room" + std::to_string(int(s)) + "s.wav")).string(),
               DecayingIr(2, static_cast<int64_t>(s * 44100), 100 + unsigned(s)));
  }
  if (writeOnly) return 0;

  CreateEngineLock();
  ResetSettings();
  const int64_t frames = static_cast<int64_t>(audioSeconds * 44100);
  const std::vector<int16_t> audio = NoiseSamples(static_cast<size_t>(frames) * 2, 1, 12000);

  std::printf("Stereo 44.1 kHz, stereo IRs, %.0f s of audio in 576-frame buffers, best of 3\n\n",
              audioSeconds);
  std::printf(
      "| IR | engine | floor (r2c/c2r) | engine / floor | r2r floor | reload | "
      "stereo block step | reload / step | formula | arrays | with plans |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
  std::vector<std::string> irs;
  for (double s : lengths) {
    const std::string ir = (dir / ("room" + std::to_string(int(s)) + "s.wav")).string();
    irs.push_back(ir);
    NameIr(ir);
    Settings.LowLatency = 0;
    UnloadEngine();  // measure one load from nothing
    const size_t heapBefore = HeapInUse();
    PrepareEngine(2);
    const size_t heapAfter = HeapInUse();
    const int h = EngineInForce()->BlockLength, n = 2 * h;
    const double formula = (2.0 + 2.0 + 2.0) * n * 8 + 2.0 * h * 8;
    const int64_t blocks = frames / h;
    const double arrays = BytesInForce();

    double engine = 1e9, floor = 1e9, r2r = 1e9;
    for (int round = 0; round < 3; ++round) {
      std::vector<int16_t> work = audio;
      PrepareEngine(2);  // fast restart: empty buffers
      const auto start = Clock::now();
      for (int64_t at = 0; at < frames; at += 576) {
        const int32_t count = static_cast<int32_t>(std::min<int64_t>(576, frames - at));
        ProcessSamples(nullptr, work.data() + at * 2, count, 16, 2, 44100);
      }
      engine = std::min(engine, Since(start));
      floor = std::min(floor, FloorSeconds(n, blocks, false));
      r2r = std::min(r2r, FloorSeconds(n, blocks, true));
    }

    // Full reload: alternate between two names of the same IR.
    const std::string copy = ir + ".copy.wav";
    std::filesystem::copy_file(ir, copy, std::filesystem::copy_options::overwrite_existing);
    double reload = 1e9;
    for (int round = 0; round < 3; ++round) {
      std::snprintf(Settings.IRFile, kPathChars, "%s", (round % 2 ? ir : copy).c_str());
      const auto start = Clock::now();
      PrepareEngine(2);
      reload = std::min(reload, Since(start));
    }
    const double step = floor / blocks;  // two channels' transforms and products
    std::printf(
        "| %.0f s | %.0fx | %.0fx | %.2f | %.0fx | %.1f ms | %.1f ms | %.2f | %.2f MB | %.4f | "
        "%.3f |\n",
        s, audioSeconds / engine, audioSeconds / floor, engine / floor, audioSeconds / r2r,
        1e3 * reload, 1e3 * step, reload / step, formula / 1e6, arrays / formula,
        (heapAfter - heapBefore) / formula);
  }
  std::printf(
      "\nengine, floors: audio seconds per second of one core (realtime factor); stereo block "
      "step: the floor's cost per block; formula: (2 + 2 + 2) N + 2 h doubles; arrays: the "
      "engine's own arrays / formula; with plans: heap taken by a full load / formula\n");
  LowLatencyTable(irs, lengths, audio, audioSeconds);
  LoadWhilePlaying(dir);
  DepthAndConversion(dir, audio);
  if (layouts) LayoutTable(irs, lengths, audio);
  return 0;
}
