// SPDX-License-Identifier: GPL-2.0-or-later
// Tuning: FFTW_MEASURE plans for the transform lengths the plug-in will use,
// merged into the wisdom file it imports at start-up.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct TuneRequest {
  std::vector<std::string> irs;  // IR files the plug-in may load
  std::string current;           // the one it loads now (plugin.ini's IRFile), if among them
  bool named = true;             // false: gathered, so unusable ones are only noted
  int32_t limitOn = 0;           // plugin.ini's IRLimitEn, IRLimit, LowLatency and ResampleIR
  int32_t limitMs = 4000;
  int32_t lowLatency = 0;
  int32_t resampleIr = 0;
  double seconds = 120;  // for all the planning
  std::string wisdomPath;
};

// Plans each distinct length, those of the current IR first (the one in
// use first of all), then the others shortest first, until the time is
// spent; then writes old and new wisdom to wisdomPath through a temporary
// file. Prints a line per length. Returns a ToolStatus.
int Tune(const TuneRequest& request, std::FILE* out);
