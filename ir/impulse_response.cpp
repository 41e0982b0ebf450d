// SPDX-License-Identifier: GPL-2.0-or-later
// IR loading and analysis: one pass over the frames fills the transform
// input and the graph's bin powers; then the spectrum and its peak.
#include "ir/impulse_response.h"

#include <samplerate.h>

#include <cmath>
#include <cstring>

#include "base/memory.h"

std::atomic<int32_t> IrGraph[kGraphBins];

namespace {

constexpr int kReadValues = 4096;
// The best of libsamplerate's converters that converts a 6 s stereo IR from
// 48 to 44.1 kHz within a track change's budget, 150 ms under Wine
// (the start-up row of bench/dll_events.sh); the medium-quality one takes
// longer.
constexpr int kConverter = SRC_SINC_FASTEST;
constexpr double kScale15 = 3.0517578125e-05;   // 2^-15
constexpr double kScale16 = 1.52587890625e-05;  // 2^-16

// Pulls 16-bit values from the file 4096 at a time (what a short file does
// not hold reads as zero), or the values of an IR converted beforehand.
struct SampleReader {
  int16_t* buffer;
  int used = kReadValues;
  std::FILE* file;
  const float* converted;

  double Next() {
    if (converted) return *converted++;
    if (used == kReadValues) {
      size_t got = std::fread(buffer, 2, kReadValues, file);
      std::memset(buffer + got, 0, (kReadValues - got) * 2);
      for (size_t i = 0; i < got; ++i) {  // files are little-endian
        const auto* b = reinterpret_cast<const unsigned char*>(buffer + i);
        buffer[i] = static_cast<int16_t>(b[0] | (b[1] << 8));
      }
      used = 0;
    }
    return buffer[used++];
  }
};

// Turns FFTW's N/2 + 1 interleaved bins into the halfcomplex order.
void ToHalfcomplex(const double* bins, double* out, int32_t n) {
  for (int32_t k = 0; k <= n / 2; ++k) out[k] = bins[2 * k];
  for (int32_t k = 1; k < n / 2; ++k) out[n - k] = bins[2 * k + 1];
}

int32_t GraphRow(double power, int32_t rate) {
  if (power == 0.0) return kNoPoint;
  const double h = (std::sqrt(power) / rate) * (double{kGraphSeconds} / kGraphBins);
  double row = -kGraphLastRow - 10.0 * std::log10(h);
  if (row < 0.0) return 0;
  if (row > kGraphLastRow) return kGraphLastRow;
  return static_cast<int32_t>(row);
}

// The largest bin power of a halfcomplex spectrum of n points (n even).
double MaxBinPower(const double* x, int32_t n) {
  double p = x[0] * x[0];
  for (int32_t k = 1; k <= (n + 1) / 2 - 1; ++k) {
    const double v = x[k] * x[k] + x[n - k] * x[n - k];
    if (v > p) p = v;
  }
  const double nyquist = x[n / 2] * x[n / 2];
  return nyquist > p ? nyquist : p;
}

}  // namespace

void ClearIrGraph() {
  for (auto& bin : IrGraph) bin = kNoPoint;
}

void PublishIrGraph(const int32_t rows[kGraphBins]) {
  for (int k = 0; k < kGraphBins; ++k) IrGraph[k] = rows[k];
}

bool NeedsResampling(int64_t fileRate, int64_t streamRate) {
  return fileRate > 0 && streamRate > 0 && fileRate != streamRate && streamRate <= 256 * fileRate &&
         fileRate <= 256 * streamRate;
}

bool ResampleIr(std::FILE* file, int64_t frames, int32_t channels, int32_t fileRate,
                int32_t streamRate, ResampledIr* out) {
  *out = ResampledIr{};
  const double ratio = double(streamRate) / fileRate;
  const int64_t room = static_cast<int64_t>(std::ceil(frames * ratio)) + 16;
  // The converter counts in long, 32 bits on Windows.
  if (frames < 0 || room * channels > INT32_MAX) return false;
  Owned<int16_t> buffer(static_cast<int16_t*>(AllocZeroed(kReadValues, sizeof(int16_t))));
  Owned<float> in(buffer ? AllocFloats(frames * channels + 1) : nullptr);
  Owned<float> converted(in ? AllocFloats(room * channels) : nullptr);
  if (!converted) return false;
  SampleReader reader{buffer.get(), kReadValues, file, nullptr};
  for (int64_t i = 0; i < frames * channels; ++i) in.get()[i] = static_cast<float>(reader.Next());
  if (frames > 0) {
    SRC_DATA data{};
    data.data_in = in.get();
    data.data_out = converted.get();
    data.input_frames = static_cast<long>(frames);
    data.output_frames = static_cast<long>(room);
    data.src_ratio = ratio;
    if (src_simple(&data, kConverter, channels) != 0) return false;
    out->Frames = data.output_frames_gen;
    // A sampled response grows with the rate: scaled by the file's rate
    // over the stream's, the room keeps its level at every rate.
    const float scale = static_cast<float>(double(fileRate) / streamRate);
    for (int64_t i = 0; i < out->Frames * channels; ++i) converted.get()[i] *= scale;
  }
  out->Samples = converted.release();
  return true;
}

