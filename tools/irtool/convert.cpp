// SPDX-License-Identifier: GPL-2.0-or-later
// ConvertIr: libsndfile reads the file block by block, libsamplerate
// resamples the blocks as they come, and the result is written as dithered
// 16-bit PCM through a temporary file.
#include "tools/irtool/convert.h"

#include <samplerate.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "ir/wav_header.h"
#include "tools/irtool/files.h"
#include "tools/irtool/irtool.h"
#include "tools/wav_io.h"

namespace {

// The most samples one conversion holds, the kept channels once resampled:
// 4 bytes each, and 2 more for the 16-bit result, so that a 32-bit process
// holds them. 25 min of stereo at 44.1 kHz, far beyond what the plug-in
// can load.
constexpr int64_t kMaxSamples = int64_t{1} << 27;

// Samples per block read, whatever the channels.
constexpr int64_t kBlockSamples = 1 << 16;

struct Refusal {
  int status;
  std::string why;
};

// An input file open for reading, and the channels kept of it.
struct Source {
  SNDFILE* file = nullptr;
  SF_INFO info{};
  int kept = 0;                // 1, 2 or 4
  int from[4] = {0, 1, 2, 3};  // 0-based channels kept

  ~Source() {
    if (file) sf_close(file);
  }
};

// Reads the file's announced frames from where it stands, in blocks, the
// kept channels as doubles (integers scaled to [-1, 1)).
class BlockReader {
 public:
  explicit BlockReader(Source* source)
      : source_(source),
        left_(source->info.frames),
        frames_(std::max<int64_t>(1, kBlockSamples / source->info.channels)),
        all_(static_cast<size_t>(frames_ * source->info.channels)),
        kept_(static_cast<size_t>(frames_ * source->kept)) {}

  bool Rewind() { return sf_seek(source_->file, 0, SEEK_SET) == 0; }

  // The next block's frames; 0 at the end.
  int64_t Next() {
    const int64_t got = sf_readf_double(source_->file, all_.data(), std::min(frames_, left_));
    left_ -= std::max<int64_t>(got, 0);
    const int channels = source_->info.channels, kept = source_->kept;
    for (int64_t j = 0; j < got; ++j) {
      for (int c = 0; c < kept; ++c) kept_[j * kept + c] = all_[j * channels + source_->from[c]];
    }
    return std::max<int64_t>(got, 0);
  }

  int64_t BlockFrames() const { return frames_; }
  const std::vector<double>& Kept() const { return kept_; }

