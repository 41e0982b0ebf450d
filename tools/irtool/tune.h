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
  double seconds = 120;      // for all the planning
  double reportSeconds = 1;  // between progress reports while a length plans
  std::string wisdomPath;
};

// What tuning needs around it, so that tests can stand in for the clock
// and for FFTW's planner.
class TunePlanner {
 public:
  virtual ~TunePlanner() = default;
  virtual double Now() = 0;           // seconds on a steady clock
  virtual bool Fits(int32_t n) = 0;   // the arrays for length n's plans can be had
  virtual bool Known(int32_t n) = 0;  // the wisdom holds both measured plans
  // Plans both with FFTW_MEASURE, each given `limit` s (FFTW may overrun
  // it, and out of time keeps no measured plan). False: no memory for them.
  virtual bool Measure(int32_t n, double limit) = 0;
  // Measures as that from no wisdom, leaving the wisdom as it was: a time
  // that says how fast this computer plans.
  virtual void Probe(int32_t n, double limit) = 0;
};

// Plans each distinct length, those of the current IR first (the one in
// use first of all), then the others shortest first: a length already in
// the wisdom costs nothing, and one whose estimated planning time exceeds
// the time left is skipped, so that the next ones still get their turn.
// Then writes old and new wisdom to wisdomPath through a temporary file.
// Prints a line per length, and progress while one plans: redrawn in place
// on a console, else as whole lines. Returns a ToolStatus. Without a
// planner, FFTW's.
int Tune(const TuneRequest& request, std::FILE* out, TunePlanner* planner = nullptr);
