// SPDX-License-Identifier: GPL-2.0-or-later
// RunIrTool: the command line of qlv_irtool and what each verb does.
#include "tools/irtool/irtool.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tools/irtool/convert.h"
#include "tools/irtool/files.h"
#include "tools/irtool/tune.h"

const char kIrFolder[] = "Impulse Responses";

namespace {

const char kUsage[] =
    "usage: qlv_irtool convert FILE... [--rate HZ] [--out DIR] [--channels A,B] [--force]\n"
    "       qlv_irtool tune [IR.wav ...] [--seconds S]\n"
    "       qlv_irtool FILE...   (files dropped on the program: convert)\n"
    "       qlv_irtool           (a double click: tune)\n"
    "\n"
    "convert  reads WAV (8 to 32-bit PCM, float, extensible, RF64, W64), AIFF, CAF\n"
    "         and more, and writes 16-bit PCM WAV at HZ (default 44100) into DIR\n"
    "         (default: \"Impulse Responses\" beside this program); then tunes for it.\n"
    "         --channels A,B keeps channels A and B (from 1) of a file with more\n"
    "         than two; --force replaces existing files.\n"
    "tune     plans the plug-in's FFTs for these IRs (default: every WAV in\n"
    "         \"Impulse Responses\" and in plugin.ini's IRDir, and its IRFile, each\n"
    "         also with the IR size limit and the low-latency engine when those\n"
    "         are on), in at most S seconds (default 120), into dsp_qlv3.dat\n"
    "         beside this program.\n";

int Usage(std::FILE* out, const std::string& problem) {
  Say(out, "qlv_irtool: %s\n%s", problem.c_str(), kUsage);
  return kStatusUsage;
}

// A whole number, all of the text; false otherwise.
bool ParseInt(const char* text, long low, long high, int* value) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (end == text || *end || v < low || v > high) return false;
  *value = static_cast<int>(v);
  return true;
}

struct CommandLine {
  std::string verb;
  std::vector<std::string> files;
  ConvertOptions convert;
  double seconds = 120;
};

// Empty on success, else what is wrong.
std::string Parse(int argc, char** argv, CommandLine* line) {
  // Nothing given (a double click): tune for what the plug-in may load.
  if (argc < 2) {
    line->verb = "tune";
    return "";
  }
  int i = 1;
  line->verb = IsVerb(argv[1]) ? argv[i++] : "convert";
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    const bool converting = line->verb == "convert";
    if (arg == "--force" && converting) {
      line->convert.force = true;
      continue;
    }
    if (arg == "--help") {
      line->verb = "help";
      return "";
    }
    if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      line->files.push_back(arg);
      continue;
    }
    if (!value) return arg + " needs a value";
    ++i;
    if (arg == "--rate" && converting) {
      if (!ParseInt(value, 1000, 768000, &line->convert.rate))
        return "--rate takes 1000 to 768000 Hz";
    } else if (arg == "--out" && converting) {
      line->convert.outDir = value;
    } else if (arg == "--channels" && converting) {
      const char* comma = std::strchr(value, ',');
      int* pick = line->convert.pick;
      if (!comma || !ParseInt(std::string(value, comma).c_str(), 1, 65535, &pick[0]) ||
          !ParseInt(comma + 1, 1, 65535, &pick[1])) {
        return "--channels takes two channel numbers from 1, such as 1,2";
      }
    } else if (arg == "--seconds" && line->verb == "tune") {
      char* end = nullptr;
      line->seconds = std::strtod(value, &end);
      if (end == value || *end || !(line->seconds > 0 && line->seconds < 1e6)) {
        return "--seconds takes a positive number";
      }
    } else {
      return "unknown option " + arg + " for " + line->verb;
    }
  }
  if (line->verb == "convert" && line->files.empty()) return "no files to convert";
  return "";
}

// With no IR named: what the plug-in may load, as plugin.ini says.
std::vector<std::string> PluginIrs(const ToolContext& context) {
  std::vector<std::string> irs = WavFilesIn(JoinPath(context.programDir, kIrFolder));
  if (!context.irDir.empty()) {
    for (auto& ir : WavFilesIn(context.irDir)) irs.push_back(ir);
  }
  if (!context.irFile.empty()) irs.push_back(context.irFile);
  std::vector<std::string> distinct;
  for (auto& ir : irs) {
    if (std::find(distinct.begin(), distinct.end(), ir) == distinct.end()) distinct.push_back(ir);
  }
  return distinct;
}

int RunTune(const CommandLine& line, const ToolContext& context, std::vector<std::string> irs,
            bool named) {
  TuneRequest request;
  request.irs = std::move(irs);
  request.current = context.irFile;
  request.named = named;
  request.limitOn = context.limitOn;
  request.limitMs = context.limitMs;
  request.lowLatency = context.lowLatency;
  request.seconds = line.seconds;
  request.wisdomPath = context.wisdomPath;
  return Tune(request, context.out);
}

}  // namespace

void Say(std::FILE* out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(out, format, args);
  va_end(args);
  std::fflush(out);
}

bool IsVerb(const char* word) {
  return std::strcmp(word, "convert") == 0 || std::strcmp(word, "tune") == 0;
}

int RunIrTool(int argc, char** argv, const ToolContext& context) {
  CommandLine line;
  const std::string problem = Parse(argc, argv, &line);
  if (!problem.empty()) return Usage(context.out, problem);
  if (line.verb == "help") {
    Say(context.out, "%s", kUsage);
    return kStatusOk;
  }
  if (line.verb == "tune") {
    const bool named = !line.files.empty();
    return RunTune(line, context, named ? line.files : PluginIrs(context), named);
  }
  if (line.convert.outDir.empty()) line.convert.outDir = JoinPath(context.programDir, kIrFolder);
  int status = kStatusOk;
  std::vector<std::string> written;
  for (const std::string& file : line.files) {
    std::string output;
    status = std::max(status, ConvertIr(file, line.convert, context.out, &output));
    if (!output.empty()) written.push_back(output);
  }
  if (!written.empty() && !context.wisdomPath.empty()) {
    status = std::max(status, RunTune(line, context, written, true));
  }
  return status;
}
