// SPDX-License-Identifier: GPL-2.0-or-later
// K-weighting, the reference spectrum and the match gain.
#include "ir/loudness.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>

#include "base/memory.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kLowHz = 20.0, kHighHz = 20000.0;

// |b(z) / a(z)|^2 on the unit circle at angle w, for a biquad.
double BiquadPower(const double b[3], const double a[3], double w) {
  const std::complex<double> z1 = std::polar(1.0, -w), z2 = z1 * z1;
  return std::norm((b[0] + b[1] * z1 + b[2] * z2) / (a[0] + a[1] * z1 + a[2] * z2));
}

// The bins of the band: 20 Hz to 20 kHz, or the Nyquist frequency below it.
void BandBins(int32_t rate, int32_t* first, int32_t* last) {
  const double step = double(rate) / ReferenceFft(rate);
  *first = static_cast<int32_t>(std::ceil(kLowHz / step));
  *last = std::min(kLoudnessBins - 1, static_cast<int32_t>(std::floor(kHighHz / step)));
}

}  // namespace

int32_t ReferenceFft(int32_t rate) {
  int32_t n = kLoudnessFft;
  while (n < (1 << 20) && int64_t{rate} * kLoudnessFft > int64_t{48000} * n) n *= 2;
  return n;
}

namespace {

// K-weighting's two biquads at one rate: the shelf, then the high-pass,
// each by the bilinear transform.
struct KFilter {
  double ShelfB[3], ShelfA[3], HighA[3];
  double Rate;
  explicit KFilter(double rate) : Rate(rate) {
    double k = std::tan(kPi * 1681.974450955533 / rate);
    const double q = 0.7071752369554196;
    const double vh = std::pow(10.0, 3.999843853973347 / 20.0);
    const double vb = std::pow(vh, 0.4996667741545416);
    const double shelfB[3] = {vh + vb * k / q + k * k, 2.0 * (k * k - vh), vh - vb * k / q + k * k};
    const double shelfA[3] = {1.0 + k / q + k * k, 2.0 * (k * k - 1.0), 1.0 - k / q + k * k};
    std::copy(shelfB, shelfB + 3, ShelfB);
    std::copy(shelfA, shelfA + 3, ShelfA);
    k = std::tan(kPi * 38.13547087602444 / rate);
    const double qh = 0.5003270373238773;
    // Its numerator is (1, -2, 1) over the normalised denominator.
    const double a0 = 1.0 + k / qh + k * k;
    HighA[0] = 1.0;
    HighA[1] = 2.0 * (k * k - 1.0) / a0;
    HighA[2] = (1.0 - k / qh + k * k) / a0;
  }
  double PowerAt(double hz) const {
    static constexpr double kHighB[3] = {1.0, -2.0, 1.0};
    const double w = 2.0 * kPi * hz / Rate;
    return BiquadPower(ShelfB, ShelfA, w) * BiquadPower(kHighB, HighA, w);
  }
};

// K^2 at the reference's bins in the band, zero elsewhere; the bins' width.
double KWeightBins(int32_t rate, double weight[kLoudnessBins]) {
  std::fill(weight, weight + kLoudnessBins, 0.0);
  const KFilter k(rate);
  const double step = double(rate) / ReferenceFft(rate);
  int32_t first, last;
  BandBins(rate, &first, &last);
  for (int32_t j = first; j <= last; ++j) weight[j] = k.PowerAt(j * step);
  return step;
}

}  // namespace

double KWeightPower(double hz, double rate) { return KFilter(rate).PowerAt(hz); }

void PinkReference(int32_t channels, int32_t rate, LoudnessReference* r) {
  std::memset(r, 0, sizeof *r);
  r->Channels = channels;
  r->Rate = rate;
  r->Fft = ReferenceFft(rate);
  double weight[kLoudnessBins];
  const double step = KWeightBins(rate, weight);
  for (int32_t j = 1; j < kLoudnessBins; ++j) {
    for (int c = 0; c < channels; ++c) r->Power[c][j] = weight[j] / (j * step);
  }
}

