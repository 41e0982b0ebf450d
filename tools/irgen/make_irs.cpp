// SPDX-License-Identifier: GPL-2.0-or-later
// make_irs OUTDIR: writes the impulse responses shipped with the plug-in
// (Chapel, Small Room, Large Hall, Plate), the same bytes on every run.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "tools/irgen/ir_synth.h"
#include "tools/wav_io.h"

namespace {

constexpr int kRate = 44100;
constexpr double kPeak = 29000;       // about -1 dBFS, on the direct sound
constexpr double kWetToDirectDb = 8;  // same total energy for every room

// Every room splits its tail at 500 Hz, 2 kHz and 6 kHz.
irgen::RoomDesign Room(const char* name, uint64_t seed, double seconds,
                       std::initializer_list<double> rt60, std::initializer_list<double> gain) {
  irgen::RoomDesign room{};
  room.name = name;
  room.seed = seed;
  room.length_s = seconds;
  room.fade_s = 0.1;
  const double crossovers[] = {500, 2000, 6000};
  std::copy(std::begin(crossovers), std::end(crossovers), room.crossover_hz);
  std::copy(rt60.begin(), rt60.end(), room.rt60_s);
  std::copy(gain.begin(), gain.end(), room.band_gain);
  return room;
}

void Walls(irgen::RoomDesign* room, int count, double first_ms, double end_ms, double gain,
           double lowpass_hz) {
  room->reflections = count;
  room->first_ms = first_ms;
  room->early_end_ms = end_ms;
  room->first_gain = gain;
  room->reflection_lowpass_hz = lowpass_hz;
}

void Diffusion(irgen::RoomDesign* room, double onset_ms, double attack_ms, double start_density,
               double dense_ms) {
  room->onset_ms = onset_ms;
  room->attack_ms = attack_ms;
  room->start_density = start_density;
  room->dense_ms = dense_ms;
}

std::vector<irgen::RoomDesign> Rooms() {
  // Stone: long and dark, a slow swell of echoes after a few clear walls.
  irgen::RoomDesign chapel =
      Room("Chapel", 0x43686170656C, 4.5, {3.9, 3.5, 2.4, 1.3}, {3.0, 2.0, 1.0, 0.5});
  Walls(&chapel, 14, 14, 90, 30, 7000);
  Diffusion(&chapel, 18, 70, 600, 250);
  // Close walls: strong reflections, dense within 50 ms, gone in half a second.
  irgen::RoomDesign small =
      Room("Small Room", 0x536D616C6C, 0.6, {0.45, 0.42, 0.36, 0.28}, {2.5, 1.8, 1.0, 0.6});
  Walls(&small, 20, 3.5, 40, 11, 9000);
  Diffusion(&small, 4, 10, 1500, 50);
  // 25 ms before the first wall answers, warm because the highs die first.
  irgen::RoomDesign hall =
      Room("Large Hall", 0x48616C6C, 3.0, {2.5, 2.25, 1.6, 0.95}, {3.2, 2.0, 0.9, 0.4});
  Walls(&hall, 12, 25, 110, 14, 5000);
  Diffusion(&hall, 30, 50, 400, 180);
  // Metal plate: no walls, dense at once, bright and nearly even in decay.
  irgen::RoomDesign plate =
      Room("Plate", 0x506C617465, 2.5, {1.6, 1.9, 1.9, 1.7}, {2.2, 1.7, 1.3, 1.0});
  Diffusion(&plate, 0.1, 3, kRate, 0);
  return {chapel, small, hall, plate};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_irs OUTDIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  for (const irgen::RoomDesign& room : Rooms()) {
    const PcmAudio pcm = irgen::ToPcm(irgen::Synthesise(room, kRate), kRate, kPeak, kWetToDirectDb);
    const std::string path = dir + "/" + room.name + ".wav";
    if (!WritePcm16(path, pcm)) {
      std::fprintf(stderr, "make_irs: cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
