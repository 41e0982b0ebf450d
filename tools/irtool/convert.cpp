// SPDX-License-Identifier: GPL-2.0-or-later
// ConvertIr: libsndfile reads the file, libsamplerate resamples it, and
// the result is written as dithered 16-bit PCM through a temporary file.
#include "tools/irtool/convert.h"

#include <samplerate.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "ir/wav_header.h"
#include "tools/irtool/files.h"
#include "tools/irtool/irtool.h"
#include "tools/wav_io.h"

namespace {

// Samples in 16-bit steps (full scale 32768), interleaved.
struct Audio {
  int channels = 0;
  int rate = 0;
  std::vector<float> samples;

  int64_t Frames() const { return static_cast<int64_t>(samples.size()) / channels; }
};

struct Refusal {
  int status;
  std::string why;
};

std::string FormatName(int format) {
  SF_FORMAT_INFO major{format & SF_FORMAT_TYPEMASK, nullptr, nullptr};
  SF_FORMAT_INFO subtype{format & SF_FORMAT_SUBMASK, nullptr, nullptr};
  sf_command(nullptr, SFC_GET_FORMAT_INFO, &major, sizeof major);
  sf_command(nullptr, SFC_GET_FORMAT_INFO, &subtype, sizeof subtype);
  return std::string(major.name ? major.name : "?") + ", " + (subtype.name ? subtype.name : "?");
}

// libsndfile reads a file whose header promises more sample data than it
// holds as if it were whole; its log says so ("data : 88200 (should be
// 4410)"). Files never finished by a streaming writer promise 0xFFFFFFFF.
bool LogShowsTruncation(SNDFILE* file) {
  char log[8192] = "";
  sf_command(file, SFC_GET_LOG_INFO, log, sizeof log);
  for (const char* line = log; line; line = std::strchr(line, '\n')) {
    line += std::strspn(line, "\n ");
    long long promised = 0, held = 0;
    if ((std::strncmp(line, "data : ", 7) == 0 || std::strncmp(line, "SSND : ", 7) == 0) &&
        std::sscanf(line + 7, "%lld (should be %lld)", &promised, &held) == 2 && promised > held &&
        promised != 0xFFFFFFFFLL) {
      return true;
    }
  }
  return false;
}

std::string ReadError(const std::string& path) {
  if (IsFolder(path)) return "is a folder, not a file";
  if (!Exists(path)) return "not found";
  if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
    const bool empty = std::fgetc(file) == EOF;
    std::fclose(file);
    if (empty) return "is empty";
  }
  switch (sf_error(nullptr)) {
    case SF_ERR_UNRECOGNISED_FORMAT:
      return "not an audio file this tool reads (WAV, AIFF, W64, RF64, CAF, ...)";
    case SF_ERR_SYSTEM:
      return std::string("cannot be read: ") + sf_strerror(nullptr);
    default:
      return std::string("damaged or of an unknown kind: ") + sf_strerror(nullptr);
  }
}

