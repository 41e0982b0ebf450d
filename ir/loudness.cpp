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
  const double step = double(rate) / kLoudnessFft;
  *first = static_cast<int32_t>(std::ceil(kLowHz / step));
  *last = std::min(kLoudnessBins - 1, static_cast<int32_t>(std::floor(kHighHz / step)));
}

}  // namespace

double KWeightPower(double hz, double rate) {
  // The shelf, then the high-pass, each by the bilinear transform at `rate`.
  const double w = 2.0 * kPi * hz / rate;
  double k = std::tan(kPi * 1681.974450955533 / rate);
  const double q = 0.7071752369554196;
  const double vh = std::pow(10.0, 3.999843853973347 / 20.0);
  const double vb = std::pow(vh, 0.4996667741545416);
  const double shelfB[3] = {vh + vb * k / q + k * k, 2.0 * (k * k - vh), vh - vb * k / q + k * k};
  const double shelfA[3] = {1.0 + k / q + k * k, 2.0 * (k * k - 1.0), 1.0 - k / q + k * k};
  k = std::tan(kPi * 38.13547087602444 / rate);
  const double qh = 0.5003270373238773;
  const double highB[3] = {1.0, -2.0, 1.0};
  const double highA[3] = {1.0 + k / qh + k * k, 2.0 * (k * k - 1.0), 1.0 - k / qh + k * k};
  return BiquadPower(shelfB, shelfA, w) * BiquadPower(highB, highA, w);
}

void PinkReference(int32_t channels, int32_t rate, LoudnessReference* r) {
  std::memset(r, 0, sizeof *r);
  r->Channels = channels;
  r->Rate = rate;
  int32_t first, last;
  BandBins(rate, &first, &last);
  const double step = double(rate) / kLoudnessFft;
  for (int32_t j = first; j <= last; ++j) {
    const double hz = j * step;
    for (int c = 0; c < channels; ++c) r->Power[c][j] = KWeightPower(hz, rate) / hz;
  }
}

struct ReferenceAnalysis {
  int32_t Channels, Rate;
  fftw_plan Forward;
  int32_t Fill;       // frames in Window so far
  int64_t Counted;    // windows that were loud enough
  double* In;         // kLoudnessFft, fftw_malloc'ed
  fftw_complex* Out;  // kLoudnessBins
  float Window[2][kLoudnessFft];
  double Hann[kLoudnessFft];
  double Hann2;                  // the window's sum of squares
  double Weight[kLoudnessBins];  // K^2 in the band, else 0
  double Sum[2][kLoudnessBins];
  double Window2[2][kLoudnessBins];  // the window being taken
};

ReferenceAnalysis* NewReferenceAnalysis(int32_t channels, int32_t rate, fftw_plan forward) {
  auto* a = static_cast<ReferenceAnalysis*>(AllocZeroed(1, sizeof(ReferenceAnalysis)));
  if (!a) return nullptr;
  a->In = AllocDoubles(kLoudnessFft);
  a->Out = static_cast<fftw_complex*>(static_cast<void*>(AllocDoubles(2 * kLoudnessBins)));
  if (!a->In || !a->Out) {
    FreeReferenceAnalysis(a);
    return nullptr;
  }
  a->Channels = channels;
  a->Rate = rate;
  a->Forward = forward;
  for (int32_t i = 0; i < kLoudnessFft; ++i) {
    a->Hann[i] = 0.5 - 0.5 * std::cos(2.0 * kPi * i / kLoudnessFft);
    a->Hann2 += a->Hann[i] * a->Hann[i];
  }
  int32_t first, last;
  BandBins(rate, &first, &last);
  for (int32_t j = first; j <= last; ++j) {
    a->Weight[j] = KWeightPower(j * double(rate) / kLoudnessFft, rate);
  }
  return a;
}

void FreeReferenceAnalysis(ReferenceAnalysis* a) {
  if (!a) return;
  FreeMemory(a->In);
  FreeMemory(a->Out);
  FreeMemory(a);
}

