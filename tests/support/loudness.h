// SPDX-License-Identifier: GPL-2.0-or-later
// Loudness for the benchmark and the native tests: integrated loudness
// (ITU-R BS.1770, gated) measured by libebur128, and three seeded
// programmes to measure it on: pink-noise bursts, a bass-heavy song and
// speech-like noise. Native only (libebur128, libsamplerate).
#pragma once

#include <ebur128.h>
#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "life/life.h"

// Integrated loudness in LUFS of `frames` interleaved 16-bit frames at
// `rate`; -HUGE_VAL when everything is gated away (silence).
inline double IntegratedLoudness(const int16_t* samples, size_t frames, int channels, int rate) {
  ebur128_state* state = ebur128_init(static_cast<unsigned>(channels),
                                      static_cast<unsigned long>(rate), EBUR128_MODE_I);
  double lufs = -HUGE_VAL;
  if (state && ebur128_add_frames_short(state, samples, frames) == EBUR128_SUCCESS &&
      ebur128_loudness_global(state, &lufs) != EBUR128_SUCCESS) {
    lufs = -HUGE_VAL;
  }
  ebur128_destroy(&state);
  return lufs;
}

// The same for frames [from, to) of interleaved samples.
inline double IntegratedLoudness(const std::vector<int16_t>& samples, int channels, int rate,
                                 size_t from = 0, size_t to = SIZE_MAX) {
  to = std::min(to, samples.size() / channels);
  return from < to ? IntegratedLoudness(samples.data() + from * channels, to - from, channels, rate)
                   : -HUGE_VAL;
}

// Streams interleaved 16-bit frames [from, to) of `samples` in place as a
// player does, in calls of 576 frames, with the window's timer following
// the music unless `follow` is false.
inline void PlayAsHost(std::vector<int16_t>* samples, int channels, int rate, int64_t from,
                       int64_t to, bool follow = true) {
  const int64_t timer = int64_t{rate} * kFollowMs / 1000;
  for (int64_t at = from; at < to;) {
    const int64_t end = std::min(to, at + 576);
    ProcessSamples(nullptr, samples->data() + channels * at, static_cast<int32_t>(end - at), 16,
                   channels, rate);
    if (follow && at / timer != end / timer) FollowLoudness();
    at = end;
  }
}

enum class Programme { PinkBursts, BassSong, Speech };

inline const char* ProgrammeName(Programme p) {
  return p == Programme::PinkBursts ? "pink bursts"
         : p == Programme::BassSong ? "bass song"
                                    : "speech";
}

namespace loudness {

// The programmes are made at this rate and converted to any other, so that
// every rate hears the same music, nothing of it above 20 kHz.
constexpr int kMadeRate = 44100;
constexpr double kPi = 3.14159265358979323846;

// Seeded uniform noise in [-1, 1): the raw generator's output, the same on
// every standard library (its distributions are not).
class Noise {
 public:
  explicit Noise(uint32_t seed) : rng_(seed) {}
  double Next() { return rng_() * (2.0 / 4294967296.0) - 1.0; }
  double Unit() { return rng_() * (1.0 / 4294967296.0); }  // [0, 1)

 private:
  std::mt19937 rng_;
};

// White noise made pink, -3 dB an octave within 0.05 dB above 10 Hz
// (a well-known set of six one-pole filters and a direct part).
class Pink {
 public:
  explicit Pink(uint32_t seed) : white_(seed) {}
  double Next() {
    const double w = white_.Next();
    b_[0] = 0.99886 * b_[0] + w * 0.0555179;
    b_[1] = 0.99332 * b_[1] + w * 0.0750759;
    b_[2] = 0.96900 * b_[2] + w * 0.1538520;
    b_[3] = 0.86650 * b_[3] + w * 0.3104856;
    b_[4] = 0.55000 * b_[4] + w * 0.5329522;
    b_[5] = -0.7616 * b_[5] - w * 0.0168980;
    const double out = b_[0] + b_[1] + b_[2] + b_[3] + b_[4] + b_[5] + b_[6] + w * 0.5362;
    b_[6] = w * 0.115926;
    return out * 0.11;
  }

