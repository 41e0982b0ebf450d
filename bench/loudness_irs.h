// SPDX-License-Identifier: GPL-2.0-or-later
// The loudness benchmark's impulse responses, all made here: rooms from
// 0.3 to 6 s, dark and bright, a plate, a spring, two cabinets, a telephone
// band, bass and treble shelves, a Dirac, echoes and a true-stereo hall;
// levels and spectra far apart, as real files are.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "tests/support/loudness.h"
#include "tools/irgen/ir_synth.h"
#include "tools/wav_io.h"

struct BenchIr {
  std::string name;
  PcmAudio pcm;
};

namespace bench_irs {

using loudness::Biquad;

// A room's tail split at 500 Hz, 2 kHz and 6 kHz: RT60 and level per band.
// Its reflections, then its diffuse field's onset, swell and density.
struct Walls {
  int count;
  double first_ms, end_ms, gain, lowpass_hz;
};
struct Diffusion {
  double onset_ms, attack_ms, density, dense_ms;
};
struct Room {
  constexpr Room(const char* name, double seconds, double wet_db, std::array<double, 4> rt60,
                 std::array<double, 4> gain, Walls walls, Diffusion diffusion)
      : name(name),
        seconds(seconds),
        wet_db(wet_db),
        rt60(rt60),
        gain(gain),
        walls(walls),
        diffusion(diffusion) {}
  const char* name;
  double seconds;
  double wet_db;  // reverberant energy over the direct sound's
  std::array<double, 4> rt60, gain;
  Walls walls;
  Diffusion diffusion;
};

inline std::vector<double> Synthesised(const Room& r, uint64_t seed, int rate) {
  irgen::RoomDesign d{};
  d.name = r.name;
  d.seed = seed;
  d.length_s = r.seconds;
  d.fade_s = 0.1;
  const double crossovers[3] = {500, 2000, 6000};
  std::copy(crossovers, crossovers + 3, d.crossover_hz);
  std::copy(r.rt60.begin(), r.rt60.end(), d.rt60_s);
  std::copy(r.gain.begin(), r.gain.end(), d.band_gain);
  d.reflections = r.walls.count;
  d.first_ms = r.walls.first_ms;
  d.early_end_ms = r.walls.end_ms;
  d.first_gain = r.walls.gain;
  d.reflection_lowpass_hz = r.walls.lowpass_hz;
  d.onset_ms = r.diffusion.onset_ms;
  d.attack_ms = r.diffusion.attack_ms;
  d.start_density = r.diffusion.density;
  d.dense_ms = r.diffusion.dense_ms;
  return irgen::Synthesise(d, rate);
}

inline PcmAudio RoomIr(const Room& r, uint64_t seed, int rate) {
  return irgen::ToPcm(Synthesised(r, seed, rate), rate, 29000, r.wet_db);
}

// Interleaved doubles as 16-bit, the largest sample at `peak`.
inline PcmAudio Scaled(const std::vector<double>& v, int channels, int rate, double peak = 29000) {
  double biggest = 0;
  for (double s : v) biggest = std::max(biggest, std::fabs(s));
  PcmAudio pcm;
  pcm.channels = channels;
  pcm.rate = rate;
  for (double s : v) pcm.samples.push_back(static_cast<int16_t>(std::lround(s * peak / biggest)));
  return pcm;
}

// An impulse through a chain of filters, per channel, faded out over the
// last tenth so that nothing is cut off short.
inline PcmAudio Filtered(double seconds, int rate, std::vector<std::vector<Biquad>> channels) {
  const size_t frames = static_cast<size_t>(seconds * rate);
  const size_t count = channels.size();
  std::vector<double> v(frames * count);
  for (size_t c = 0; c < count; ++c) {
    for (size_t n = 0; n < frames; ++n) {
      double x = n == 0 ? 1.0 : 0.0;
      for (Biquad& f : channels[c]) x = f.Run(x);
      const double left = static_cast<double>(frames - n) / (0.1 * frames);
      v[n * count + c] = x * std::min(1.0, left);
    }
  }
  return Scaled(v, static_cast<int>(count), rate);
}

// A spring: an impulse around a loop whose allpass chain smears each pass
// into a chirp, lows last; band-limited as the transducers are. Two springs
// of different lengths, one a side.
inline PcmAudio Spring(int rate) {
  const size_t frames = static_cast<size_t>(2.5 * rate);
  std::vector<double> v(2 * frames);
  for (int c = 0; c < 2; ++c) {
    const double delay = c ? 0.043 : 0.037, a = c ? 0.58 : 0.62;
    const double g = std::pow(10.0, -3 * delay / 2.2);  // -60 dB after 2.2 s
    const size_t d = static_cast<size_t>(delay * rate);
    std::vector<double> loop(frames, 0.0), state(2 * 80, 0.0);
    Biquad low(Biquad::HighPass, 90, 0.7, 0, rate), high(Biquad::LowPass, 4500, 0.9, 0, rate);
    double damp = 0;
    for (size_t n = 0; n < frames; ++n) {
      double x = (n == 0 ? 1.0 : 0.0) + (n >= d ? g * loop[n - d] : 0.0);
      for (int k = 0; k < 80; ++k) {  // first-order allpasses
        const double y = a * x + state[2 * k] - a * state[2 * k + 1];
        state[2 * k] = x;
        state[2 * k + 1] = y;
        x = y;
      }
      damp += 0.6 * (x - damp);
      loop[n] = damp;
      v[2 * n + c] = high.Run(low.Run(damp));
    }
  }
  return Scaled(v, 2, rate);
}

// Echoes of `gains` every `ms`, the first sound at full level.
inline PcmAudio Echoes(int rate, double ms, std::vector<double> gains) {
  const size_t step = static_cast<size_t>(ms * rate / 1000);
  std::vector<double> v(2 * (step * gains.size() + rate / 20), 0.0);
  v[0] = v[1] = 1.0;
  for (size_t k = 0; k < gains.size(); ++k)
    v[2 * step * (k + 1)] = v[2 * step * (k + 1) + 1] = gains[k];
  return Scaled(v, 2, rate);
}

// Two rooms of one hall, one for each input: each input's own side
// carries the direct sound, the other side its reverberation alone, 3 dB
// down. Channels LL, LR, RL, RR.
inline PcmAudio TrueStereoHall(const Room& r, int rate) {
  const PcmAudio left = RoomIr(r, 4001, rate), right = RoomIr(r, 4002, rate);
  PcmAudio pcm;
  pcm.channels = 4;
  pcm.rate = rate;
  const int64_t frames = left.Frames();
  for (int64_t n = 0; n < frames; ++n) {
    const double cross = n == 0 ? 0.0 : 0.7;
    pcm.samples.push_back(left.samples[2 * n]);
    pcm.samples.push_back(static_cast<int16_t>(cross * left.samples[2 * n + 1]));
    pcm.samples.push_back(static_cast<int16_t>(cross * right.samples[2 * n]));
    pcm.samples.push_back(right.samples[2 * n + 1]);
  }
  return pcm;
}

// Rooms: name, length, reverberant over direct energy (dB); RT60 and level
// per band; walls (count, first, last, gain, low pass); diffusion (onset,
// swell, density, dense after).
constexpr Room kRooms[] = {
    Room("room 0.3 s, bright", 0.35, 4, {0.3, 0.3, 0.28, 0.25}, {1, 1.2, 1.4, 1.5},
         {16, 2.5, 25, 9, 12000}, {3, 5, 2000, 30}),
    Room("room 0.6 s", 0.7, 6, {0.6, 0.55, 0.5, 0.4}, {2, 1.6, 1, 0.7}, {20, 3.5, 40, 11, 9000},
         {4, 10, 1500, 50}),
    Room("room 1 s, dark", 1.2, 8, {1.1, 1, 0.7, 0.4}, {3, 2, 0.8, 0.3}, {14, 8, 60, 12, 4000},
         {10, 20, 1000, 100}),
    Room("room 1.5 s, bright", 1.8, 8, {1.3, 1.5, 1.5, 1.3}, {1, 1.3, 1.6, 1.8},
         {14, 10, 70, 12, 12000}, {12, 30, 1000, 120}),
    Room("hall 2.2 s", 2.6, 10, {2.4, 2.2, 1.6, 1}, {3, 2, 1, 0.5}, {12, 20, 100, 14, 6000},
         {25, 50, 500, 160}),
    Room("hall 3 s, dark", 3.5, 12, {3.3, 3, 1.8, 0.8}, {3.5, 2, 0.6, 0.2}, {12, 25, 110, 14, 3500},
         {30, 50, 400, 180}),
    Room("church 4.5 s", 5, 14, {4.8, 4.5, 3, 1.5}, {3, 2, 1, 0.5}, {14, 14, 90, 30, 7000},
         {18, 70, 600, 250}),
    Room("cathedral 6 s, dark", 6.5, 16, {6.5, 6, 3.5, 1.5}, {3.5, 2.2, 0.7, 0.25},
         {10, 30, 150, 20, 3000}, {40, 80, 300, 300}),
    Room("hall 6 s, bright", 6.5, 14, {5.5, 6, 5.5, 4.5}, {1, 1.3, 1.7, 2},
         {12, 20, 120, 14, 14000}, {25, 40, 500, 200}),
    Room("hall 2.5 s, no direct sound", 3, 30, {2.6, 2.5, 2, 1.2}, {2.5, 2, 1, 0.5},
         {12, 20, 100, 14, 6000}, {25, 50, 500, 160}),
    Room("plate 2.5 s", 3, 10, {2, 2.4, 2.4, 2}, {1, 1.4, 1.8, 2}, {0, 0, 0, 0, 0},
         {0.1, 3, 44100, 0}),
};

// The true-stereo hall's rooms.
constexpr Room kTrueStereo("", 2.5, 10, {2.6, 2.4, 1.8, 1.1}, {3, 2, 1, 0.5},
                           {12, 18, 100, 14, 6000}, {22, 50, 500, 160});

}  // namespace bench_irs

