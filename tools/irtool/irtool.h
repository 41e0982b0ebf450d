// SPDX-License-Identifier: GPL-2.0-or-later
// qlv_irtool's command line, portable: convert IRs into the plug-in's
// format, and tune the plug-in's FFT plans for the IRs it will load.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Exit statuses; when several things fail, the highest is returned.
enum ToolStatus : int {
  kStatusOk = 0,
  kStatusUsage = 1,         // the command line is wrong
  kStatusBadInput = 2,      // an input file was refused
  kStatusOutputExists = 3,  // an output file exists and --force was not given
  kStatusCannotWrite = 4,   // an output file or dsp_qlv3.dat could not be written
};

// What the program knows of its surroundings.
struct ToolContext {
  std::string programDir;  // the plug-in folder: "Impulse Responses", dsp_qlv3.dat
  std::string wisdomPath;  // where tuning goes; empty: no tuning
  std::string irFile;      // plugin.ini's IRFile, IRDir, IRLimitEn, IRLimit and LowLatency
  std::string irDir;
  int32_t limitOn = 0;
  int32_t limitMs = 4000;
  int32_t lowLatency = 0;
  int32_t resampleIr = 0;
  std::FILE* out = stdout;  // every line the tool prints
};

extern const char kIrFolder[];  // "Impulse Responses"

// True when `word` is one of the tool's verbs.
bool IsVerb(const char* word);

// Runs the command line; argv[0] is the program. With no verb the
// arguments are files to convert, as when files are dropped on it.
int RunIrTool(int argc, char** argv, const ToolContext& context);

// printf to `out`, flushed at once so that lines keep their order with
// whatever else writes to the console or log.
void Say(std::FILE* out, const char* format, ...) __attribute__((format(gnu_printf, 2, 3)));
