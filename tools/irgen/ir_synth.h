// SPDX-License-Identifier: GPL-2.0-or-later
// Synthetic stereo impulse responses: direct sound, discrete early
// reflections and a diffuse tail whose decay time differs per frequency band.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/wav_io.h"

namespace irgen {

constexpr int kBands = 4;

struct RoomDesign {
  std::string name;  // file name without ".wav"
  uint64_t seed;
  double length_s;
  double fade_s;  // linear fade to zero at the end

  // The tail: bands split at the crossovers, each with its own RT60 and level.
  double crossover_hz[kBands - 1];
  double rt60_s[kBands];
  double band_gain[kBands];

  // Discrete reflections per channel, between first_ms and early_end_ms and
  // closer together towards the end; gains in units of the tail's noise.
  int reflections;
  double first_ms;
  double early_end_ms;
  double first_gain;
  double reflection_lowpass_hz;

  // The diffuse part starts at onset_ms, swells in over attack_ms, and its
  // echo density grows from start_density per second to every sample at
  // dense_ms after the onset.
  double onset_ms;
  double attack_ms;
  double start_density;
  double dense_ms;
};

// The response before scaling: frame 0 holds the direct sound (1.0 in both
// channels), everything else is the reverberant part. Interleaved stereo.
std::vector<double> Synthesise(const RoomDesign& room, int rate);

// 16-bit stereo with the direct sound at `peak` and the reverberant part
// scaled to `wet_to_direct_db` more energy than it, so that all rooms have
// the same total energy. The whole is scaled down if a reflection would
// exceed the direct sound.
PcmAudio ToPcm(const std::vector<double>& response, int rate, double peak, double wet_to_direct_db);

}  // namespace irgen
