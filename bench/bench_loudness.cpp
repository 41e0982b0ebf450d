// SPDX-License-Identifier: GPL-2.0-or-later
// Loudness benchmark: how loud the wet output is against the music, measured
// by libebur128 (BS.1770 integrated loudness), for many kinds of IR, three
// programmes and both engines, under automatic gain, the IR-energy rule and
// Match loudness (with the pink reference and after 10 s of the programme),
// with the share of clipped samples; one room at four stream rates with
// ResampleIR; and what Match loudness costs while streaming. Usage:
// bench_loudness [--quick] [--only loudness|rates|cost] [--rounds N]
//                [--write-irs DIR]
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "bench/loudness_irs.h"
#include "life/life.h"
#include "tests/support/engine.h"
#include "tests/support/loudness.h"

namespace {

// Each run: 10 s heard before Match loudness takes the music's reference,
// 2 s for the tails at the new gain to build up, then 10 s measured, in
// the output as late as the engine's latency (up to 12 s).
constexpr double kHeard = 10, kSettle = 2, kMeasured = 10, kLatest = 12;

double CpuNow(clockid_t clock) {
  timespec t;
  clock_gettime(clock, &t);
  return t.tv_sec + 1e-9 * t.tv_nsec;
}

double Db(double gain) { return 20 * std::log10(gain); }

// The programme as the host hands it over, with its loudness over the
// measured window.
struct Music {
  Programme kind;
  int rate;
  std::vector<int16_t> samples;  // stereo
  double measuredLufs;
};

size_t MeasuredFrom(int rate) { return static_cast<size_t>((kHeard + kSettle) * rate); }
size_t MeasuredFrames(int rate) { return static_cast<size_t>(kMeasured * rate); }

Music MakeMusic(Programme kind, int rate, double seconds = kHeard + kSettle + kMeasured + kLatest) {
  Music m{kind, rate, MakeProgramme(kind, 2, rate, seconds, 40), 0};
  const size_t from = MeasuredFrom(rate);
  m.measuredLufs = IntegratedLoudness(m.samples, 2, rate, from, from + MeasuredFrames(rate));
  return m;
}

// Init as after a Quit: nothing heard yet, so the reference is pink.
void FreshStream() {
  EndLife();
  WaitForHostCalls();
  ReleaseLife();
  StartLife(false);
}

enum class Gain { Auto, Energy, MatchPink, MatchMusic, Fixed };

struct Outcome {
  double db;       // output's loudness minus the input's, over the measured window
  double outLufs;  // the output's
  double clipped;  // share of output samples at full scale there
  double match;    // the match gain in force at the end, in dB
};

// The energy rule's gain: 1 / sqrt of the IR's energy per output, each
// output's paths added as the stereo route mixes them (two paths per output
// for a true-stereo IR).
double EnergyGain(const PcmAudio& ir) {
  double sum = 0;
  for (int16_t s : ir.samples) sum += (s / 32768.0) * (s / 32768.0);
  return 1 / std::sqrt(ir.channels == 1 ? sum : sum / 2);
}

// One run of the music through the IR from a fresh stream.
Outcome Run(const std::string& ir, const Music& music, int lowLatency, Gain gain, double level,
            int resample = 0) {
  FreshStream();
  ResetSettings();
  Settings.LowLatency = lowLatency;
  Settings.SampleRate = music.rate;
  Settings.ResampleIR = resample;
  Settings.AutoGain = gain == Gain::Auto;
  Settings.MatchLoudness = gain == Gain::MatchPink || gain == Gain::MatchMusic;
  if (gain == Gain::Energy) Settings.GainLinear = level;  // not whole dB: past SetGainDB
  if (gain == Gain::Fixed) SetGainDB(static_cast<int32_t>(level));
  NameIr(ir);
  PrepareEngine(2);
  const size_t from = MeasuredFrom(music.rate) + static_cast<size_t>(BlockInForce());
  const size_t to = from + MeasuredFrames(music.rate);
  std::vector<int16_t> out(music.samples.begin(), music.samples.begin() + 2 * to);
  const int64_t frames = static_cast<int64_t>(to);
  const int64_t turn = static_cast<int64_t>(kHeard * music.rate);
  // The pink column is the match prepared before any music, never followed.
  const bool follow = gain != Gain::MatchPink;
  PlayAsHost(&out, 2, music.rate, 0, turn, follow);
  if (gain == Gain::MatchMusic) MatchLoudnessNow();
  PlayAsHost(&out, 2, music.rate, turn, frames, follow);
  Outcome o;
  o.outLufs = IntegratedLoudness(out, 2, music.rate, from);
  o.db = o.outLufs - music.measuredLufs;
  size_t clipped = 0;
  for (size_t i = 2 * from; i < out.size(); ++i) clipped += out[i] == 32767 || out[i] == -32768;
  o.clipped = static_cast<double>(clipped) / static_cast<double>(out.size() - 2 * from);
  o.match = Db(MatchGainInForce());
  SetGainDB(0);
  return o;
}

const char* EngineName(int lowLatency) { return lowLatency ? "low latency" : "one-block"; }

struct Spread {
  double low = HUGE_VAL, high = -HUGE_VAL;
  void Add(double v) { low = std::min(low, v), high = std::max(high, v); }
  double Worst() const { return std::max(std::fabs(low), std::fabs(high)); }
  std::string Text() const {
    char t[64];
    std::snprintf(t, sizeof t, "%+.2f..%+.2f (%.2f)", low, high, high - low);
    return t;
  }
};

void LoudnessTable(const std::vector<BenchIr>& irs, const std::vector<std::string>& paths) {
  const Gain gains[4] = {Gain::Auto, Gain::Energy, Gain::MatchPink, Gain::MatchMusic};
  const char* names[4] = {"automatic gain", "energy rule", "match, pink", "match, after 10 s"};
  const Programme programmes[3] = {Programme::PinkBursts, Programme::BassSong, Programme::Speech};
  std::vector<Music> music;
  for (Programme p : programmes) music.push_back(MakeMusic(p, 44100));
  std::printf(
      "Output loudness minus the input's (dB, BS.1770 integrated, libebur128), stereo 44.1 kHz, "
      "each run from a fresh stream: %.0f s heard, Match loudness taken from them (last column), "
      "%.0f s settling, %.0f s measured. Programmes at %.1f, %.1f, %.1f LUFS over that window\n\n",
      kHeard, kSettle, kMeasured, music[0].measuredLufs, music[1].measuredLufs,
      music[2].measuredLufs);
  std::printf(
      "| IR | programme | engine | %s | %s | %s | %s | clipped %% (same order) | match gain dB "
      "(pink / 10 s) |\n|---|---|---|---|---|---|---|---|---|\n",
      names[0], names[1], names[2], names[3]);
  // Per column: every row, and per programme.
  Spread all[4], per[4][3];
  for (size_t i = 0; i < irs.size(); ++i) {
    const double energy = EnergyGain(irs[i].pcm);
    for (int p = 0; p < 3; ++p) {
      for (int lowLatency : {0, 1}) {
        Outcome o[4];
        for (int g = 0; g < 4; ++g) {
          o[g] = Run(paths[i], music[p], lowLatency, gains[g], energy);
          all[g].Add(o[g].db);
          per[g][p].Add(o[g].db);
        }
        std::printf(
            "| %s | %s | %s | %+.2f | %+.2f | %+.2f | %+.2f | %.3f / %.3f / %.3f / %.3f | %+.2f / "
            "%+.2f |\n",
            irs[i].name.c_str(), ProgrammeName(programmes[p]), EngineName(lowLatency), o[0].db,
            o[1].db, o[2].db, o[3].db, 100 * o[0].clipped, 100 * o[1].clipped, 100 * o[2].clipped,
            100 * o[3].clipped, o[2].match, o[3].match);
        std::fflush(stdout);
      }
    }
  }
  std::printf(
      "\nSpread per column (min..max, width in dB)\n\n| column | every row | pink bursts | bass "
      "song | speech |\n|---|---|---|---|---|\n");
  for (int g = 0; g < 4; ++g) {
    std::printf("| %s | %s | %s | %s | %s |\n", names[g], all[g].Text().c_str(),
                per[g][0].Text().c_str(), per[g][1].Text().c_str(), per[g][2].Text().c_str());
  }
  std::printf(
      "\ngoal, match after 10 s of the programme: every row within +-1 dB: %s (worst %.2f dB)\n"
      "goal, match with the pink reference: pink bursts within +-0.5 dB: %s (worst %.2f dB)\n",
      all[3].Worst() <= 1 ? "yes" : "no", all[3].Worst(), per[2][0].Worst() <= 0.5 ? "yes" : "no",
      per[2][0].Worst());
}

void RatesTable(const std::filesystem::path& dir) {
  PcmAudio room = RatesIr(48000);
  const std::string path = (dir / "hall 2.2 s, 48 kHz.wav").string();
  WritePcm16(path, room);
  const int rates[4] = {44100, 48000, 96000, 192000};
  std::printf(
      "\nOne room (the 2.2 s hall, a 48 kHz file) at every stream rate, ResampleIR=1, pink bursts "
      "(the same music converted); output loudness in LUFS, and minus the input's\n\n"
      "| rate | engine | input | fixed -12 dB | out - in | match, pink | out - in | match, after "
      "10 s | out - in | clipped %% |\n|---|---|---|---|---|---|---|---|---|---|\n");
  Spread spread[2][3];
  for (int rate : rates) {
    const Music music = MakeMusic(Programme::PinkBursts, rate);
    for (int lowLatency : {0, 1}) {
      const Outcome fixed = Run(path, music, lowLatency, Gain::Fixed, -12, 1);
      const Outcome pink = Run(path, music, lowLatency, Gain::MatchPink, 0, 1);
      const Outcome heard = Run(path, music, lowLatency, Gain::MatchMusic, 0, 1);
      spread[lowLatency][0].Add(fixed.outLufs);
      spread[lowLatency][1].Add(pink.outLufs);
      spread[lowLatency][2].Add(heard.outLufs);
      std::printf(
          "| %.1f kHz | %s | %.2f | %.2f | %+.2f | %.2f | %+.2f | %.2f | %+.2f | %.3f / %.3f / "
          "%.3f |\n",
          rate / 1000.0, EngineName(lowLatency), music.measuredLufs, fixed.outLufs, fixed.db,
          pink.outLufs, pink.db, heard.outLufs, heard.db, 100 * fixed.clipped, 100 * pink.clipped,
          100 * heard.clipped);
      std::fflush(stdout);
    }
  }
  std::printf(
      "\n| engine | output spread: fixed -12 dB | match, pink | match, after 10 s |\n"
      "|---|---|---|---|\n");
  bool held = true;
  for (int lowLatency : {0, 1}) {
    std::printf("| %s |", EngineName(lowLatency));
    for (const Spread& s : spread[lowLatency]) {
      std::printf(" %.2f dB |", s.high - s.low);
      held = held && s.high - s.low <= 0.1;
    }
    std::printf("\n");
  }
  std::printf("\ngoal: output loudness within 0.1 dB across the rates: %s\n", held ? "yes" : "no");
  std::filesystem::remove(path);
}

// CPU of one fresh stream of the music with Match loudness off or on, the
// window's FollowLoudness every kFollowMs of stream.
struct Cost {
  std::vector<double> calls;  // each host call's CPU
  double follow = 0;          // FollowLoudness, all calls
  double load = 0;            // the preparation, on the clock
};

Cost StreamCost(const std::string& ir, const Music& music, int lowLatency, int match) {
  FreshStream();
  ResetSettings();
  Settings.LowLatency = lowLatency;
  Settings.MatchLoudness = match;
  NameIr(ir);
  Cost c;
  const auto start = std::chrono::steady_clock::now();
  PrepareEngine(2);
  c.load = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::vector<int16_t> work = music.samples;
  const int64_t frames = static_cast<int64_t>(work.size() / 2);
  const int64_t timer = int64_t{music.rate} * kFollowMs / 1000;
  for (int64_t at = 0; at < frames; at += 576) {
    if (at / timer != (at + 576) / timer) {
      const double t = CpuNow(CLOCK_THREAD_CPUTIME_ID);
      FollowLoudness();
      c.follow += CpuNow(CLOCK_THREAD_CPUTIME_ID) - t;
    }
    const int32_t count = static_cast<int32_t>(std::min<int64_t>(576, frames - at));
    const double t = CpuNow(CLOCK_THREAD_CPUTIME_ID);
    ProcessSamples(nullptr, work.data() + 2 * at, count, 16, 2, music.rate);
    c.calls.push_back(CpuNow(CLOCK_THREAD_CPUTIME_ID) - t);
  }
  return c;
}

// The machine is shared: another process's work only ever adds to a call,
// so each call counts with the least CPU it took in any round (every round
// streams the same calls through the same states).
void CostTable(const std::vector<std::pair<std::string, std::string>>& irs, int rounds,
               double seconds) {
  const Music music = MakeMusic(Programme::BassSong, 44100, seconds);
  std::printf(
      "\nWhat Match loudness costs: %.0f s of the bass song, stereo 44.1 kHz, 576-frame calls, "
      "FollowLoudness every %d ms of stream; %d rounds taken in turns, each call counted with the "
      "least CPU it took in any of them\n\n"
      "| IR | engine | MatchLoudness | realtime | CPU / off | host calls / off | FollowLoudness, "
      "all calls | busiest call | full load |\n|---|---|---|---|---|---|---|---|---|\n",
      seconds, kFollowMs, rounds);
  bool held = true;
  for (const auto& [name, ir] : irs) {
    Cost least[2][2];
    for (int round = 0; round < rounds; ++round) {
      for (int lowLatency : {0, 1}) {
        for (int match : {0, 1}) {
          const Cost c = StreamCost(ir, music, lowLatency, match);
          Cost& l = least[lowLatency][match];
          if (round == 0) {
            l = c;
            continue;
          }
          for (size_t k = 0; k < c.calls.size(); ++k) l.calls[k] = std::min(l.calls[k], c.calls[k]);
          l.follow = std::min(l.follow, c.follow);
          l.load = std::min(l.load, c.load);
        }
      }
    }
    for (int lowLatency : {0, 1}) {
      double cpu[2], calls[2];
      for (int match : {0, 1}) {
        const Cost& l = least[lowLatency][match];
        calls[match] = 0;
        for (double t : l.calls) calls[match] += t;
        cpu[match] = calls[match] + l.follow;
        char ratio[32] = "", host[32] = "";
        if (match) {
          std::snprintf(ratio, sizeof ratio, "%.3f", cpu[1] / cpu[0]);
          std::snprintf(host, sizeof host, "%.3f", calls[1] / calls[0]);
        }
        std::printf("| %s | %s | %d | %.0fx | %s | %s | %.3f ms | %.3f ms | %.1f ms |\n",
                    name.c_str(), EngineName(lowLatency), match, seconds / cpu[match], ratio, host,
                    1e3 * l.follow, 1e3 * *std::max_element(l.calls.begin(), l.calls.end()),
                    1e3 * l.load);
      }
      held = held && cpu[1] <= 1.02 * cpu[0];
    }
  }
  std::printf(
      "\nrealtime: audio seconds per CPU second of the streaming thread, FollowLoudness "
      "included; CPU / off: over the same engine without Match loudness; host calls / off: the "
      "same without FollowLoudness; busiest call: the most CPU one host call took; full load: the "
      "fastest round's, on the clock\n"
      "goal: the reference spectrum adds at most 2 %% to either engine's CPU: %s\n",
      held ? "yes" : "no");
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  std::string only;
  int rounds = 20;  // the cost's: one-block calls vary by several per cent on a shared machine
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "qlv_loudness";
  bool writeOnly = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      quick = true;
    } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
      only = argv[++i];
    } else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--write-irs") == 0 && i + 1 < argc) {
      dir = argv[++i];
      writeOnly = true;
    } else {
      std::fprintf(stderr,
                   "usage: bench_loudness [--quick] [--only loudness|rates|cost] [--rounds N] "
                   "[--write-irs DIR]\n");
      return 2;
    }
  }
  std::filesystem::create_directories(dir);
  std::vector<BenchIr> irs = LoudnessIrs(44100);
  std::vector<std::string> paths;
  for (const BenchIr& ir : irs) {
    paths.push_back((dir / (ir.name + ".wav")).string());
    if (!WritePcm16(paths.back(), ir.pcm)) {
      std::fprintf(stderr, "bench_loudness: cannot write %s\n", paths.back().c_str());
      return 1;
    }
  }
  if (writeOnly) return 0;
  // A long room, and a short one whose one-block line grows for the match.
  std::vector<std::pair<std::string, std::string>> costIrs;
  for (size_t i = 0; i < irs.size(); ++i) {
    if (irs[i].name == "hall 3 s, dark" || irs[i].name == "room 0.3 s, bright")
      costIrs.emplace_back(irs[i].name, paths[i]);
  }
  if (quick) {  // a room of each length class and the oddest of the rest
    std::vector<BenchIr> some;
    std::vector<std::string> somePaths;
    for (size_t i = 0; i < irs.size(); ++i) {
      for (const char* keep : {"room 0.3", "hall 3 s", "cathedral", "true-stereo", "spring",
                               "telephone", "bass shelf", "Dirac"}) {
        if (irs[i].name.rfind(keep, 0) == 0) {
          some.push_back(irs[i]);
          somePaths.push_back(paths[i]);
        }
      }
    }
    irs = some;
    paths = somePaths;
    rounds = std::min(rounds, 3);
  }

  StartLife(false);
  if (only.empty() || only == "loudness") LoudnessTable(irs, paths);
  if (only.empty() || only == "rates") RatesTable(dir);
  if (only.empty() || only == "cost") CostTable(costIrs, rounds, quick ? 20 : 60);
  EndLife();
  WaitForHostCalls();
  ReleaseLife();
  return 0;
}
