// SPDX-License-Identifier: GPL-2.0-or-later
// Tune: the plug-in's own transform lengths and plan-making code, with
// FFTW_MEASURE instead of FFTW_ESTIMATE.
#include "tools/irtool/tune.h"

#include <fftw3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "base/memory.h"
#include "engine/engine.h"
#include "engine/plans.h"
#include "ir/impulse_response.h"
#include "ir/wav_header.h"
#include "tools/irtool/files.h"
#include "tools/irtool/irtool.h"
#include "tools/irtool/ticker.h"

namespace {

// The rate the tool assumes for the size limit: the player's usual one.
constexpr int64_t kLimitRate = 44100;

struct Length {
  int32_t n;
  std::vector<std::string> irs;  // the IRs that need it, the first named
  std::string what;              // how the first plays with it
  int rank;  // 0: the current IR as it plays now, 1: its other lengths, 2: any other
};

void Add(std::vector<Length>* lengths, int32_t n, const std::string& ir, const std::string& what,
         int rank) {
  auto known =
      std::find_if(lengths->begin(), lengths->end(), [n](const Length& l) { return l.n == n; });
  if (known == lengths->end()) {
    lengths->push_back({n, {ir}, what, rank});
    return;
  }
  auto& irs = known->irs;
  const auto same = std::find(irs.begin(), irs.end(), ir);
  if (rank < known->rank) {  // named after the IR it matters most for
    if (same != irs.end()) irs.erase(same);
    irs.insert(irs.begin(), ir);
    known->what = what;
    known->rank = rank;
  } else if (same == irs.end()) {
    irs.push_back(ir);
  }
}

// The lengths the plug-in's transforms take for an IR of `frames` frames
// in a stream at `rate` (0: as it is, the limit at the player's usual
// rate): whole, and under the size limit when that is on; with the
// low-latency engine also its partitions' (the whole IR's length then
// serves only to load it). Empty on success, else why not.
std::string AddLengthsAt(const std::string& path, int64_t frames, int32_t rate,
                         const TuneRequest& request, std::vector<Length>* lengths) {
  const std::string ir = FileName(path);
  const std::string at = rate ? " at " + std::to_string(rate) + " Hz" : "";
  for (int32_t limited = 0; limited <= (request.limitOn ? 1 : 0); ++limited) {
    const int64_t used = LimitedFrames(frames, limited, request.limitMs, rate ? rate : kLimitRate);
    PlannedLength planned[kMaxPlannedLengths];
    const int count = EngineKindFor(request.lowLatency).Lengths(used, kPartitionLayout, planned);
    if (count == 0) return "too long for the plug-in";
    const bool current = path == request.current;
    const int streaming = !current ? 2 : limited == request.limitOn ? 0 : 1;
    for (int i = 0; i < count; ++i) {
      const char* what = limited ? " with the size limit" : "";
      if (request.lowLatency && planned[i].Streams) {
        what = limited ? " with the size limit, low latency" : ", low latency";
      } else if (request.lowLatency) {
        what = limited ? " with the size limit, to load it" : ", to load it";
      }
      Add(lengths, planned[i].N, ir, what + at, planned[i].Streams ? streaming : current ? 1 : 2);
    }
  }
  return "";
}

// The lengths for this IR as it is, and with ResampleIR also converted for
// 44.1 and 48 kHz streams, counted by the plug-in's own conversion.
std::string AddLengths(const std::string& path, const TuneRequest& request,
                       std::vector<Length>* lengths) {
  std::FILE* file = OpenFile(path, "rb");
  if (!file) return "cannot be opened";
  WavFormat format{};
  int32_t size = 0;
  const bool accepted = ReadWavHeader(file, &format, &size) == 0;
  const long data = std::ftell(file);
  if (!accepted) {
    std::fclose(file);
    return "not a WAV file the plug-in reads (16-bit PCM, 1, 2 or 4 channels): convert it";
  }
  const int64_t frames = size / format.BlockAlign;
  std::string why = AddLengthsAt(path, frames, 0, request, lengths);
  for (int32_t rate : {44100, 48000}) {
    if (!why.empty() || !request.resampleIr || !NeedsResampling(format.SampleRate, rate)) continue;
    std::fseek(file, data, SEEK_SET);
    int64_t converted = 0;
    why = !ResampledFrames(file, frames, format.Channels, static_cast<int32_t>(format.SampleRate),
                           rate, &converted)
              ? "cannot be converted (not enough memory)"
              : AddLengthsAt(path, converted, rate, request, lengths);
  }
  std::fclose(file);
  return why;
}

// Makes and drops the plug-in's two plans: what stays is the wisdom.
bool MakeAndDrop(int32_t n, unsigned flags) {
  fftw_plan forward = nullptr, inverse = nullptr;
  const bool made = MakeTransformPlans(n, flags, &forward, &inverse);
  DestroyPlan(&forward);
  DestroyPlan(&inverse);
  return made;
}

class FftwPlanner : public TunePlanner {
 public:
  double Now() override {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  bool Fits(int32_t n) override {
    Owned<double> real(AllocDoubles(n)), bins(AllocDoubles(int64_t{n} + 2));
    return real && bins;
  }
  bool Known(int32_t n) override { return MakeAndDrop(n, FFTW_MEASURE | FFTW_WISDOM_ONLY); }
  bool Measure(int32_t n, double limit) override {
    fftw_set_timelimit(limit);  // for each plan: the inverse gets its own
    const bool made = MakeAndDrop(n, FFTW_MEASURE);
    fftw_set_timelimit(FFTW_NO_TIMELIMIT);
    return made;
  }
  void Probe(int32_t n, double limit) override {
    char* kept = fftw_export_wisdom_to_string();
    fftw_forget_wisdom();
    Measure(n, limit);
    fftw_forget_wisdom();
    if (kept) fftw_import_wisdom_from_string(kept);
    std::free(kept);
  }
};

// A small power of two, planned before the first length of a run to learn
// this computer's pace (2 to 3 s under Wine here). Per unit of work it
// takes about twice what large lengths take: FFTW's costs per candidate
// algorithm weigh more in it.
constexpr int32_t kProbeLength = 16384;
constexpr double kProbeCostsMore = 2;

// Planning work in arbitrary units: n log n, and about twice that with three
// odd factors, for which FFTW measures more algorithms (under Wine here
// 52920 took 9 to 12 s, 131072 12 s, 396900 about 60 s).
double PlanningWork(int32_t n) {
  int odd = 0;
  int32_t m = n;
  while (m % 2 == 0) m /= 2;
  for (int32_t p = 3; m > 1; p += 2) {
    if (m % p) continue;
    ++odd;
    while (m % p == 0) m /= p;
  }
  return n * std::log2(std::max(n, 2)) * (1 + odd / 3.0);
}

// Planning runs a little over its estimate, and FFTW over its time limit.
constexpr double kOverrun = 1.25;

// FFTW's own costs per plan, which small lengths do not scale down (4000
// took 0.5 s under Wine here): no estimate, and so no time limit, is less.
constexpr double kLeastSeconds = 2;

// The lengths' result lines, and progress while one plans: one line redrawn
// in place on a console (short, so that it never wraps), whole lines
// elsewhere (the installer shows only those). The ticks write under the
// ticker's lock, the main thread under it or with the ticker stopped.
class Progress {
 public:
  Progress(std::FILE* out, double period, int total)
      : out_(out), period_(period), total_(total), console_(IsConsole(out)) {}