struct ReferenceAnalysis {
  int32_t Channels, Rate, Fft;
  fftw_plan Forward;
  int32_t Fill;                  // frames in Window so far
  int64_t Counted;               // windows that were loud enough
  double* In;                    // Fft, fftw_malloc'ed
  fftw_complex* Out;             // Fft / 2 + 1
  float* Window[2];              // Fft each
  double* Hann;                  // Fft
  double Hann2;                  // the window's sum of squares
  double Weight[kLoudnessBins];  // K^2 in the band, else 0
  double Sum[2][kLoudnessBins];
  double Window2[2][kLoudnessBins];  // the window being taken
};

ReferenceAnalysis* NewReferenceAnalysis(int32_t channels, int32_t rate, fftw_plan forward) {
  auto* a = static_cast<ReferenceAnalysis*>(AllocZeroed(1, sizeof(ReferenceAnalysis)));
  if (!a) return nullptr;
  const int32_t n = a->Fft = ReferenceFft(rate);
  a->In = AllocDoubles(n);
  a->Out = static_cast<fftw_complex*>(static_cast<void*>(AllocDoubles(int64_t{n} + 2)));
  a->Hann = AllocDoubles(n);
  a->Window[0] = AllocFloats(n);
  a->Window[1] = AllocFloats(n);
  if (!a->In || !a->Out || !a->Hann || !a->Window[0] || !a->Window[1]) {
    FreeReferenceAnalysis(a);
    return nullptr;
  }
  a->Channels = channels;
  a->Rate = rate;
  a->Forward = forward;
  for (int32_t i = 0; i < n; ++i) {
    a->Hann[i] = 0.5 - 0.5 * std::cos(2.0 * kPi * i / n);
    a->Hann2 += a->Hann[i] * a->Hann[i];
  }
  KWeightBins(rate, a->Weight);
  return a;
}

void FreeReferenceAnalysis(ReferenceAnalysis* a) {
  if (!a) return;
  FreeMemory(a->In);
  FreeMemory(a->Out);
  FreeMemory(a->Hann);
  FreeMemory(a->Window[0]);
  FreeMemory(a->Window[1]);
  FreeMemory(a);
}

bool WindowPower(ReferenceAnalysis* a, const float* const window[2],
                 double power[2][kLoudnessBins]) {
  double meanSquare = 0.0;
  for (int c = 0; c < a->Channels; ++c) {
    for (int32_t i = 0; i < a->Fft; ++i) a->In[i] = window[c][i] * a->Hann[i];
    fftw_execute_dft_r2c(a->Forward, a->In, a->Out);
    for (int32_t j = 0; j < kLoudnessBins; ++j) {
      power[c][j] = a->Weight[j] * (a->Out[j][0] * a->Out[j][0] + a->Out[j][1] * a->Out[j][1]);
      // One-sided: every bin but DC and Nyquist stands for two.
      meanSquare += power[c][j] * (j == 0 || j == a->Fft / 2 ? 1.0 : 2.0);
    }
  }
  meanSquare /= a->Fft * a->Hann2 * 32768.0 * 32768.0;
  return meanSquare > 0.0 && -0.691 + 10.0 * std::log10(meanSquare) >= -70.0;
}

namespace {

// One full window: its K-weighted spectrum counts when its loudness is
// above -70 LUFS.
void TakeWindow(ReferenceAnalysis* a) {
  const float* const window[2] = {a->Window[0], a->Window[1]};
  if (!WindowPower(a, window, a->Window2)) return;
  for (int c = 0; c < a->Channels; ++c) {
    for (int32_t j = 0; j < kLoudnessBins; ++j) a->Sum[c][j] += a->Window2[c][j];
  }
  ++a->Counted;
}

}  // namespace