// Reads every frame as float (libsndfile scales integers to [-1, 1)) into
// 16-bit steps, keeping the channels asked for.
bool ReadAudio(const std::string& path, const ConvertOptions& options, std::FILE* out, Audio* audio,
               Refusal* refusal) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) {
    *refusal = {kStatusBadInput, ReadError(path)};
    return false;
  }
  Say(out, "Read  %s: %s, %d Hz, %d channel%s, %.3f s (%lld frames)\n", path.c_str(),
      FormatName(info.format).c_str(), info.samplerate, info.channels,
      info.channels == 1 ? "" : "s",
      info.samplerate > 0 ? double(info.frames) / info.samplerate : 0.0,
      static_cast<long long>(info.frames));
  *refusal = {kStatusBadInput, ""};
  const int* pick = options.pick;
  if (info.frames <= 0) {
    refusal->why = "holds no audio";
  } else if (info.frames > INT32_MAX) {
    refusal->why = "too long: more than 2147483647 frames";
  } else if (info.samplerate <= 0) {
    refusal->why = "has no sample rate";
  } else if (pick[0] && (pick[0] > info.channels || pick[1] > info.channels)) {
    refusal->why = "has " + std::to_string(info.channels) + " channel(s): --channels " +
                   std::to_string(pick[0]) + "," + std::to_string(pick[1]) + " does not fit";
  } else if (!pick[0] && info.channels > 2) {
    refusal->why =
        "has " + std::to_string(info.channels) +
        " channels; the plug-in takes one or two: choose two with --channels A,B (1 to " +
        std::to_string(info.channels) + ")";
  } else if (std::ceil(info.frames * double(options.rate) / info.samplerate) *
                 (pick[0] ? 2 : info.channels) * 2 >
             INT32_MAX) {
    refusal->why = "too long for the plug-in: 2 GiB or more once in 16 bits";
  } else if (LogShowsTruncation(file)) {
    refusal->why = "truncated: the file ends before the audio its header announces";
  }
  if (!refusal->why.empty()) {
    sf_close(file);
    return false;
  }
  std::vector<float> all(static_cast<size_t>(info.frames) * info.channels);
  const sf_count_t got = sf_readf_float(file, all.data(), info.frames);
  sf_close(file);
  if (got != info.frames) {
    refusal->why = "cannot be read to its end (frame " + std::to_string(got) + " of " +
                   std::to_string(info.frames) + ")";
    return false;
  }
  if (!std::all_of(all.begin(), all.end(), [](float s) { return std::isfinite(s); })) {
    refusal->why = "damaged: some samples are not numbers";
    return false;
  }
  audio->rate = info.samplerate;
  audio->channels = pick[0] ? 2 : info.channels;
  audio->samples.resize(static_cast<size_t>(info.frames) * audio->channels);
  for (int64_t j = 0; j < info.frames; ++j) {
    for (int c = 0; c < audio->channels; ++c) {
      const int from = pick[0] ? pick[c] - 1 : c;
      audio->samples[size_t(j) * audio->channels + c] =
          32768.0f * all[size_t(j) * info.channels + from];
    }
  }
  return true;
}

bool Resample(Audio* audio, int rate, Refusal* refusal) {
  if (audio->rate == rate) return true;
  const double ratio = double(rate) / audio->rate;
  const double frames = std::ceil(audio->Frames() * ratio);
  if (!src_is_valid_ratio(ratio)) {
    *refusal = {kStatusBadInput, "its rate, " + std::to_string(audio->rate) +
                                     " Hz, is too far from " + std::to_string(rate) + " Hz"};
    return false;
  }
  std::vector<float> result(static_cast<size_t>(frames) * audio->channels);
  SRC_DATA data{};
  data.data_in = audio->samples.data();
  data.input_frames = static_cast<long>(audio->Frames());
  data.data_out = result.data();
  data.output_frames = static_cast<long>(frames);
  data.src_ratio = ratio;
  const int error = src_simple(&data, SRC_SINC_BEST_QUALITY, audio->channels);
  if (error) {
    *refusal = {kStatusBadInput, std::string("cannot be resampled: ") + src_strerror(error)};
    return false;
  }
  result.resize(static_cast<size_t>(data.output_frames_gen) * audio->channels);
  audio->samples.swap(result);
  audio->rate = rate;
  return true;
}

// TPDF dither, from a fixed seed so that the same input gives the same file.
class Dither {
 public:
  double Next() { return Uniform() + Uniform() - 1.0; }  // -1 to 1 LSB

 private:
  double Uniform() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_ * (1.0 / 4294967296.0);
  }
  uint32_t state_ = 0x51764C71u;
};

// To 16 bits: scaled down only where it would clip, dithered except where
// a sample is already a whole 16-bit value (16-bit input, digital silence),
// trailing silent frames dropped. Returns the gain in dB (0 when unscaled).
double Quantise(const Audio& audio, PcmAudio* pcm) {
  float low = 0, high = 0;
  for (float s : audio.samples) {
    low = std::min(low, s);
    high = std::max(high, s);
  }
  double gain = 1.0;
  if (high > 32767.0f || low < -32768.0f) gain = 32766.0 / std::max<double>(high, -low);
  Dither dither;
  pcm->channels = audio.channels;
  pcm->rate = audio.rate;
  pcm->samples.resize(audio.samples.size());
  size_t end = 0;
  for (size_t i = 0; i < audio.samples.size(); ++i) {
    double v = audio.samples[i] * gain;
    if (v != std::floor(v)) v = std::floor(v + dither.Next() + 0.5);
    pcm->samples[i] = static_cast<int16_t>(std::max(-32768.0, std::min(32767.0, v)));
    if (pcm->samples[i] != 0) end = i + 1;
  }
  const size_t frames = (end + audio.channels - 1) / audio.channels;
  pcm->samples.resize(frames * audio.channels);
  return gain == 1.0 ? 0.0 : 20.0 * std::log10(gain);
}