  // Reports from now until Done.
  void Start(TunePlanner* planner, int32_t n, int done, double about) {
    const double begun = planner->Now();
    auto report = [=] {
      char text[120];
      std::snprintf(text, sizeof text,
                    "    planning length %d: %.1f s of about %.0f s, %d of %d lengths done", int(n),
                    planner->Now() - begun, about, done, total_);
      if (console_) {
        Draw(text);
      } else {
        Print(out_, std::string(text) + "\n");
      }
    };
    ticker_.Locked(report);
    ticker_.Start(period_, report);
  }

  // The result line of a length, over any progress.
  void Done(const std::string& line) {
    ticker_.Stop();
    if (console_) {
      Draw(line);
      drawn_ = 0;
      Print(out_, "\n");
    } else {
      Print(out_, line + "\n");
    }
  }

 private:
  // Over what was drawn before, to its end.
  void Draw(const std::string& text) {
    const size_t width = text.size();
    Print(out_, "\r" + text + std::string(drawn_ > width ? drawn_ - width : 0, ' '));
    drawn_ = width;
  }

  std::FILE* out_;
  double period_;
  int total_;
  bool console_;
  size_t drawn_ = 0;  // characters of the line now in place
  Ticker ticker_;
};

std::string Seconds(const char* format, double seconds) {
  char text[80];
  std::snprintf(text, sizeof text, format, seconds);
  return text;
}

// FFTW's *_filename calls take ANSI names: its wisdom goes through FILE*s
// opened here instead.
bool ImportWisdom(const std::string& path) {
  std::FILE* file = OpenFile(path, "r");
  if (!file) return false;
  const bool read = fftw_import_wisdom_from_file(file);
  std::fclose(file);
  return read;
}

bool ExportWisdom(const std::string& path) {
  std::FILE* file = OpenFile(path, "w");
  if (!file) return false;
  fftw_export_wisdom_to_file(file);
  const bool written = !std::ferror(file);
  return std::fclose(file) == 0 && written;
}

int WriteWisdom(const std::string& path, std::FILE* out) {
  const std::string temp = CreateTempBeside(path);
  if (temp.empty() || !ExportWisdom(temp) || !CommitTemp(temp, path, true)) {
    if (!temp.empty()) RemoveFile(temp);
    Say(out, "%s: cannot be written; the plug-in plans as before\n", path.c_str());
    return kStatusCannotWrite;
  }
  Say(out, "Wrote %s: the plug-in reads it when the player next starts it.\n", path.c_str());
  return kStatusOk;
}

}  // namespace

int Tune(const TuneRequest& request, std::FILE* out, TunePlanner* planner) {
  if (IsFolder(request.wisdomPath)) {
    Say(out, "%s: is a folder, so the plug-in's planning data cannot be written\n",
        request.wisdomPath.c_str());
    return kStatusCannotWrite;
  }
  int status = kStatusOk;
  std::vector<Length> lengths;
  for (const std::string& ir : request.irs) {
    const std::string why = AddLengths(ir, request, &lengths);
    if (why.empty()) continue;
    if (request.named) {
      Say(out, "%s: %s\n", ir.c_str(), why.c_str());
      status = std::max<int>(status, kStatusBadInput);
    } else {
      Say(out, "Skipped %s: %s\n", ir.c_str(), why.c_str());
    }
  }
  // Out of time the rest stay untuned: what plays now comes first, then the
  // short lengths, which take little time.
  std::sort(lengths.begin(), lengths.end(), [](const Length& a, const Length& b) {
    return a.rank != b.rank ? a.rank < b.rank : a.n < b.n;
  });
  if (Exists(request.wisdomPath) && !ImportWisdom(request.wisdomPath)) {
    Say(out,
        "%s: not planning data of this program on this processor (damaged, or made "
        "elsewhere); it is replaced\n",
        request.wisdomPath.c_str());
  }
  Say(out, "Tuning the plug-in's transforms for %d length%s, in at most %g s:\n",
      int(lengths.size()), lengths.size() == 1 ? "" : "s", request.seconds);
  FftwPlanner fftw;
  if (!planner) planner = &fftw;
  Progress progress(out, request.reportSeconds, int(lengths.size()));
  const double start = planner->Now();
  double pace = 0;  // seconds per unit of PlanningWork; 0 before the probe
  bool outOfTime = false;
  for (size_t i = 0; i < lengths.size(); ++i) {
    const Length& length = lengths[i];
    std::string head =
        "  length " + std::to_string(length.n) + ", for " + length.irs[0] + length.what;
    if (length.irs.size() > 1) head += " and " + std::to_string(length.irs.size() - 1) + " more";
    if (planner->Known(length.n)) {
      progress.Done(head + ": already tuned");
      continue;
    }
    if (!planner->Fits(length.n)) {
      progress.Done(head + ": cannot be planned (not enough memory)");
      status = std::max<int>(status, kStatusBadInput);
      continue;
    }
    if (pace == 0) {
      const double begun = planner->Now();
      planner->Probe(kProbeLength, std::max(request.seconds - (begun - start), 0.0) / 2);
      pace =
          std::max(planner->Now() - begun, 1e-3) / (kProbeCostsMore * PlanningWork(kProbeLength));
    }
    const double about = std::max(kOverrun * pace * PlanningWork(length.n), kLeastSeconds);
    const double left = request.seconds - (planner->Now() - start);
    if (about > left) {
      progress.Done(head + Seconds(": skipped for time (about %.0f s", about) +
                    Seconds(", %.0f s left)", std::max(left, 0.0)));
      outOfTime = true;
      continue;
    }
    const double begun = planner->Now();
    progress.Start(planner, length.n, int(i), about);
    // Each plan its half of what the estimate allows, so that an estimate
    // too low for this computer costs a bounded share of the time.
    const bool made = planner->Measure(length.n, std::min(left, 2 * about) / 2);
    const double spent = planner->Now() - begun;
    if (!made) {
      progress.Done(head + ": cannot be planned (not enough memory)");
      status = std::max<int>(status, kStatusBadInput);
      continue;
    }
    const bool tuned = planner->Known(length.n);
    const double measured = spent / PlanningWork(length.n);
    pace = tuned ? measured : std::max(pace, measured);
    outOfTime = outOfTime || !tuned;
    progress.Done(
        head + Seconds(tuned ? ": tuned in %.1f s" : ": out of time, not tuned in %.1f s", spent));
  }
  if (outOfTime) Say(out, "Give it more time with --seconds to tune the rest.\n");
  return std::max(status, WriteWisdom(request.wisdomPath, out));
}