void TakeReference(ReferenceAnalysis* a, const float* const samples[2], int32_t frames) {
  const int32_t hop = a->Fft / 2;
  for (int32_t done = 0; done < frames;) {
    const int32_t n = std::min(frames - done, a->Fft - a->Fill);
    for (int c = 0; c < a->Channels; ++c) {
      std::memcpy(a->Window[c] + a->Fill, samples[c] + done, sizeof(float) * n);
    }
    a->Fill += n;
    done += n;
    if (a->Fill < a->Fft) break;
    TakeWindow(a);
    for (int c = 0; c < a->Channels; ++c) {
      std::memmove(a->Window[c], a->Window[c] + hop, sizeof(float) * hop);
    }
    a->Fill = hop;
  }
}

bool FinishReference(const ReferenceAnalysis& a, double minSeconds, LoudnessReference* r) {
  const double seconds = double(a.Counted) * (a.Fft / 2) / a.Rate;
  if (a.Counted == 0 || seconds < minSeconds) {
    PinkReference(a.Channels, a.Rate, r);
    return false;
  }
  std::memset(r, 0, sizeof *r);
  r->Channels = a.Channels;
  r->Rate = a.Rate;
  r->Fft = a.Fft;
  r->AudibleSeconds = seconds;
  for (int c = 0; c < a.Channels; ++c) {
    for (int32_t j = 0; j < kLoudnessBins; ++j) r->Power[c][j] = a.Sum[c][j] / a.Counted;
  }
  return true;
}

void AddLoudnessPath(IrLoudness* ir, int32_t in, double gain2, const double* s, int32_t n,
                     int32_t fft) {
  ir->Fft = fft;
  const int32_t p = ir->Paths++;
  ir->In[p] = in;
  ir->Gain2[p] = gain2;
  ir->InChannels = std::max(ir->InChannels, in + 1);
  double* power = ir->Power[p];
  // The IR's own bins averaged into the reference's (or, for a short IR,
  // the nearest of its own): |H(f)|^2 with H = n times the stored bin.
  const auto bin = [&](int32_t k) {
    const double re = s[k], im = k > 0 && k < n / 2 ? s[n - k] : 0.0;
    return (re * re + im * im) * double(n) * double(n);
  };
  const int32_t half = n / 2;
  if (n >= fft) {
    for (int32_t j = 0; j < kLoudnessBins; ++j) {
      // Bin j stands for (j - 1/2 .. j + 1/2) rate / fft.
      const auto edge = [&](int32_t twice) {
        return std::clamp<int64_t>(static_cast<int64_t>(std::ceil(double(twice) * half / fft)), 0,
                                   half + 1);
      };
      const int64_t from = edge(2 * j - 1), to = edge(2 * j + 1);
      double sum = 0.0;
      for (int64_t k = from; k < to; ++k) sum += bin(static_cast<int32_t>(k));
      power[j] = to > from ? sum / double(to - from) : 0.0;
    }
  } else {
    for (int32_t j = 0; j < kLoudnessBins; ++j) {
      const int64_t k = std::lround(double(j) * n / fft);
      power[j] = k <= half ? bin(static_cast<int32_t>(k)) : 0.0;
    }
  }
}

double MatchGain(const IrLoudness& ir, const LoudnessReference& r) {
  double in = 0.0, out = 0.0;
  for (int c = 0; c < r.Channels; ++c) {
    for (int32_t j = 0; j < kLoudnessBins; ++j) in += r.Power[c][j];
  }
  for (int32_t p = 0; p < ir.Paths; ++p) {
    const double* w = r.Power[std::min(ir.In[p], r.Channels - 1)];
    double sum = 0.0;
    if (ir.Fft == r.Fft) {
      for (int32_t j = 0; j < kLoudnessBins; ++j) sum += w[j] * ir.Power[p][j];
    } else {
      // Measured for another rate's transform (the stream's rate moved on
      // without a new engine): each bin taken from the nearest of its own.
      for (int32_t j = 0; j < kLoudnessBins; ++j) {
        const int64_t k = std::lround(double(j) * ir.Fft / r.Fft);
        if (k < kLoudnessBins) sum += w[j] * ir.Power[p][k];
      }
    }
    out += ir.Gain2[p] * sum;
  }
  return in > 0.0 && out > 0.0 ? std::sqrt(in / out) : 1.0;
}