 private:
  Noise white_;
  double b_[7] = {};
};

// Audio-cookbook biquad at any rate, direct form I; db for the peak and
// the shelves.
class Biquad {
 public:
  enum Kind { LowPass, HighPass, BandPass, Peak, LowShelf, HighShelf };
  Biquad(Kind kind, double hz, double q, double db = 0, int rate = kMadeRate) {
    const double w = 2 * kPi * hz / rate, cw = std::cos(w), alpha = std::sin(w) / (2 * q);
    const double a = std::pow(10.0, db / 40), r = 2 * std::sqrt(a) * alpha;
    double b0 = 0, b1 = 0, b2 = 0, a0 = 1 + alpha, a1 = -2 * cw, a2 = 1 - alpha;
    switch (kind) {
      case LowPass:
        b0 = b2 = (1 - cw) / 2, b1 = 1 - cw;
        break;
      case HighPass:
        b0 = b2 = (1 + cw) / 2, b1 = -(1 + cw);
        break;
      case BandPass:
        b0 = alpha, b2 = -alpha;
        break;
      case Peak:
        b0 = 1 + alpha * a, b1 = a1, b2 = 1 - alpha * a;
        a0 = 1 + alpha / a, a2 = 1 - alpha / a;
        break;
      case LowShelf:
      case HighShelf: {
        const double s = kind == LowShelf ? 1 : -1;  // the high shelf mirrors the low
        b0 = a * ((a + 1) - s * (a - 1) * cw + r);
        b1 = s * 2 * a * ((a - 1) - s * (a + 1) * cw);
        b2 = a * ((a + 1) - s * (a - 1) * cw - r);
        a0 = (a + 1) + s * (a - 1) * cw + r;
        a1 = -s * 2 * ((a - 1) + s * (a + 1) * cw);
        a2 = (a + 1) + s * (a - 1) * cw - r;
        break;
      }
    }
    b0_ = b0 / a0, b1_ = b1 / a0, b2_ = b2 / a0, a1_ = a1 / a0, a2_ = a2 / a0;
  }
  double Run(double x) {
    const double y = b0_ * x + b1_ * x1_ + b2_ * x2_ - a1_ * y1_ - a2_ * y2_;
    x2_ = x1_, x1_ = x, y2_ = y1_, y1_ = y;
    return y;
  }