 private:
  Source* source_;
  int64_t left_;    // frames not yet read
  int64_t frames_;  // per block
  std::vector<double> all_, kept_;
};

std::string FormatName(int format) {
  SF_FORMAT_INFO major{format & SF_FORMAT_TYPEMASK, nullptr, nullptr};
  SF_FORMAT_INFO subtype{format & SF_FORMAT_SUBMASK, nullptr, nullptr};
  sf_command(nullptr, SFC_GET_FORMAT_INFO, &major, sizeof major);
  sf_command(nullptr, SFC_GET_FORMAT_INFO, &subtype, sizeof subtype);
  return std::string(major.name ? major.name : "?") + ", " + (subtype.name ? subtype.name : "?");
}

// libsndfile reads a WAV, AIFF, CAF or AU file whose header promises more
// sample data than it holds as if it were whole; its log says so ("data :
// 88200 (should be 4410)"). Files never finished by a streaming writer
// promise 0xFFFFFFFF; an AU size of -1 means "unknown" and is logged as is.
bool LogShowsTruncation(SNDFILE* file) {
  char log[8192] = "";
  sf_command(file, SFC_GET_LOG_INFO, log, sizeof log);
  for (const char* line = log; line; line = std::strchr(line, '\n')) {
    line += std::strspn(line, "\n ");
    long long promised = 0, held = 0;
    for (const char* field : {"data : ", "SSND : ", "Data Size   : "}) {
      const size_t n = std::strlen(field);
      if (std::strncmp(line, field, n) == 0 &&
          std::sscanf(line + n, "%lld (should be %lld)", &promised, &held) == 2 &&
          promised > held && promised != 0xFFFFFFFFLL) {
        return true;
      }
    }
  }
  return false;
}

uint64_t Little(const unsigned char* b, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b[i];
  return v;
}

// Where the sample data that a Wave64 or RF64 header announces ends, read
// from the header: libsndfile trims these two formats' frame counts to what
// the file holds without a word in its log. -1 when not found in the first
// 64 KiB (the headers that writers make are far shorter).
int64_t AnnouncedDataEnd(const std::string& path, int format) {
  std::vector<unsigned char> head(1 << 16);
  std::FILE* file = OpenFile(path, "rb");
  if (!file) return -1;
  head.resize(std::fread(head.data(), 1, head.size(), file));
  std::fclose(file);
  const auto fits = [&](uint64_t at, uint64_t bytes) { return at + bytes <= head.size(); };
  if (format == SF_FORMAT_W64) {
    // 16-byte GUIDs; each chunk's 64-bit size counts its own 24-byte header.
    static const unsigned char kData[16] = {'d',  'a',  't',  'a',  0xF3, 0xAC, 0xD3, 0x11,
                                            0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};
    for (uint64_t at = 40; fits(at, 24);) {
      const uint64_t size = Little(&head[at + 16], 8);
      if (std::memcmp(&head[at], kData, 16) == 0)
        return int64_t(std::min(at + size, uint64_t{1} << 62));
      if (size < 24 || size > (uint64_t{1} << 62)) return -1;
      at += (size + 7) & ~uint64_t{7};
    }
  } else if (format == SF_FORMAT_RF64 && fits(0, 36) && std::memcmp(&head[12], "ds64", 4) == 0) {
    // The data chunk's 32-bit size is 0xFFFFFFFF; ds64 holds the real one.
    const uint64_t dataSize = Little(&head[28], 8);
    for (uint64_t at = 12; fits(at, 8);) {
      const uint64_t size = Little(&head[at + 4], 4);
      if (std::memcmp(&head[at], "data", 4) == 0) {
        return int64_t(at + 8 + std::min(size == 0xFFFFFFFFu ? dataSize : size, uint64_t{1} << 62));
      }
      at += 8 + size + (size & 1);
    }
  }
  return -1;
}

bool Truncated(const std::string& path, SNDFILE* file, int format) {
  const int64_t end = AnnouncedDataEnd(path, format & SF_FORMAT_TYPEMASK);
  return LogShowsTruncation(file) || (end >= 0 && end > FileSize(path));
}

// The lossy kind that a file's first bytes show (Ogg Vorbis, Opus or
// Speex; MP3 frames, also after an ID3v2 tag), or empty. Asked before
// libsndfile opens the file: it decodes Vorbis and Opus as readily as FLAC.
std::string LossyKind(const std::string& path) {
  std::FILE* file = OpenFile(path, "rb");
  if (!file) return "";
  unsigned char b[27 + 255 + 8] = {};  // an Ogg page's header, segment table and packet start
  size_t n = std::fread(b, 1, sizeof b, file);
  if (n >= 10 && std::memcmp(b, "ID3", 3) == 0) {
    // 10 bytes, the size in 7-bit bytes, and a footer when flagged.
    const long size = long(b[6] & 0x7F) << 21 | long(b[7] & 0x7F) << 14 | long(b[8] & 0x7F) << 7 |
                      long(b[9] & 0x7F);
    n = std::fseek(file, 10 + size + (b[5] & 0x10 ? 10 : 0), SEEK_SET) == 0
            ? std::fread(b, 1, sizeof b, file)
            : 0;
  }
  std::fclose(file);
  if (n >= 27 && std::memcmp(b, "OggS", 4) == 0 && 27 + b[26] + 8u <= n) {
    const unsigned char* packet = b + 27 + b[26];  // the first stream's first packet
    if (std::memcmp(packet, "\x01vorbis", 7) == 0) return "Ogg Vorbis";
    if (std::memcmp(packet, "OpusHead", 8) == 0) return "Opus";
    if (std::memcmp(packet, "Speex   ", 8) == 0) return "Speex";
  }
  // An MPEG audio frame header: the sync bits, a version, layer I to III,
  // a bitrate and a rate that exist.
  if (n >= 4 && b[0] == 0xFF && (b[1] & 0xE0) == 0xE0 && (b[1] & 0x18) != 0x08 &&
      (b[1] & 0x06) != 0 && (b[2] & 0xF0) != 0xF0 && (b[2] & 0x0C) != 0x0C) {
    return "MPEG audio (MP3)";
  }
  return "";
}

std::string ReadError(const std::string& path) {
  if (IsFolder(path)) return "is a folder, not a file";
  if (!Exists(path)) return "not found";
  if (FileSize(path) == 0) return "is empty";
  switch (sf_error(nullptr)) {
    case SF_ERR_UNRECOGNISED_FORMAT:
      return "not an audio file this tool reads (WAV, AIFF, FLAC, W64, RF64, CAF, ...)";
    case SF_ERR_SYSTEM:
      return std::string("cannot be read: ") + sf_strerror(nullptr);
    default:
      return std::string("damaged or of an unknown kind: ") + sf_strerror(nullptr);
  }
}

// Opens the file and checks what its header says: empty when it may be
// converted, else why not.
std::string Open(const std::string& path, const ConvertOptions& options, std::FILE* out,
                 Source* source) {
  const std::string lossy = LossyKind(path);
  if (!lossy.empty()) {
    return "is " + lossy +
           ", which is lossy: a lossy file smears a room's impulse; convert the "
           "room's WAV, AIFF or FLAC file instead";
  }
  SF_INFO& info = source->info;
  source->file = OpenSound(path, &info);
  if (!source->file) return ReadError(path);
  Say(out, "Read  %s: %s, %d Hz, %d channel%s, %.3f s (%lld frames)\n", path.c_str(),
      FormatName(info.format).c_str(), info.samplerate, info.channels,
      info.channels == 1 ? "" : "s",
      info.samplerate > 0 ? double(info.frames) / info.samplerate : 0.0,
      static_cast<long long>(info.frames));
  const int* pick = options.pick;
  source->kept = pick[0] ? 2 : info.channels;
  if (pick[0]) source->from[0] = pick[0] - 1, source->from[1] = pick[1] - 1;
  const double ratio = info.samplerate > 0 ? double(options.rate) / info.samplerate : 0.0;
  const double samples = std::ceil(double(info.frames) * ratio) * source->kept;
  if (info.frames <= 0) return "holds no audio";
  if (info.samplerate <= 0) return "has no sample rate";
  if (pick[0] && (pick[0] > info.channels || pick[1] > info.channels)) {
    return "has " + std::to_string(info.channels) + " channel(s): --channels " +
           std::to_string(pick[0]) + "," + std::to_string(pick[1]) + " does not fit";
  }
  if (options.pair && info.channels != 2) {
    return "has " + std::to_string(info.channels) +
           " channel(s); --pair joins two stereo files, one a speaker";
  }
  if (!pick[0] && info.channels != 1 && info.channels != 2 && info.channels != 4) {
    return "has " + std::to_string(info.channels) +
           " channels; the plug-in takes one, two or four (true stereo): choose two with "
           "--channels A,B (1 to " +
           std::to_string(info.channels) + ")";
  }
  if (info.samplerate != options.rate && !src_is_valid_ratio(ratio)) {
    return "its rate, " + std::to_string(info.samplerate) + " Hz, is too far from " +
           std::to_string(options.rate) + " Hz";
  }
  if (samples > double(kMaxSamples)) {
    char why[160];
    std::snprintf(why, sizeof why,
                  "too long: %.0f samples once converted, more than the %lld (25 min of stereo "
                  "at 44.1 kHz) this tool holds",
                  samples, static_cast<long long>(kMaxSamples));
    return why;
  }
  if (Truncated(path, source->file, info.format)) {
    return "truncated: the file ends before the audio its header announces";
  }
  return "";
}

// Reads the whole file once: every kept sample a number, every frame the
// header announces there. Returns the kept channels' peak (full scale 1).
bool Scan(Source* source, double* peak, Refusal* refusal) {
  BlockReader reader(source);
  int64_t read = 0;
  *peak = 0;
  for (int64_t n; (n = reader.Next()) > 0; read += n) {
    const double* kept = reader.Kept().data();
    for (int64_t i = 0; i < n * source->kept; ++i) {
      if (!std::isfinite(kept[i])) {
        refusal->why = "damaged: some samples are not numbers";
        return false;
      }
      *peak = std::max(*peak, std::fabs(kept[i]));
    }
  }
  if (read != source->info.frames) {
    refusal->why = "cannot be read to its end (frame " + std::to_string(read) + " of " +
                   std::to_string(source->info.frames) + ")";
    return false;
  }
  return true;
}

// Reads the file again, times `scale`, and resamples it to `rate` block by
// block into `result` (the kept channels, interleaved).
bool Render(Source* source, double scale, int rate, std::vector<float>* result, Refusal* refusal) {
  const int kept = source->kept;
  const double ratio = double(rate) / source->info.samplerate;
  BlockReader reader(source);
  if (!reader.Rewind()) {
    refusal->why = std::string("cannot be read again: ") + sf_strerror(source->file);
    return false;
  }
  std::vector<float> block(static_cast<size_t>(reader.BlockFrames() * kept));
  int64_t capacity = int64_t(std::ceil(source->info.frames * ratio)) + 64, made = 0;
  result->assign(static_cast<size_t>(capacity * kept), 0.0f);
  int error = 0;
  SRC_STATE* state = ratio == 1.0 ? nullptr : src_new(SRC_SINC_BEST_QUALITY, kept, &error);
  if (ratio != 1.0 && !state) {
    refusal->why = std::string("cannot be resampled: ") + src_strerror(error);
    return false;
  }
  for (int64_t read = 0, n = 1; n > 0 && !error; read += n) {
    n = reader.Next();
    for (int64_t i = 0; i < n * kept; ++i) block[i] = static_cast<float>(reader.Kept()[i] * scale);
    if (!state) {
      std::copy(block.begin(), block.begin() + n * kept, result->begin() + made * kept);
      made += n;
      continue;
    }
    SRC_DATA data{};
    data.data_in = block.data();
    data.input_frames = static_cast<long>(n);
    data.end_of_input = read + n >= source->info.frames || n == 0;
    data.src_ratio = ratio;
    do {
      if (made == capacity) {
        capacity += 1024;
        result->resize(static_cast<size_t>(capacity * kept));
      }
      data.data_out = result->data() + made * kept;
      data.output_frames = static_cast<long>(capacity - made);
      error = src_process(state, &data);
      made += data.output_frames_gen;
      data.data_in += data.input_frames_used * kept;
      data.input_frames -= data.input_frames_used;
    } while (!error && (data.input_frames > 0 || (data.end_of_input && data.output_frames_gen)));
    if (data.end_of_input) break;
  }
  if (state) src_delete(state);
  if (error) {
    refusal->why = std::string("cannot be resampled: ") + src_strerror(error);
    return false;
  }
  result->resize(static_cast<size_t>(made * kept));
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

// To 16 bits from samples that are `level` times quieter than the IR: at
// its level unless that would clip, else scaled to just below full scale;
// dithered except where a sample is already a whole 16-bit value (16-bit
// input, digital silence); trailing silent frames dropped. Returns the
// gain in dB against the IR's level (0 when kept).
double Quantise(const std::vector<float>& samples, int channels, double level, PcmAudio* pcm) {
  double low = 0, high = 0;
  for (float s : samples) {
    low = std::min<double>(low, s);
    high = std::max<double>(high, s);
  }
  // In double: level may be as large as the largest double.
  const bool clips = high * level > 32767.0 || low * level < -32768.0;
  const double gain = clips ? 32766.0 / std::max(high, -low) : level;
  Dither dither;
  pcm->channels = channels;
  pcm->samples.resize(samples.size());
  size_t end = 0;
  for (size_t i = 0; i < samples.size(); ++i) {
    double v = samples[i] * gain;
    if (v != std::floor(v)) v = std::floor(v + dither.Next() + 0.5);
    pcm->samples[i] = static_cast<int16_t>(std::max(-32768.0, std::min(32767.0, v)));
    if (pcm->samples[i] != 0) end = i + 1;
  }
  const size_t frames = (end + channels - 1) / channels;
  pcm->samples.resize(frames * channels);
  return clips ? 20.0 * (std::log10(gain) - std::log10(level)) : 0.0;
}

// The plug-in's own header reader must accept what was written.
bool PluginReads(const std::string& path, const PcmAudio& pcm) {
  std::FILE* file = OpenFile(path, "rb");
  if (!file) return false;
  WavFormat format{};
  int32_t size = 0;
  const bool ok = ReadWavHeader(file, &format, &size) == 0 && format.Channels == pcm.channels &&
                  format.SampleRate == uint32_t(pcm.rate) &&
                  size == int64_t(pcm.samples.size()) * 2;
  std::fclose(file);
  return ok;
}

std::string Stem(const std::string& input) {
  std::string name = FileName(input);
  const size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

// Writes through a temporary file, so that no half-written IR is ever seen
// under the output's name.
int Write(const PcmAudio& pcm, const std::string& dest, bool force, std::string* why) {
  const std::string temp = CreateTempBeside(dest);
  if (temp.empty()) {
    *why = "cannot write into the folder of " + dest;
    return kStatusCannotWrite;
  }
  std::FILE* file = OpenFile(temp, "wb");
  bool written = file && WritePcm16(file, pcm);
  if (file && std::fclose(file) != 0) written = false;
  if (!written || !PluginReads(temp, pcm)) {
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

// The output's place: refused when it exists (without --force) or its
// folder cannot be made.
bool CanWrite(const std::string& dest, const ConvertOptions& options, Refusal* refusal) {
  if (!options.force && Exists(dest)) {
    *refusal = {kStatusOutputExists, dest + " exists; not replaced without --force"};
    return false;
  }
  if (!MakeFolder(options.outDir)) {
    *refusal = {kStatusCannotWrite, "cannot make the folder " + options.outDir};
    return false;
  }
  *refusal = {kStatusBadInput, ""};
  return true;
}

// Opens and scans one input: empty `refusal->why` when it may be converted.
bool Read(const std::string& input, const ConvertOptions& options, std::FILE* out, Source* source,
          double* peak, Refusal* refusal) {
  refusal->why = Open(input, options, out, source);
  return refusal->why.empty() && Scan(source, peak, refusal);
}

// To 16 bits, written and reported: the rendered samples, `level` times
// quieter than the inputs.
int Finish(const std::vector<float>& samples, int channels, double level, const std::string& dest,
           const ConvertOptions& options, const std::string& note, std::FILE* out,
           std::string* written, Refusal* refusal) {
  PcmAudio pcm;
  pcm.rate = options.rate;
  const double gainDb = Quantise(samples, channels, level, &pcm);
  if (pcm.samples.empty()) {
    refusal->why = "silent: nothing is left in 16 bits";
    return refusal->status;
  }
  refusal->status = Write(pcm, dest, options.force, &refusal->why);
  if (refusal->status != kStatusOk) return refusal->status;
  int loudest = 0;
  for (int16_t s : pcm.samples) loudest = std::max(loudest, std::abs(int{s}));
  Say(out, "Wrote %s: 16-bit PCM, %d Hz, %d channel%s, %.3f s (%lld frames), peak %.1f dBFS",
      dest.c_str(), pcm.rate, pcm.channels, pcm.channels == 1 ? "" : "s",
      double(pcm.Frames()) / pcm.rate, static_cast<long long>(pcm.Frames()),
      20.0 * std::log10(loudest / 32768.0));
  if (pcm.channels == 4) Say(out, ", true stereo");
  if (options.pick[0]) Say(out, ", channels %d and %d", options.pick[0], options.pick[1]);
  if (gainDb != 0.0) Say(out, ", scaled by %.3g dB so that it does not clip", gainDb);
  Say(out, "%s\n", note.c_str());
  *written = dest;
  return kStatusOk;
}

// The note for an output named otherwise than its input.
std::string NamingNote(const std::string& dest, const std::string& stem) {
  return FileName(dest) != stem + ".wav"
             ? ", named with _ for the characters the plug-in cannot open"
             : "";
}

int Convert(const std::string& input, const ConvertOptions& options, std::FILE* out,
            std::string* written, Refusal* refusal) {
  const std::string dest = OutputPath(input, options.outDir);
  if (!CanWrite(dest, options, refusal)) return refusal->status;
  Source source;
  double peak = 0;
  if (!Read(input, options, out, &source, &peak, refusal)) return refusal->status;
  // Into 16-bit steps in float for the resampler; a file louder than full
  // scale is brought to it first, and its level kept in `level`.
  const double level = std::max(peak, 1.0);
  std::vector<float> samples;
  if (!Render(&source, 32768.0 / level, options.rate, &samples, refusal)) return refusal->status;
  return Finish(samples, source.kept, level, dest, options, NamingNote(dest, Stem(input)), out,
                written, refusal);
}

// Why the pair would write over one of its inputs, which --force must not
// allow either; empty when it would not. Names compare as Windows compares
// them, letter case aside.
std::string OverwritesInput(const std::string& left, const std::string& right,
                            const std::string& dest) {
  const std::string l = FoldCase(left), r = FoldCase(right), d = FoldCase(dest);
  if (l == r) return "the same file twice; --pair joins the left speaker's file and the right's";
  if (d != l && d != r) return "";
  return "their joined IR would be written over " + (d == l ? left : right) +
         " itself; choose another folder with --out";
}

int Pair(const std::string& left, const std::string& right, const ConvertOptions& options,
         std::FILE* out, std::string* written, Refusal* refusal) {
  const std::string dest = PairOutputPath(left, right, options.outDir);
  const std::string overwrites = OverwritesInput(left, right, dest);
  if (!overwrites.empty()) {
    *refusal = {kStatusBadInput, left + " and " + right + ": " + overwrites};
    return refusal->status;
  }
  if (!CanWrite(dest, options, refusal)) {
    refusal->why = left + " and " + right + ": " + refusal->why;
    return refusal->status;
  }
  Source sources[2];
  double peaks[2] = {0, 0};
  const std::string names[2] = {left, right};
  for (int k = 0; k < 2; ++k) {
    if (!Read(names[k], options, out, &sources[k], &peaks[k], refusal)) {
      refusal->why = names[k] + ": " + refusal->why;
      return refusal->status;
    }
  }
  if (sources[0].info.samplerate != sources[1].info.samplerate) {
    refusal->why = left + " and " + right + ": their rates differ (" +
                   std::to_string(sources[0].info.samplerate) + " and " +
                   std::to_string(sources[1].info.samplerate) + " Hz); convert one first";
    return refusal->status;
  }
  // Joined, the four channels must fit what one conversion holds.
  const double ratio = double(options.rate) / sources[0].info.samplerate;
  const double frames =
      std::ceil(double(std::max(sources[0].info.frames, sources[1].info.frames)) * ratio);
  if (4 * frames > double(kMaxSamples)) {
    char why[200];
    std::snprintf(why, sizeof why,
                  ": too long: %.0f samples once joined, more than the %lld this tool holds",
                  4 * frames, static_cast<long long>(kMaxSamples));
    refusal->why = left + " and " + right + why;
    return refusal->status;
  }
  // One gain for both speakers, so that their balance stays; each rendered
  // in turn into its place, LL LR RL RR, the shorter padded with silence.
  const double level = std::max({peaks[0], peaks[1], 1.0});
  std::vector<float> samples;
  samples.reserve(static_cast<size_t>(4 * (frames + 64)));
  for (int k = 0; k < 2; ++k) {
    std::vector<float> rendered;
    if (!Render(&sources[k], 32768.0 / level, options.rate, &rendered, refusal)) {
      refusal->why = names[k] + ": " + refusal->why;
      return refusal->status;
    }
    if (samples.size() < 2 * rendered.size()) samples.resize(2 * rendered.size(), 0.0f);
    for (size_t j = 0; j < rendered.size() / 2; ++j) {
      samples[4 * j + 2 * k] = rendered[2 * j];
      samples[4 * j + 2 * k + 1] = rendered[2 * j + 1];
    }
  }
  const std::string note = ", joined from " + FileName(left) + " and " + FileName(right);
  return Finish(samples, 4, level, dest, options, note, out, written, refusal);
}

// Runs a conversion, turning a lack of memory into a refusal, and prints
// the refusal's line: `what` and the reason, or a reason that names its
// files itself (`what` empty; `whose` then names them for a lack of memory).
template <class Run>
int Reported(const std::string& what, const std::string& whose, std::FILE* out, Run run) {
  Refusal refusal{kStatusOk, ""};
  const std::string memory =
      (what.empty() ? whose + ": " : std::string()) + "not enough memory to convert it";
  try {
    run(&refusal);
  } catch (const std::bad_alloc&) {
    refusal = {kStatusBadInput, memory};
  } catch (const std::length_error&) {
    refusal = {kStatusBadInput, memory};
  }
  if (refusal.status == kStatusOk) return kStatusOk;
  Say(out, "%s%s%s\n", what.c_str(), what.empty() ? "" : ": ", refusal.why.c_str());
  return refusal.status;
}

}  // namespace

std::string OutputPath(const std::string& input, const std::string& outDir) {
  return JoinPath(outDir, PluginFileName(Stem(input)) + ".wav");
}

int ConvertIr(const std::string& input, const ConvertOptions& options, std::FILE* out,
              std::string* written) {
  return Reported(input, input, out,
                  [&](Refusal* refusal) { Convert(input, options, out, written, refusal); });
}

std::string PairOutputPath(const std::string& left, const std::string& right,
                           const std::string& outDir) {
  const std::string a = Stem(left), b = Stem(right);
  size_t n = 0;
  while (n < a.size() && n < b.size() && a[n] == b[n]) ++n;
  // Whole characters: not into the middle of a UTF-8 sequence.
  while (n > 0 && n < a.size() && (static_cast<unsigned char>(a[n]) & 0xC0) == 0x80) --n;
  while (n > 0 && std::strchr(" -_.", a[n - 1])) --n;
  return JoinPath(outDir, PluginFileName(n > 0 ? a.substr(0, n) : a) + ".wav");
}

int ConvertPair(const std::string& left, const std::string& right, const ConvertOptions& options,
                std::FILE* out, std::string* written) {
  return Reported("", left + " and " + right, out,
                  [&](Refusal* refusal) { Pair(left, right, options, out, written, refusal); });
}