// The room that every stream rate hears: the 2.2 s hall.
inline PcmAudio RatesIr(int rate) { return bench_irs::RoomIr(bench_irs::kRooms[4], 40, rate); }

// All of them, made at `rate`.
inline std::vector<BenchIr> LoudnessIrs(int rate) {
  using namespace bench_irs;
  using B = Biquad;
  std::vector<BenchIr> irs;
  uint64_t seed = 40;
  for (const Room& r : kRooms) irs.push_back({r.name, RoomIr(r, seed++, rate)});
  // A room recorded with one microphone.
  constexpr Room close("", 1.4, 8, {1.2, 1.2, 0.9, 0.6}, {2, 1.6, 1, 0.6}, {16, 6, 50, 10, 7000},
                       {8, 15, 1200, 80});
  PcmAudio mono = RoomIr(close, seed++, rate);
  for (size_t i = 0; i < mono.samples.size() / 2; ++i) mono.samples[i] = mono.samples[2 * i];
  mono.samples.resize(mono.samples.size() / 2);
  mono.channels = 1;
  irs.push_back({"mono room 1.2 s", mono});
  irs.push_back({"true-stereo hall 2.5 s", TrueStereoHall(kTrueStereo, rate)});
  irs.push_back({"spring", Spring(rate)});
  // A closed 4x12 guitar cabinet, one microphone: a low resonance, a
  // presence peak, nothing above 5 kHz.
  irs.push_back({"cabinet 4x12",
                 Filtered(0.1, rate,
                          {{B(B::HighPass, 80, 1.5, 0, rate), B(B::Peak, 110, 1.2, 4, rate),
                            B(B::Peak, 2800, 1.5, 5, rate), B(B::LowPass, 4500, 0.54, 0, rate),
                            B(B::LowPass, 4500, 1.31, 0, rate)}})});
  // An open 1x8 combo, two microphones: thin, a honk at 1 kHz and a
  // cone break-up notch, the second microphone darker.
  std::vector<B> combo = {B(B::HighPass, 130, 1, 0, rate), B(B::Peak, 1000, 1, 6, rate),
                          B(B::Peak, 1800, 4, -8, rate), B(B::LowPass, 3200, 0.9, 0, rate),
                          B(B::LowPass, 3200, 0.9, 0, rate)};
  std::vector<B> darker = combo;
  darker.push_back(B(B::LowPass, 1800, 0.7, 0, rate));
  irs.push_back({"cabinet 1x8", Filtered(0.08, rate, {combo, darker})});
  // 300 Hz to 3.4 kHz, fourth-order Butterworth edges.
  const std::vector<B> phone = {
      B(B::HighPass, 300, 0.54, 0, rate), B(B::HighPass, 300, 1.31, 0, rate),
      B(B::LowPass, 3400, 0.54, 0, rate), B(B::LowPass, 3400, 1.31, 0, rate)};
  irs.push_back({"telephone band", Filtered(0.05, rate, {phone, phone})});
  const std::vector<B> bass = {B(B::LowShelf, 150, 0.7, 12, rate)};
  irs.push_back({"bass shelf +12 dB", Filtered(0.2, rate, {bass, bass})});
  const std::vector<B> treble = {B(B::HighShelf, 3000, 0.7, 12, rate)};
  irs.push_back({"treble shelf +12 dB", Filtered(0.05, rate, {treble, treble})});
  PcmAudio dirac;
  dirac.channels = 2;
  dirac.rate = rate;
  dirac.samples.assign(2 * 64, 0);
  dirac.samples[0] = dirac.samples[1] = 32767;
  irs.push_back({"Dirac", dirac});
  irs.push_back({"echo 120 ms", Echoes(rate, 120, {0.6, 0.36, 0.22, 0.13, 0.08})});
  irs.push_back({"slapback 85 ms", Echoes(rate, 85, {0.7})});
  return irs;
}