// The plug-in's own header reader must accept what was written.
bool PluginReads(const std::string& path, const PcmAudio& pcm) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  WavFormat format{};
  int32_t size = 0;
  const bool ok = ReadWavHeader(file, &format, &size) == 0 && format.Channels == pcm.channels &&
                  format.SampleRate == uint32_t(pcm.rate) &&
                  size == int64_t(pcm.samples.size()) * 2;
  std::fclose(file);
  return ok;
}

std::string OutputName(const std::string& input) {
  std::string name = FileName(input);
  const size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name + ".wav";
}

// Writes through a temporary file, so that no half-written IR is ever seen
// under the output's name.
int Write(const PcmAudio& pcm, const std::string& dest, bool force, std::string* why) {
  const std::string temp = CreateTempBeside(dest);
  if (temp.empty()) {
    *why = "cannot write into the folder of " + dest;
    return kStatusCannotWrite;
  }
  if (!WritePcm16(temp, pcm) || !PluginReads(temp, pcm)) {
    RemoveFile(temp);
    *why = "cannot write " + dest;
    return kStatusCannotWrite;
  }
  if (!CommitTemp(temp, dest, force)) {
    RemoveFile(temp);
    if (!force && Exists(dest)) {
      *why = dest + " exists; not replaced without --force";
      return kStatusOutputExists;
    }
    *why = "cannot write " + dest;
    return kStatusCannotWrite;
  }
  return kStatusOk;
}

int Convert(const std::string& input, const ConvertOptions& options, std::FILE* out,
            std::string* written, Refusal* refusal) {
  const std::string dest = JoinPath(options.outDir, OutputName(input));
  if (!options.force && Exists(dest)) {
    *refusal = {kStatusOutputExists, dest + " exists; not replaced without --force"};
    return refusal->status;
  }
  if (!MakeFolder(options.outDir)) {
    *refusal = {kStatusCannotWrite, "cannot make the folder " + options.outDir};
    return refusal->status;
  }
  Audio audio;
  if (!ReadAudio(input, options, out, &audio, refusal) ||
      !Resample(&audio, options.rate, refusal)) {
    return refusal->status;
  }
  PcmAudio pcm;
  const double gainDb = Quantise(audio, &pcm);
  if (pcm.samples.empty()) {
    *refusal = {kStatusBadInput, "silent: nothing is left in 16 bits"};
    return refusal->status;
  }
  audio.samples = {};
  refusal->status = Write(pcm, dest, options.force, &refusal->why);
  if (refusal->status != kStatusOk) return refusal->status;
  int peak = 0;
  for (int16_t s : pcm.samples) peak = std::max(peak, std::abs(int{s}));
  Say(out, "Wrote %s: 16-bit PCM, %d Hz, %d channel%s, %.3f s (%lld frames), peak %.1f dBFS",
      dest.c_str(), pcm.rate, pcm.channels, pcm.channels == 1 ? "" : "s",
      double(pcm.Frames()) / pcm.rate, static_cast<long long>(pcm.Frames()),
      20.0 * std::log10(peak / 32768.0));
  if (options.pick[0]) Say(out, ", channels %d and %d", options.pick[0], options.pick[1]);
  if (gainDb != 0.0) Say(out, ", scaled by %.3g dB so that it does not clip", gainDb);
  Say(out, "\n");
  *written = dest;
  return kStatusOk;
}

}  // namespace

int ConvertIr(const std::string& input, const ConvertOptions& options, std::FILE* out,
              std::string* written) {
  Refusal refusal{kStatusOk, ""};
  try {
    Convert(input, options, out, written, &refusal);
  } catch (const std::bad_alloc&) {
    refusal = {kStatusBadInput, "not enough memory to convert it"};
  }
  if (refusal.status != kStatusOk) Say(out, "%s: %s\n", input.c_str(), refusal.why.c_str());
  return refusal.status;
}