 private:
  double b0_, b1_, b2_, a1_, a2_;
  double x1_ = 0, x2_ = 0, y1_ = 0, y2_ = 0;
};

// Raised-cosine edge over 5 ms: no clicks at the bursts' and phrases' ends.
inline double Edge(double t, double length) {
  const double ramp = 0.005;
  if (t < 0 || t >= length) return 0;
  const double d = std::min(t, length - t);
  return d >= ramp ? 1 : 0.5 - 0.5 * std::cos(kPi * d / ramp);
}

// Pink noise on for 0.5 to 2 s, off for 0.25 to 1 s; the channels share
// most of it (correlation 0.64), as a mix's do.
inline std::vector<double> PinkBursts(int64_t frames, uint32_t seed) {
  std::vector<double> out(2 * frames);
  Pink common(seed), left(seed + 1), right(seed + 2);
  Noise timing(seed + 3);
  double on = 0, length = 0.5 + 1.5 * timing.Unit(), gap = 0.25 + 0.75 * timing.Unit();
  for (int64_t n = 0; n < frames; ++n, on += 1.0 / kMadeRate) {
    if (on >= length + gap) {
      on = 0, length = 0.5 + 1.5 * timing.Unit(), gap = 0.25 + 0.75 * timing.Unit();
    }
    const double c = common.Next(), g = Edge(on, length);
    out[2 * n] = g * (0.8 * c + 0.6 * left.Next());
    out[2 * n + 1] = g * (0.8 * c + 0.6 * right.Next());
  }
  return out;
}

// 120 beats a minute: a kick on every beat, a bass line in eighths three
// octaves under the chords, sustained chords a bar each, and a quiet
// hi-hat; the bass and the kick carry most of the energy. The seed picks
// the progression's order, the bass's rhythm and the hats' noise.
inline std::vector<double> BassSong(int64_t frames, uint32_t seed) {
  std::vector<double> out(2 * frames);
  Noise pick(seed), hat(seed + 1);
  const double roots[4] = {41.2, 55.0, 49.0, 36.7};  // E1 A1 G1 D1
  int order[4] = {0, 1, 2, 3};
  for (int i = 3; i > 0; --i) {  // std::shuffle differs between libraries
    std::swap(order[i], order[static_cast<int>(pick.Unit() * (i + 1))]);
  }
  bool rests[8];
  for (bool& r : rests) r = pick.Unit() < 0.2;
  rests[0] = false;
  const double beat = 0.5, bar = 4 * beat, eighth = beat / 2;
  Biquad bassTone(Biquad::LowPass, 400, 0.9), hatTone(Biquad::HighPass, 7000, 0.7);
  double bassPhase = 0;
  for (int64_t n = 0; n < frames; ++n) {
    const double t = static_cast<double>(n) / kMadeRate;
    const double root = roots[order[static_cast<int64_t>(t / bar) % 4]];
    // Kick: a sine swept from 150 Hz down to 50 Hz, dying in about 0.3 s.
    const double k = std::fmod(t, beat);
    const double kick =
        std::sin(2 * kPi * (50 * k + 100 * 0.04 * (1 - std::exp(-k / 0.04)))) * std::exp(-k / 0.12);
    // Bass: a sawtooth an octave above the root, plucked each eighth.
    const int64_t step = static_cast<int64_t>(t / eighth);
    const double e = std::fmod(t, eighth);
    const double f = root * (step % 4 == 3 ? 3 : 2);
    bassPhase = std::fmod(bassPhase + f / kMadeRate, 1.0);
    const double pluck = rests[step % 8] ? 0 : Edge(e, eighth * 0.9) * std::exp(-e / 0.3);
    const double bass = bassTone.Run(2 * bassPhase - 1) * pluck;
    // Chords: root, third and fifth four octaves up, slightly apart per side.
    double chord[2] = {0, 0};
    for (int side = 0; side < 2; ++side) {
      for (double ratio : {1.0, 1.26, 1.5}) {
        chord[side] += std::sin(2 * kPi * root * 16 * ratio * (1 + 0.002 * side) * t);
      }
    }
    const double swell = Edge(std::fmod(t, bar), bar);
    // Hi-hat: short bright noise on the off-beats.
    const double h = std::fmod(t + beat / 2, beat);
    const double hats = hatTone.Run(hat.Next()) * std::exp(-h / 0.02);
    const double centre = 0.9 * kick + 0.8 * bass;
    out[2 * n] = centre + 0.06 * swell * chord[0] + 0.08 * hats;
    out[2 * n + 1] = centre + 0.06 * swell * chord[1] + 0.05 * hats;
  }
  return out;
}

// One voice in the middle: noise shaped like speech's long-term spectrum
// (most of it 200 Hz to 4 kHz, a peak near 500 Hz), in syllables at 3 to
// 5 a second, in phrases of 1 to 3 s between pauses of 0.2 to 0.8 s.
inline std::vector<double> Speech(int64_t frames, uint32_t seed) {
  std::vector<double> out(2 * frames);
  Noise source(seed), timing(seed + 1);
  Biquad low(Biquad::HighPass, 150, 0.7), high(Biquad::LowPass, 4000, 0.7);
  Biquad formant(Biquad::Peak, 500, 1.0, 8), presence(Biquad::Peak, 2500, 1.5, 3);
  double at = 0, phrase = 1 + 2 * timing.Unit(), pause = 0.2 + 0.6 * timing.Unit();
  double rate = 3 + 2 * timing.Unit(), phase = 0;
  for (int64_t n = 0; n < frames; ++n, at += 1.0 / kMadeRate) {
    if (at >= phrase + pause) {
      at = 0, phrase = 1 + 2 * timing.Unit(), pause = 0.2 + 0.6 * timing.Unit();
      rate = 3 + 2 * timing.Unit(), phase = 0;
    }
    phase += rate / kMadeRate;
    const double syllable = std::pow(std::sin(kPi * std::fmod(phase, 1.0)), 2);
    const double v = presence.Run(formant.Run(high.Run(low.Run(source.Next()))));
    out[2 * n] = out[2 * n + 1] = Edge(at, phrase) * syllable * v;
  }
  return out;
}

}  // namespace loudness

