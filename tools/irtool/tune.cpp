// SPDX-License-Identifier: GPL-2.0-or-later
// Tune: the plug-in's own transform lengths and plan-making code, with
// FFTW_MEASURE instead of FFTW_ESTIMATE.
#include "tools/irtool/tune.h"

#include <fftw3.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "engine/engine.h"
#include "engine/plans.h"
#include "ir/impulse_response.h"
#include "ir/wav_header.h"
#include "tools/irtool/files.h"
#include "tools/irtool/irtool.h"

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
    const int count = EngineKindFor(request.lowLatency).Lengths(used, planned);
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
    return "not a WAV file the plug-in reads (16-bit PCM, 1 or 2 channels): convert it";
  }
  const int64_t frames = size / format.BlockAlign;
  std::string why = AddLengthsAt(path, frames, 0, request, lengths);
  for (int32_t rate : {44100, 48000}) {
    if (!why.empty() || !request.resampleIr || !NeedsResampling(format.SampleRate, rate)) continue;
    std::fseek(file, data, SEEK_SET);
    const int64_t converted = ResampledFrames(file, frames, format.Channels,
                                              static_cast<int32_t>(format.SampleRate), rate);
    why = converted < 0 ? "cannot be converted (not enough memory)"
                        : AddLengthsAt(path, converted, rate, request, lengths);
  }
  std::fclose(file);
  return why;
}

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Makes and drops the plug-in's two plans: what stays is the wisdom.
bool MakeAndDrop(int32_t n, unsigned flags) {
  fftw_plan forward = nullptr, inverse = nullptr;
  const bool made = MakeTransformPlans(n, flags, &forward, &inverse);
  if (forward) fftw_destroy_plan(forward);
  if (inverse) fftw_destroy_plan(inverse);
  return made;
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

int Tune(const TuneRequest& request, std::FILE* out) {
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
  const auto start = std::chrono::steady_clock::now();
  bool outOfTime = false;
  for (const Length& length : lengths) {
    Say(out, "  length %d, for %s%s", length.n, length.irs[0].c_str(), length.what.c_str());
    if (length.irs.size() > 1) Say(out, " and %d more", int(length.irs.size() - 1));
    const double left = request.seconds - Since(start);
    const auto begun = std::chrono::steady_clock::now();
    if (left < 0.5) {
      Say(out, ": no time left\n");
      outOfTime = true;
      continue;
    }
    // Out of time FFTW keeps its estimate and records no measured plan.
    fftw_set_timelimit(left / 2);  // each of the two plans
    if (!MakeAndDrop(length.n, FFTW_MEASURE)) {
      Say(out, ": cannot be planned (not enough memory)\n");
      status = std::max<int>(status, kStatusBadInput);
      continue;
    }
    const bool tuned = MakeAndDrop(length.n, FFTW_MEASURE | FFTW_WISDOM_ONLY);
    outOfTime = outOfTime || !tuned;
    Say(out, ": %s in %.1f s\n", tuned ? "tuned" : "out of time, not tuned", Since(begun));
  }
  if (outOfTime) Say(out, "Give it more time with --seconds to tune the rest.\n");
  return std::max(status, WriteWisdom(request.wisdomPath, out));
}
