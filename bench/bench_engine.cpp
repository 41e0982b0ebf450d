// SPDX-License-Identifier: GPL-2.0-or-later
// Engine benchmark: streaming cost against the bare FFT floor, the r2r
// transforms for reference, full reload against one block step, and memory
// against the engine's formula, for stereo IRs of 1, 3 and 6 seconds; then
// the low-latency engine against the one-block engine in the same run, with
// its long levels' steps spread over their periods and whole, as fast as
// possible and at playback pace, each call's CPU against its even share;
// the per-frame work per depth and route; what a rate change, an Apply and a bypass add to the
// slowest call at playback pace; with --layouts the partition layouts it was chosen from. Usage:
// bench_engine [seconds of audio, default 120] [--pace SECONDS, default 30]
//                     [--write-irs DIR] [--layouts [--layout-pace SECONDS, default 8]]
//                     [--events | --depths | --true-stereo: those rows alone]
#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_lock.h"
#include "engine/low_latency.h"
#include "life/life.h"
#include "tests/support/audio.h"
#include "tests/support/engine.h"

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Processor time, of this thread or of the whole process: steadier than
// the clock on a busy machine.
double CpuNow(clockid_t clock = CLOCK_THREAD_CPUTIME_ID) {
  timespec t;
  clock_gettime(clock, &t);
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
double BytesInForce() {
  return static_cast<double>(EngineBytes(*EngineInForce()) + DryLineBytes(DryLineInForce()));
}

size_t HeapInUse() { return mallinfo2().uordblks + mallinfo2().hblkhd; }

// One stream of the audio through the engine in force, in 576-frame calls,
// from a fast restart; at playback pace, each call waits for its time.
struct Run {
  double thread = 0;   // CPU seconds of the streaming thread, the host's audio thread
  double process = 0;  // CPU seconds of the whole process
  double slowest = 0;  // the longest call, on the clock
  double busiest = 0;  // the most CPU one call took on the streaming thread
  double mean = 0;     // the streaming thread's CPU per call
};

Run StreamOnce(const std::vector<int16_t>& audio, bool paced) {
  const int64_t frames = static_cast<int64_t>(audio.size() / 2);
  std::vector<int16_t> work = audio;
  PrepareEngine(2);  // fast restart: empty buffers
  Run r;
  const double thread = CpuNow(), process = CpuNow(CLOCK_PROCESS_CPUTIME_ID);
  auto due = Clock::now();
  for (int64_t at = 0; at < frames; at += 576) {
    const int32_t count = static_cast<int32_t>(std::min<int64_t>(576, frames - at));
    const auto call = Clock::now();
    const double cpu = CpuNow();
    ProcessSamples(nullptr, work.data() + at * 2, count, 16, 2, 44100);
    r.busiest = std::max(r.busiest, CpuNow() - cpu);
    r.slowest = std::max(r.slowest, Since(call));
    if (paced) {
      due += std::chrono::microseconds(13061);
      std::this_thread::sleep_until(due);
    }
  }
  r.thread = CpuNow() - thread;
  r.process = CpuNow(CLOCK_PROCESS_CPUTIME_ID) - process;
  r.mean = r.thread / static_cast<double>((frames + 575) / 576);
  return r;
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

// The engines compared: the one-block engine, and the low-latency engine cut
// as a layout says.
struct Contender {
  const char* name;
  int lowLatency;
  PartitionLayout layout;
};

// The same partitions with each long level's step whole in one call.
PartitionLayout WholeSteps() {
  PartitionLayout whole = PartitionLayoutInUse();
  whole.Spread = false;
  return whole;
}

// One forward transform of n points on the engine's kind of arrays, best of
// many: what a call may carry beyond its even share.
double TransformSeconds(int n) {
  double* real = fftw_alloc_real(n + 2);
  double* bins = fftw_alloc_real(n + 2);
  for (int i = 0; i < n + 2; ++i) real[i] = 1e-3 * (i % 17);
  fftw_plan plan =
      fftw_plan_dft_r2c_1d(n, real, reinterpret_cast<fftw_complex*>(bins), FFTW_ESTIMATE);
  double best = 1e9;
  for (int k = 0; k < 50; ++k) {
    const double start = CpuNow();
    fftw_execute(plan);
    best = std::min(best, CpuNow() - start);
  }
  fftw_destroy_plan(plan);
  fftw_free(real);
  fftw_free(bins);
  return best;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Each contender on one IR, `rounds` times; the machine's speed drifts over
// seconds, so each round runs them one after the other and a ratio to the
// one-block engine (the first contender) is the median of the rounds'.
struct Rounds {
  std::vector<Run> best;                         // per contender: least CPU, slowest call
  std::vector<std::vector<double>> thread, all;  // per contender: the rounds' ratios
  std::vector<std::string> layout;               // per contender: its partitions
  std::vector<double> heap;                      // per contender: heap taken by a full load
};

Rounds RunRounds(const std::string& ir, const std::vector<Contender>& contenders,
                 const std::vector<int16_t>& audio, int rounds, bool paced) {
  const size_t n = contenders.size();
  Rounds r{std::vector<Run>(n), std::vector<std::vector<double>>(n),
           std::vector<std::vector<double>>(n), std::vector<std::string>(n),
           std::vector<double>(n)};
  const PartitionLayout chosen = PartitionLayoutInUse();
  for (int round = 0; round < rounds; ++round) {
    double reference = 0;
    for (size_t k = 0; k < n; ++k) {
      UsePartitionLayout(contenders[k].layout);
      r.heap[k] = static_cast<double>(LoadFresh(ir, contenders[k].lowLatency));
      const LowLatencyState* partitions = PartitionsOf(*EngineInForce());
      r.layout[k] = partitions ? LayoutText(*partitions) : "one block";
      const Run run = StreamOnce(audio, paced);
      if (k == 0) reference = run.thread;
      r.thread[k].push_back(run.thread / reference);
      r.all[k].push_back(run.process / reference);
      Run& best = r.best[k];
      best.thread = round ? std::min(best.thread, run.thread) : run.thread;
      best.process = round ? std::min(best.process, run.process) : run.process;
      best.slowest = std::max(best.slowest, run.slowest);
      best.busiest = std::max(best.busiest, run.busiest);
      best.mean = round ? std::min(best.mean, run.mean) : run.mean;
    }
  }
  UsePartitionLayout(chosen);
  return r;
}

// The low-latency engine against the one-block engine: its partitions and
// memory, then the engines side by side as fast as possible and at playback
// pace, and each call's CPU against its even share plus one transform of the
// largest level.
void LowLatencyTables(const std::vector<std::string>& irs, const double* lengths,
                      const std::vector<int16_t>& audio, double audioSeconds, double paceSeconds) {
  const std::vector<Contender> contenders = {{"one-block", 0, kPartitionLayout},
                                             {"low latency, whole steps", 1, WholeSteps()},
                                             {"low latency", 1, kPartitionLayout}};
  const std::vector<int16_t> paced(audio.begin(),
                                   audio.begin() + 2 * static_cast<int64_t>(paceSeconds * 44100));
  std::vector<std::string> rows, bounds;
  std::printf(
      "\nLow latency (partitions %d, x%d, up to %d, each long level's step spread over its "
      "period), same audio and IRs\n\n| IR | partitions | one-block | low latency | low / floor | "
      "latency | formula | arrays | with plans |\n|---|---|---|---|---|---|---|---|---|\n",
      kPartitionLayout.Block, kPartitionLayout.Growth, kPartitionLayout.Largest);
  for (size_t i = 0; i < irs.size(); ++i) {
    const Rounds fast = RunRounds(irs[i], contenders, audio, 5, false);
    const Rounds pace = RunRounds(irs[i], contenders, paced, 1, true);
    // The last contender, the spread engine, is in force.
    const ConvolutionEngine& e = *EngineInForce();
    const LowLatencyState& partitions = *PartitionsOf(e);
    const int32_t latency = e.BlockLength;
    const double formula = static_cast<double>(LowLatencyBytes(partitions));
    const double arrays = static_cast<double>(EngineBytes(e));  // the history is the stream's
    const int32_t largest = partitions.Levels[partitions.LevelCount - 1].Size;
    const double transform = TransformSeconds(2 * largest);
    LoadFresh(irs[i], 0);
    const int h = EngineInForce()->BlockLength;
    const double floor = FloorSeconds(2 * h, static_cast<int64_t>(audio.size() / 2) / h, false);
    std::printf("| %.0f s | %s | %.0fx | %.0fx | %.2f | %d (%.1f ms) | %.2f MB | %.4f | %.3f |\n",
                lengths[i], fast.layout[2].c_str(), audioSeconds / fast.best[0].thread,
                audioSeconds / fast.best[2].process, fast.best[2].process / floor, latency,
                1e3 * latency / 44100.0, formula / 1e6, arrays / formula, fast.heap[2] / formula);
    for (size_t k = 0; k < contenders.size(); ++k) {
      char row[512];
      std::snprintf(row, sizeof row,
                    "| %.0f s | %s | %s | %.2f (%.2f-%.2f) | %.2f / %.2f ms | %.2f | %.2f / %.2f "
                    "ms |",
                    lengths[i], contenders[k].name, fast.layout[k].c_str(), Median(fast.all[k]),
                    *std::min_element(fast.all[k].begin(), fast.all[k].end()),
                    *std::max_element(fast.all[k].begin(), fast.all[k].end()),
                    1e3 * fast.best[k].slowest, 1e3 * fast.best[k].busiest, pace.all[k][0],
                    1e3 * pace.best[k].slowest, 1e3 * pace.best[k].busiest);
      rows.push_back(row);
    }
    for (const auto* r : {&fast, &pace}) {
      const Run& low = r->best[2];
      const double bound = low.mean + transform;
      char row[256];
      std::snprintf(row, sizeof row,
                    "| %.0f s | %s | %.3f ms | %d: %.3f ms | %.3f ms | %.3f ms | %s |", lengths[i],
                    r == &fast ? "fast" : "playback", 1e3 * low.mean, 2 * largest, 1e3 * transform,
                    1e3 * bound, 1e3 * low.busiest, low.busiest <= bound ? "yes" : "no");
      bounds.push_back(row);
    }
  }
  std::printf(
      "\nrealtime factors: the best of five rounds; formula: sum over levels of count (2 size + 8) "
      "(inputs + IR channels) floats, in doubles the input rings (3 largest per input), the output "
      "rings (latest offset + 2 block per path), and per level 2 size + 4 and 2 size per path of "
      "scratch, and the schedule's ints; arrays: with the per-block buffers; with plans: heap "
      "taken by a full load / formula\n");
  std::printf(
      "\nThe engines side by side: as fast as possible (%.0f s of audio, five rounds) and at "
      "playback pace (%.0f s, 576 frames every 13.06 ms)\n\n| IR | engine | partitions | fast: "
      "CPU (range) | slowest call | playback: CPU | slowest call "
      "|\n|---|---|---|---|---|---|---|\n",
      audioSeconds, paceSeconds);
  for (const auto& row : rows) std::printf("%s\n", row.c_str());
  std::printf(
      "\nCPU: the process's over the one-block engine's, the median of the rounds' ratios (every "
      "engine runs on the streaming thread); slowest call: the longest 576-frame call on the clock "
      "(13.1 ms of audio; time taken by other threads and processes included) / the most CPU one "
      "call took\n");
  std::printf(
      "\nEach call of the low-latency engine against its even share and one transform of the "
      "largest level\n\n| IR | run | mean call | largest transform | bound | busiest call | "
      "within |\n|---|---|---|---|---|---|---|\n");
  for (const auto& row : bounds) std::printf("%s\n", row.c_str());
  std::printf(
      "\nmean call: the streaming thread's CPU per 576-frame call (its even share); largest "
      "transform: one forward transform of that many points, best of 50; bound: their sum; "
      "busiest call: the most CPU one call took, all rounds\n");
}
// True-stereo IRs (four channels) against stereo IRs of the same length,
// each kind of engine, as fast as possible: the CPU's ratio, the median of
// five rounds taken in turns, and the engine's bytes against its formula.
void TrueStereoRows(const std::filesystem::path& dir, const std::vector<int16_t>& audio) {
  std::printf(
      "\nTrue-stereo IRs against stereo IRs of the same length (%.0f s of stereo audio, five "
      "rounds)\n\n| IR | engine | stereo | true stereo | true / stereo (range) | formula | "
      "arrays |\n|---|---|---|---|---|---|---|\n",
      audio.size() / 2 / 44100.0);
  const double audioSeconds = audio.size() / 2 / 44100.0;
  for (int seconds : {1, 3, 6}) {
    const int64_t frames = seconds * 44100;
    const std::string two = (dir / "stereo.wav").string(), four = (dir / "four.wav").string();
    WritePcm16(two, DecayingIr(2, frames, 300 + seconds));
    WritePcm16(four, DecayingIr(4, frames, 400 + seconds));
    for (int kind : {0, 1}) {
      std::vector<double> ratios;
      double best[2] = {1e9, 1e9};
      for (int round = 0; round < 5; ++round) {
        double cpu[2];
        for (int f = 0; f < 2; ++f) {
          LoadFresh(f ? four : two, kind);
          cpu[f] = StreamOnce(audio, false).thread;
          best[f] = std::min(best[f], cpu[f]);
        }
        ratios.push_back(cpu[1] / cpu[0]);
      }
      // The four-channel engine is in force.
      const ConvolutionEngine& e = *EngineInForce();
      double formula, arrays = BytesInForce();
      if (kind) {
        formula = static_cast<double>(LowLatencyBytes(*PartitionsOf(e)));
        arrays = static_cast<double>(EngineBytes(e));  // the history is the stream's
      } else {
        const double h = e.BlockLength, n = 2 * h;
        formula = (2.0 + 2.0 + 4.0 + 1.0) * n * 8 + 2.0 * h * 8 + 2.0 * h * 4;
      }
      std::printf("| %d s | %s | %.0fx | %.0fx | %.2f (%.2f-%.2f) | %.2f MB | %.4f |\n", seconds,
                  kind ? "low latency" : "one-block", audioSeconds / best[0],
                  audioSeconds / best[1], Median(ratios),
                  *std::min_element(ratios.begin(), ratios.end()),
                  *std::max_element(ratios.begin(), ratios.end()), formula / 1e6, arrays / formula);
      std::fflush(stdout);
    }
  }
  UnloadEngine();
  std::printf(
      "\nrealtime factors: the best of five rounds; formula: one-block (2 + 2 + 4 + 1) N + 2 h "
      "doubles (work, spectra, the four IR spectra, the first output's summed products, input) "
      "and 2 h floats of dry; low latency as in the table above, with four IR channels; arrays: "
      "the engine's own (and the one-block engine's dry line) / formula\n");
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
  std::printf("\nOther depths, the mix and IR rates, 3 s stereo IRs, the one-block engine\n\n");
  const std::string ir = (dir / "room3s.wav").string();
  Settings.LowLatency = 0;
  LoadFresh(ir, 0);
  const int64_t frames = static_cast<int64_t>(audio.size() / 2);
  std::vector<uint8_t> packed(3 * audio.size());
  // 16-bit, 24-bit, and 16-bit mixed 37 % wet.
  double seconds[3] = {1e9, 1e9, 1e9};
  for (int round = 0; round < 5; ++round) {
    for (int kind = 0; kind < 3; ++kind) {
      const bool wide = kind == 1;
      const int bits = wide ? 24 : 16;
      Settings.Mix = kind == 2 ? 37 : 100;
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
      seconds[kind] = std::min(seconds[kind], CpuNow() - start);
    }
  }
  Settings.Mix = 100;
  const double audioSeconds = frames / 44100.0;
  std::printf("| stream | realtime | / 16-bit all wet |\n|---|---|---|\n");
  std::printf(
      "| 16-bit | %.0fx | |\n| 24-bit | %.0fx | %.2f |\n| 16-bit, Mix 37 | %.0fx | %.2f |\n",
      audioSeconds / seconds[0], audioSeconds / seconds[1], seconds[1] / seconds[0],
      audioSeconds / seconds[2], seconds[2] / seconds[0]);

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

// What priming takes beside the audio: a Load of a low-latency engine after
// 12 s of music, against the same Load with nothing in force (no priming),
// best of three each.
void PrimingRows(const std::filesystem::path& dir) {
  std::printf(
      "\nPriming a low-latency engine beside the audio (a Load after 12 s of stereo music)\n\n"
      "| IR | Load, nothing to prime | Load, primed | priming | history |\n"
      "|---|---|---|---|---|\n");
  Settings.LowLatency = 1;
  const std::vector<int16_t> music = NoiseSamples(2 * 12 * 44100, 17, 8000);
  for (int seconds : {1, 3, 6}) {
    const std::string a = (dir / "prime_a.wav").string(), b = (dir / "prime_b.wav").string();
    WritePcm16(a, DecayingIr(2, seconds * 44100, 170));
    WritePcm16(b, DecayingIr(2, seconds * 44100, 171));
    double plain = 1e9, primed = 1e9;
    for (int round = 0; round < 3; ++round) {
      NameIr(b);
      UnloadEngine();
      auto start = Clock::now();
      PrepareEngine(2);
      plain = std::min(plain, Since(start));
      NameIr(a);
      UnloadEngine();
      PrepareEngine(2);
      std::vector<int16_t> work = music;
      ProcessSamples(nullptr, work.data(), static_cast<int32_t>(work.size() / 2), 16, 2, 44100);
      NameIr(b);
      start = Clock::now();
      PrepareEngine(kStreamChannels);
      primed = std::min(primed, Since(start));
    }
    std::printf("| %d s | %.1f ms | %.1f ms | %.1f ms | %.2f MB |\n", seconds, 1e3 * plain,
                1e3 * primed, 1e3 * (primed - plain), DryLineBytes(DryLineInForce()) / 1e6);
    std::filesystem::remove(a);
    std::filesystem::remove(b);
  }
  Settings.LowLatency = 0;
  UnloadEngine();
}

// What a listener's or a host's event adds to the slowest call at playback
// pace: the same stream with and without it, each kind of engine. The
// window's actions run on a thread of their own, as the window's would.
void EventRows(const std::filesystem::path& dir) {
  const std::string room6 = (dir / "room6s.wav").string();
  const std::string long60 = (dir / "long60s.wav").string();
  WritePcm16(long60, DecayingIr(2, 60 * 44100, 161));
  const std::vector<int16_t> buffer = NoiseSamples(2 * 576, 9, 8000);
  constexpr int kCalls = 460;  // 6 s
  // Streams kCalls buffers at `rate`; event(call) runs before each call.
  const auto slowest = [&](int32_t rate, const std::function<void(int)>& event) {
    double worst = 0;
    auto due = Clock::now();
    std::vector<int16_t> work;
    for (int call = 0; call < kCalls; ++call) {
      event(call);
      work = buffer;
      const auto start = Clock::now();
      ProcessSamples(nullptr, work.data(), 576, 16, 2, rate);
      worst = std::max(worst, Since(start));
      due += std::chrono::microseconds(13061);
      std::this_thread::sleep_until(due);
    }
    return worst;
  };
  std::thread window;
  const auto onWindow = [&](void (*action)()) {
    if (window.joinable()) window.join();
    window = std::thread(action);
  };
  std::printf(
      "\nWhat an event adds to the slowest call, 576-frame calls at playback pace, 6 s each\n\n"
      "| event | engine | slowest call without | with |\n|---|---|---|---|\n");
  PreparationWanted = [] { std::thread(PrepareForRate).detach(); };
  {
    // The first rate after Init, waited for by the first buffer: the host
    // waited after Init, so the start-up preparation was for 44.1 kHz.
    PcmAudio room48 = DecayingIr(2, 6 * 48000, 162);
    room48.rate = 48000;
    const std::string path = (dir / "room6s_48000.wav").string();
    WritePcm16(path, room48);
    NameIr(path);
    Settings.LowLatency = 0;
    double first[2];
    for (int key : {0, 1}) {
      Settings.ResampleIR = key;
      EndLife();
      ReleaseLife();
      Settings.SampleRate = 44100;
      StartLife(true);
      PrepareEngineAtStartUp();
      first[key] = slowest(96000, [](int) {});
    }
    std::printf(
        "| the first rate after Init, waited for by the first buffer: a 6 s stereo 48 kHz IR, "
        "start-up at 44.1 kHz, music at 96 kHz | one-block | %.2f ms | %.2f ms |\n",
        1e3 * first[0], 1e3 * first[1]);
    std::filesystem::remove(path);
  }
  for (int kind : {0, 1}) {
    Settings.LowLatency = kind;
    const char* name = kind ? "low latency" : "one-block";
    Settings.ResampleIR = 1;
    for (int32_t rate : {96000, 192000}) {
      NameIr(room6);
      Settings.SampleRate = rate;
      UnloadEngine();
      PrepareEngine(2);
      const double without = slowest(rate, [](int) {});
      Settings.SampleRate = 44100;
      UnloadEngine();
      PrepareEngine(2);
      const double with = slowest(rate, [](int) {});
      std::printf("| ResampleIR, 6 s stereo IR, 44.1 to %d kHz | %s | %.2f ms | %.2f ms |\n",
                  rate / 1000, name, 1e3 * without, 1e3 * with);
    }
    Settings.ResampleIR = 0;
    static std::string other;
    other = (dir / "room6s_other.wav").string();
    WritePcm16(other, DecayingIr(2, 6 * 44100, 163));
    NameIr(room6);
    UnloadEngine();
    PrepareEngine(2);
    const double before = slowest(44100, [](int) {});
    const double load = slowest(44100, [&](int call) {
      if (call == kCalls / 2) {
        onWindow([] {
          NameIrFile(other.c_str(), false);
          PrepareEngine(kStreamChannels);
        });
      }
    });
    std::printf("| Load of another 6 s stereo IR | %s | %.2f ms | %.2f ms |\n", name, 1e3 * before,
                1e3 * load);
    std::filesystem::remove(other);
    NameIr(long60);
    UnloadEngine();
    PrepareEngine(2);
    const double plain = slowest(44100, [](int) {});
    const double apply = slowest(44100, [&](int call) {
      if (call == kCalls / 2) onWindow([] { PrepareEngine(kStreamChannels); });
    });
    const double bypass = slowest(44100, [](int call) {
      if (call == kCalls / 3) Settings.Active = 0;
      if (call == 2 * kCalls / 3) Settings.Active = 1;
    });
    std::printf("| Apply unchanged, 60 s stereo IR | %s | %.2f ms | %.2f ms |\n", name, 1e3 * plain,
                1e3 * apply);
    std::printf("| Active off and on, 60 s stereo IR | %s | %.2f ms | %.2f ms |\n", name,
                1e3 * plain, 1e3 * bypass);
    const double drag = slowest(44100, [](int call) {
      if (call > kCalls / 3 && call < 2 * kCalls / 3) SetGainDB(-(call % 20));
    });
    SetGainDB(0);
    std::printf("| the gain slider dragged for 2 s, 60 s stereo IR | %s | %.2f ms | %.2f ms |\n",
                name, 1e3 * plain, 1e3 * drag);
  }
  if (window.joinable()) window.join();
  std::this_thread::sleep_for(std::chrono::seconds(1));  // a rate's preparation still running
  PreparationWanted = nullptr;
  Settings.LowLatency = 0;
  UnloadEngine();
  std::filesystem::remove(long60);
  std::printf("\ngoal: an event adds at most one buffer's duration, 13 ms, to the slowest call\n");
}

// Each candidate layout against the one-block engine: the CPU over the
// one-block engine's as fast as possible (median of three rounds) and at
// playback pace (one round), and the busiest call at playback pace.
void LayoutTable(const std::vector<std::string>& irs, const double* lengths,
                 const std::vector<int16_t>& audio, double paceSeconds) {
  std::printf(
      "\nPartition layouts: low latency / one-block CPU, as fast as possible (median of three "
      "rounds) and at playback pace (%.0f s, one round); the busiest call at playback pace\n\n"
      "| block | growth | largest |",
      paceSeconds);
  for (size_t i = 0; i < irs.size(); ++i)
    std::printf(" %.0f s: fast, playback, busiest |", lengths[i]);
  std::printf("\n|---|---|---|%s\n", std::string(irs.size() * 4, '-').c_str());
  const std::vector<int16_t> paced(audio.begin(),
                                   audio.begin() + 2 * static_cast<int64_t>(paceSeconds * 44100));
  std::vector<PartitionLayout> layouts;
  for (int32_t block : {256, 512}) {
    for (int32_t growth : {2, 4, 8}) {
      for (int32_t largest : {16384, 32768, 65536}) {
        if (block == 512 || (growth == 4 && largest == 32768)) {
          layouts.push_back({block, growth, largest, true});
        }
      }
    }
  }
  for (const PartitionLayout& layout : layouts) {
    std::printf("| %d | %d | %d |", layout.Block, layout.Growth, layout.Largest);
    for (const auto& ir : irs) {
      const std::vector<Contender> pair = {{"one-block", 0, layout}, {"low", 1, layout}};
      const Rounds fast = RunRounds(ir, pair, audio, 3, false);
      const Rounds pace = RunRounds(ir, pair, paced, 1, true);
      std::printf(" %.2f, %.2f, %.2f ms |", Median(fast.all[1]), pace.all[1][0],
                  1e3 * pace.best[1].busiest);
    }
    std::printf("\n");
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  double audioSeconds = 120;
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "qlv_bench";
  bool writeOnly = false;
  double paceSeconds = 30;
  bool layouts = false;
  bool eventsOnly = false;
  bool depthsOnly = false;
  bool trueStereoOnly = false;
  double layoutPace = 8;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--layouts") == 0) {
      layouts = true;
    } else if (std::strcmp(argv[i], "--events") == 0) {
      eventsOnly = true;
    } else if (std::strcmp(argv[i], "--depths") == 0) {
      depthsOnly = true;
    } else if (std::strcmp(argv[i], "--true-stereo") == 0) {
      trueStereoOnly = true;

    } else if (std::strcmp(argv[i], "--layout-pace") == 0 && i + 1 < argc) {
      layoutPace = std::atof(argv[++i]);
    } else if (std::strcmp(argv[i], "--pace") == 0 && i + 1 < argc) {
      paceSeconds = std::atof(argv[++i]);
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
  WritePcm16((dir / "room03s.wav").string(), DecayingIr(2, 13230, 99));      // a short room, 0.3 s
  WritePcm16((dir / "four3s.wav").string(), DecayingIr(4, 3 * 44100, 500));  // true stereo
  if (writeOnly) return 0;

  StartLife(false);
  ResetSettings();
  if (eventsOnly) {
    PrimingRows(dir);
    EventRows(dir);
    return 0;
  }
  const int64_t frames = static_cast<int64_t>(audioSeconds * 44100);
  const std::vector<int16_t> audio = NoiseSamples(static_cast<size_t>(frames) * 2, 1, 12000);
  if (depthsOnly) {
    DepthAndConversion(dir, audio);
    return 0;
  }
  if (trueStereoOnly) {
    TrueStereoRows(dir, audio);
    return 0;
  }

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
    const double formula = (2.0 + 2.0 + 2.0) * n * 8 + 2.0 * h * 8 + 2.0 * h * 4;
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
      "step: the floor's cost per block; formula: (2 + 2 + 2) N + 2 h doubles and 2 h floats of "
      "dry; arrays: the "
      "engine's own arrays / formula; with plans: heap taken by a full load / formula\n");
  LowLatencyTables(irs, lengths, audio, audioSeconds, std::min(paceSeconds, audioSeconds));
  LoadWhilePlaying(dir);
  DepthAndConversion(dir, audio);
  TrueStereoRows(dir, audio);
  EventRows(dir);
  if (layouts) LayoutTable(irs, lengths, audio, std::min(layoutPace, audioSeconds));
  return 0;
}