// `seconds` of a programme at `rate`, interleaved 16-bit, stereo or mono
// (the two sides mixed), at `lufs` integrated loudness as made at 44.1 kHz.
// Other rates are the same music converted; libebur128 reads it up to
// 0.05 dB quieter at 192 kHz, as it reads a sine 0.04 dB quieter. The same for a seed
// everywhere.
inline std::vector<int16_t> MakeProgramme(Programme p, int channels, int rate, double seconds,
                                          uint32_t seed, double lufs = -22) {
  namespace d = loudness;
  const int64_t frames = static_cast<int64_t>(seconds * d::kMadeRate + 0.5);
  const std::vector<double> stereo = p == Programme::PinkBursts ? d::PinkBursts(frames, seed)
                                     : p == Programme::BassSong ? d::BassSong(frames, seed)
                                                                : d::Speech(frames, seed);
  // Nothing above 20 kHz, which a conversion's filter or the measure's
  // high shelf near 22 kHz would treat differently at each rate.
  std::vector<float> made(static_cast<size_t>(frames) * channels);
  for (int c = 0; c < channels; ++c) {
    d::Biquad top[4] = {{d::Biquad::LowPass, 20000, 0.54},
                        {d::Biquad::LowPass, 20000, 1.31},
                        {d::Biquad::LowPass, 20000, 0.54},
                        {d::Biquad::LowPass, 20000, 1.31}};
    for (int64_t n = 0; n < frames; ++n) {
      double v = channels == 1 ? 0.5 * (stereo[2 * n] + stereo[2 * n + 1]) : stereo[2 * n + c];
      for (d::Biquad& f : top) v = f.Run(v);
      made[n * channels + c] = static_cast<float>(v);
    }
  }
  // Scaled by the measure itself: 1 in floats is full scale.
  {
    ebur128_state* state =
        ebur128_init(static_cast<unsigned>(channels), d::kMadeRate, EBUR128_MODE_I);
    double measured = lufs;
    ebur128_add_frames_float(state, made.data(), static_cast<size_t>(frames));
    ebur128_loudness_global(state, &measured);
    ebur128_destroy(&state);
    const float gain = static_cast<float>(std::pow(10.0, (lufs - measured) / 20));
    for (float& s : made) s *= gain;
  }
  std::vector<float> converted;
  if (rate != d::kMadeRate) {
    const double ratio = static_cast<double>(rate) / d::kMadeRate;
    converted.assign(static_cast<size_t>(std::ceil(frames * ratio)) * channels, 0.0f);
    SRC_DATA data{};
    data.data_in = made.data();
    data.input_frames = static_cast<long>(frames);
    data.data_out = converted.data();
    data.output_frames = static_cast<long>(converted.size() / channels);
    data.src_ratio = ratio;
    src_simple(&data, SRC_SINC_MEDIUM_QUALITY, channels);
  }
  const std::vector<float>& at = rate != d::kMadeRate ? converted : made;
  std::vector<int16_t> out(at.size());
  for (size_t i = 0; i < at.size(); ++i) {
    out[i] = static_cast<int16_t>(std::clamp(std::lround(at[i] * 32768.0f), -32768L, 32767L));
  }
  return out;
}
