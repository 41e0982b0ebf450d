// SPDX-License-Identifier: GPL-2.0-or-later
// Synthetic stereo impulse responses from a room design, in plain double
// arithmetic so that every run gives the same samples.
#include "tools/irgen/ir_synth.h"

#include <algorithm>
#include <cmath>

#include "tools/irgen/exact_math.h"

namespace irgen {
namespace {

constexpr double kLn10 = 2.30258509299404568402;
constexpr double kLn1000 = 3 * kLn10;

// Butterworth low or high pass (Q 0.707), direct form I.
class Biquad {
 public:
  Biquad(bool high, double hz, int rate) {
    const double w = 2 * kPi * hz / rate;
    const double cw = Cos(w);
    const double alpha = Sin(w) / (2 * 0.70710678118654752440);  // Butterworth Q
    const double a0 = 1 + alpha;
    const double edge = high ? (1 + cw) / 2 : (1 - cw) / 2;
    b0_ = edge / a0;
    b1_ = (high ? -2 : 2) * edge / a0;
    b2_ = edge / a0;
    a1_ = -2 * cw / a0;
    a2_ = (1 - alpha) / a0;
  }

  double Run(double x) {
    const double y = b0_ * x + b1_ * x1_ + b2_ * x2_ - a1_ * y1_ - a2_ * y2_;
    x2_ = x1_;
    x1_ = x;
    y2_ = y1_;
    y1_ = y;
    return y;
  }

 private:
  double b0_, b1_, b2_, a1_, a2_;
  double x1_ = 0, x2_ = 0, y1_ = 0, y2_ = 0;
};

// Fourth-order crossover half: two equal Butterworth sections, 24 dB/octave,
// steep enough that a slow band does not leak into a fast one.
class Crossover {
 public:
  Crossover(bool high, double hz, int rate) : a_(high, hz, rate), b_(high, hz, rate) {}
  double Run(double x) { return b_.Run(a_.Run(x)); }

