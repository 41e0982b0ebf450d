// SPDX-License-Identifier: GPL-2.0-or-later
// IR loading and analysis: one pass over the frames fills the transform
// input and the graph's bin powers; then the spectrum and its peak.
#include "ir/impulse_response.h"

#include <cmath>
#include <cstring>

#include "engine/memory.h"

std::atomic<int32_t> IrGraph[kGraphBins];

namespace {

constexpr int kReadValues = 4096;
constexpr double kScale15 = 3.0517578125e-05;   // 2^-15
constexpr double kScale16 = 1.52587890625e-05;  // 2^-16

// Pulls 16-bit values from the file 4096 at a time; what a short file does
// not hold reads as zero.
struct SampleReader {
  int16_t* buffer;
  int used = kReadValues;
  std::FILE* file;

  int16_t Next() {
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

bool LoadImpulseResponse(std::FILE* file, int32_t frames, int32_t targetChannels,
                         int32_t fileChannels, int32_t rate, int32_t n, fftw_plan forward,
                         ChannelPair* target, IrAnalysis* analysis) {
  const bool mixed = fileChannels == 2 && targetChannels == 1;
  const bool stereo = fileChannels == 2 && targetChannels == 2;
  *target = ChannelPair{targetChannels, {nullptr, nullptr}};

  Owned<int16_t> buffer(static_cast<int16_t*>(AllocZeroed(kReadValues, sizeof(int16_t))));
  Owned<double> time0(buffer ? AllocDoubles(n) : nullptr);
  Owned<double> time1(time0 && stereo ? AllocDoubles(n) : nullptr);
  Owned<double> bins(time0 && (time1 || !stereo) ? AllocDoubles(int64_t{n} + 2) : nullptr);
  if (!bins || !AllocChannelPair(target, targetChannels, n)) return false;

  double power[kGraphBins] = {};
  const int64_t graphFrames = int64_t{kGraphSeconds} * rate;
  const double scale = (1.0 / n) * (mixed ? kScale16 : kScale15);
  SampleReader reader{buffer.get(), kReadValues, file};
  double* t0 = time0.get();
  double* t1 = time1.get();
  for (int32_t j = 0; j < frames; ++j) {
    double framePower;
    if (fileChannels == 1) {
      const int16_t s = reader.Next();
      t0[j] = s * scale;
      const double v = s * kScale15;
      framePower = v * v;
    } else {
      const int16_t l = reader.Next();
      const int16_t r = reader.Next();
      if (mixed) {
        t0[j] = (l + r) * scale;
      } else {
        t0[j] = l * scale;
        t1[j] = r * scale;
      }
      const double vl = l * kScale15;
      const double vr = r * kScale15;
      framePower = (vl * vl + vr * vr) * 0.25;
    }
    if (j < graphFrames) power[(kGraphBins * int64_t{j}) / rate / kGraphSeconds] += framePower;
  }

  auto* complexBins = reinterpret_cast<fftw_complex*>(bins.get());
  fftw_execute_dft_r2c(forward, t0, complexBins);
  ToHalfcomplex(bins.get(), target->Data[0], n);
  double peak = MaxBinPower(target->Data[0], n);
  if (stereo) {
    fftw_execute_dft_r2c(forward, t1, complexBins);
    ToHalfcomplex(bins.get(), target->Data[1], n);
    const double p1 = MaxBinPower(target->Data[1], n);
    if (p1 > peak) peak = p1;
  }
  analysis->PeakMagnitude = std::sqrt(peak) * n;
  for (int k = 0; k < kGraphBins; ++k) analysis->Graph[k] = GraphRow(power[k], rate);
  return true;
}