void FreeResampledIr(ResampledIr* ir) {
  FreeMemory(ir->Samples);
  *ir = ResampledIr{};
}

bool ResampledFrames(std::FILE* file, int64_t frames, int32_t channels, int32_t fileRate,
                     int32_t streamRate, int64_t* kept) {
  *kept = frames;
  if (!NeedsResampling(fileRate, streamRate)) return true;
  ResampledIr converted;
  if (!ResampleIr(file, frames, channels, fileRate, streamRate, &converted)) return false;
  *kept = converted.Frames < kMaxConvertedFrames ? converted.Frames : kMaxConvertedFrames;
  FreeResampledIr(&converted);
  return true;
}

bool LoadImpulseResponse(std::FILE* file, const float* converted, int32_t frames,
                         int32_t targetChannels, int32_t fileChannels, int32_t rate, int32_t n,
                         fftw_plan forward, ChannelPair* target, ChannelPair* cross,
                         IrAnalysis* analysis) {
  // What the file's channels become: each target array's time samples, in
  // 16-bit units, from one frame's values (LL, LR, RL, RR for four).
  const bool mixed = fileChannels != 1 && targetChannels == 1;
  const int32_t arrays = targetChannels;  // the direct pair, then the cross pair
  const int32_t pairs = arrays == 4 ? 2 : arrays;
  *target = ChannelPair{pairs, {nullptr, nullptr}};
  *cross = ChannelPair{arrays == 4 ? 2 : 0, {nullptr, nullptr}};

  Owned<int16_t> buffer(static_cast<int16_t*>(AllocZeroed(kReadValues, sizeof(int16_t))));
  Owned<double> time[4];
  bool ok = buffer != nullptr;
  for (int c = 0; ok && c < arrays; ++c) ok = (time[c] = Owned<double>(AllocDoubles(n))) != nullptr;
  Owned<double> bins(ok ? AllocDoubles(int64_t{n} + 2) : nullptr);
  if (!bins || !AllocChannelPair(target, pairs, n) ||
      (arrays == 4 && !AllocChannelPair(cross, 2, n))) {
    FreeChannelPair(target);
    return false;
  }

  double power[kGraphBins] = {};
  const int64_t graphFrames = int64_t{kGraphSeconds} * rate;
  const double scale = (1.0 / n) * (mixed ? kScale16 : kScale15);
  SampleReader reader{buffer.get(), kReadValues, file, converted};
  double* t[4] = {time[0].get(), time[1].get(), time[2].get(), time[3].get()};
  for (int32_t j = 0; j < frames; ++j) {
    double framePower;
    if (fileChannels == 1) {
      const double s = reader.Next();
      t[0][j] = s * scale;
      const double v = s * kScale15;
      framePower = v * v;
    } else if (fileChannels == 2) {
      const double l = reader.Next();
      const double r = reader.Next();
      if (mixed) {
        t[0][j] = (l + r) * scale;
      } else {
        t[0][j] = l * scale;
        t[1][j] = r * scale;
      }
      const double vl = l * kScale15;
      const double vr = r * kScale15;
      framePower = (vl * vl + vr * vr) * 0.25;
    } else {  // true stereo: what each input gives at each output
      const double ll = reader.Next(), lr = reader.Next();
      const double rl = reader.Next(), rr = reader.Next();
      if (arrays == 1) {  // a mono source feeding both inputs, heard as one
        t[0][j] = (ll + lr + rl + rr) * scale;
      } else if (arrays == 2) {  // a mono source feeding both inputs, heard at both outputs
        t[0][j] = (ll + rl) * scale;
        t[1][j] = (lr + rr) * scale;
      } else {  // each output: its own side's path, then the other side's
        t[0][j] = ll * scale;
        t[1][j] = rr * scale;
        t[2][j] = rl * scale;
        t[3][j] = lr * scale;
      }
      const double a = ll * kScale15, b = lr * kScale15, c = rl * kScale15, d = rr * kScale15;
      framePower = (a * a + b * b + c * c + d * d) * 0.25;
    }
    if (j < graphFrames) power[(kGraphBins * int64_t{j}) / rate / kGraphSeconds] += framePower;
  }

  // The spectra in force, and the largest bin over all of them.
  auto* complexBins = reinterpret_cast<fftw_complex*>(bins.get());
  double peak = 0.0;
  for (int c = 0; c < arrays; ++c) {
    double* spectrum = c < 2 ? target->Data[c] : cross->Data[c - 2];
    fftw_execute_dft_r2c(forward, t[c], complexBins);
    ToHalfcomplex(bins.get(), spectrum, n);
    const double p = MaxBinPower(spectrum, n);
    if (c == 0 || p > peak) peak = p;
  }
  analysis->PeakMagnitude = std::sqrt(peak) * n;
  for (int k = 0; k < kGraphBins; ++k) analysis->Graph[k] = GraphRow(power[k], rate);
  return true;
}