 private:
  Biquad a_, b_;
};

size_t Frame(double ms, int rate) { return static_cast<size_t>(ms * rate / 1000 + 0.5); }

// Reflections off the walls: sparse at first, then ever closer, each quieter
// with distance and duller for the surface it came off.
std::vector<double> EarlyReflections(const RoomDesign& room, int rate, int channel, Random* rng,
                                     size_t frames) {
  std::vector<double> early(frames, 0.0);
  if (room.reflections <= 0) return early;
  // The nearest wall is not the same distance from both ears.
  const double first = room.first_ms * (channel == 0 ? 1.0 : 1.23);
  const double span = room.early_end_ms - first;
  const int n = room.reflections;
  for (int k = 0; k < n; ++k) {
    const double pos = n > 1 ? std::sqrt(static_cast<double>(k) / (n - 1)) : 0.0;
    const double next = n > 1 ? std::sqrt(static_cast<double>(k + 1) / (n - 1)) : 1.0;
    double ms = first + span * pos;
    if (k > 0) ms += (rng->Uniform() - 0.5) * 0.8 * span * (next - pos);
    const double level = 0.55 + 0.45 * rng->Uniform();
    const double sign = rng->Uniform() < 0.8 ? 1.0 : -1.0;
    const size_t at = Frame(ms, rate);
    if (at > 0 && at < frames) early[at] += sign * level * room.first_gain * first / ms;
  }
  const double a = Exp(-2 * kPi * room.reflection_lowpass_hz / rate);
  double y = 0;
  for (double& s : early) {
    y += (1 - a) * (s - y);
    s = y;
  }
  return early;
}

// The diffuse field: sparse random pulses that thicken into noise, split into
// bands that each die away at their own rate.
std::vector<double> DiffuseTail(const RoomDesign& room, int rate, Random* rng, size_t frames) {
  std::vector<double> tail(frames, 0.0);
  Crossover low(false, room.crossover_hz[0], rate), rest1(true, room.crossover_hz[0], rate);
  Crossover mid(false, room.crossover_hz[1], rate), rest2(true, room.crossover_hz[1], rate);
  Crossover upper(false, room.crossover_hz[2], rate), high(true, room.crossover_hz[2], rate);
  double step[kBands], decay[kBands];
  for (int b = 0; b < kBands; ++b) {
    step[b] = Exp(-kLn1000 / (room.rt60_s[b] * rate));  // -60 dB after rt60
    decay[b] = room.band_gain[b];
  }
  const double attack_step = Exp(-1000.0 / (room.attack_ms * rate));
  double attack_rest = 1.0;
  const size_t onset = Frame(room.onset_ms, rate);
  const double dense_s = room.dense_ms / 1000;
  for (size_t n = onset; n < frames; ++n) {
    const double t = static_cast<double>(n - onset) / rate;
    double p = 1.0;
    if (dense_s > 0 && t < dense_s) {
      const double grow = (t / dense_s) * (t / dense_s);  // echo density grows with t^2
      p = (room.start_density + (rate - room.start_density) * grow) / rate;
    }
    const double chance = rng->Uniform(), value = rng->Uniform();
    // Sparse pulses are larger, so the expected power does not change.
    const double x = chance < p ? (2 * value - 1) * std::sqrt(3 / p) : 0.0;
    const double r1 = rest1.Run(x);
    const double r2 = rest2.Run(r1);
    const double band[kBands] = {low.Run(x), mid.Run(r1), upper.Run(r2), high.Run(r2)};
    double sum = 0;
    for (int b = 0; b < kBands; ++b) {
      sum += decay[b] * band[b];
      decay[b] *= step[b];
    }
    tail[n] = (1 - attack_rest) * sum;
    attack_rest *= attack_step;
  }
  return tail;
}

}  // namespace

std::vector<double> Synthesise(const RoomDesign& room, int rate) {
  const size_t frames = static_cast<size_t>(room.length_s * rate + 0.5);
  std::vector<double> out(frames * 2, 0.0);
  for (int c = 0; c < 2; ++c) {
    // Each channel draws its own numbers: the tails are uncorrelated.
    Random rng(room.seed * 0x2545F4914F6CDD1Dull + static_cast<uint64_t>(c + 1));
    const std::vector<double> early = EarlyReflections(room, rate, c, &rng, frames);
    const std::vector<double> tail = DiffuseTail(room, rate, &rng, frames);
    for (size_t n = 0; n < frames; ++n) out[2 * n + c] = early[n] + tail[n];
    out[c] += 1.0;
  }
  const size_t fade = std::min(frames, static_cast<size_t>(room.fade_s * rate + 0.5));
  for (size_t i = 0; i < fade; ++i) {
    const size_t n = frames - 1 - i;
    const double w = static_cast<double>(i) / fade;  // 0 on the last frame
    out[2 * n] *= w;
    out[2 * n + 1] *= w;
  }
  return out;
}

PcmAudio ToPcm(const std::vector<double>& response, int rate, double peak,
               double wet_to_direct_db) {
  std::vector<double> wet = response;
  wet[0] -= 1.0;
  wet[1] -= 1.0;
  double energy = 0;
  for (double s : wet) energy += s * s;
  energy /= 2;  // per channel, as the direct sound's 1.0
  const double scale = std::sqrt(Exp(wet_to_direct_db / 10 * kLn10) / energy);
  std::vector<double> mixed(response.size());
  double biggest = 1.0;
  for (size_t i = 0; i < wet.size(); ++i) {
    mixed[i] = (i < 2 ? 1.0 : 0.0) + scale * wet[i];
    biggest = std::max(biggest, std::fabs(mixed[i]));
  }
  PcmAudio pcm;
  pcm.channels = 2;
  pcm.rate = rate;
  pcm.samples.resize(mixed.size());
  for (size_t i = 0; i < mixed.size(); ++i) {
    const double v = std::floor(mixed[i] * peak / biggest + 0.5);
    pcm.samples[i] = static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
  }
  return pcm;
}

}  // namespace irgen