bool WindowPower(ReferenceAnalysis* a, const float* const window[2],
                 double power[2][kLoudnessBins]) {
  double meanSquare = 0.0;
  for (int c = 0; c < a->Channels; ++c) {
    for (int32_t i = 0; i < kLoudnessFft; ++i) a->In[i] = window[c][i] * a->Hann[i];
    fftw_execute_dft_r2c(a->Forward, a->In, a->Out);
    for (int32_t j = 0; j < kLoudnessBins; ++j) {
      power[c][j] = a->Weight[j] * (a->Out[j][0] * a->Out[j][0] + a->Out[j][1] * a->Out[j][1]);
      // One-sided: every bin but DC and Nyquist stands for two.
      meanSquare += power[c][j] * (j == 0 || j == kLoudnessBins - 1 ? 1.0 : 2.0);
    }
  }
  meanSquare /= kLoudnessFft * a->Hann2 * 32768.0 * 32768.0;
  return meanSquare > 0.0 && -0.691 + 10.0 * std::log10(meanSquare) >= -70.0;
}

namespace {

// One full window: its K-weighted spectrum counts when its loudness is
// above -70 LUFS.
void TakeWindow(ReferenceAnalysis* a) {
  const float* window[2] = {a->Window[0], a->Window[1]};
  if (!WindowPower(a, window, a->Window2)) return;
  for (int c = 0; c < a->Channels; ++c) {
    for (int32_t j = 0; j < kLoudnessBins; ++j) a->Sum[c][j] += a->Window2[c][j];
  }
  ++a->Counted;
}

}  // namespace

void TakeReference(ReferenceAnalysis* a, const float* const samples[2], int32_t frames) {
  constexpr int32_t kHop = kLoudnessFft / 2;
  for (int32_t done = 0; done < frames;) {
    const int32_t n = std::min(frames - done, kLoudnessFft - a->Fill);
    for (int c = 0; c < a->Channels; ++c) {
      std::memcpy(a->Window[c] + a->Fill, samples[c] + done, sizeof(float) * n);
    }
    a->Fill += n;
    done += n;
    if (a->Fill < kLoudnessFft) break;
    TakeWindow(a);
    for (int c = 0; c < a->Channels; ++c) {
      std::memmove(a->Window[c], a->Window[c] + kHop, sizeof(float) * kHop);
    }
    a->Fill = kHop;
  }
}

bool FinishReference(const ReferenceAnalysis& a, double minSeconds, LoudnessReference* r) {
  const double seconds = double(a.Counted) * (kLoudnessFft / 2) / a.Rate;
  if (a.Counted == 0 || seconds < minSeconds) {
    PinkReference(a.Channels, a.Rate, r);
    return false;
  }
  std::memset(r, 0, sizeof *r);
  r->Channels = a.Channels;
  r->Rate = a.Rate;
  r->AudibleSeconds = seconds;
  for (int c = 0; c < a.Channels; ++c) {
    for (int32_t j = 0; j < kLoudnessBins; ++j) r->Power[c][j] = a.Sum[c][j] / a.Counted;
  }
  return true;
}

void AddLoudnessPath(IrLoudness* ir, int32_t in, double gain2, const double* s, int32_t n) {
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
  if (half >= kLoudnessBins - 1) {
    for (int32_t j = 0; j < kLoudnessBins; ++j) {
      // Bin j stands for (j - 1/2 .. j + 1/2) rate / kLoudnessFft.
      const auto edge = [&](int32_t twice) {
        return std::clamp<int64_t>(
            static_cast<int64_t>(std::ceil(double(twice) * half / kLoudnessFft)), 0, half + 1);
      };
      const int64_t from = edge(2 * j - 1), to = edge(2 * j + 1);
      double sum = 0.0;
      for (int64_t k = from; k < to; ++k) sum += bin(static_cast<int32_t>(k));
      power[j] = to > from ? sum / double(to - from) : 0.0;
    }
  } else {
    for (int32_t j = 0; j < kLoudnessBins; ++j) {
      power[j] = bin(static_cast<int32_t>(std::lround(double(j) * half / (kLoudnessBins - 1))));
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
    for (int32_t j = 0; j < kLoudnessBins; ++j) sum += w[j] * ir.Power[p][j];
    out += ir.Gain2[p] * sum;
  }
  return in > 0.0 && out > 0.0 ? std::sqrt(in / out) : 1.0;
}
