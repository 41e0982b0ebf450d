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
    "                                  [--seconds S]\n"
    "       qlv_irtool convert --pair LEFT RIGHT [--rate HZ] [--out DIR] [--force]\n"
    "                                            [--seconds S]\n"
    "       qlv_irtool tune [IR.wav ...] [--seconds S]\n"
    "       qlv_irtool FILE...   (files dropped on the program: convert)\n"
    "       qlv_irtool           (a double click: tune)\n"
    "       qlv_irtool -h        (or --help, /?: this text)\n"
    "\n"
    "convert  reads WAV (8 to 32-bit PCM, float, extensible, RF64, W64), AIFF, CAF\n"
    "         and more, and writes 16-bit PCM WAV at HZ (default 44100) into DIR\n"
    "         (default: \"Impulse Responses\" beside this program); then tunes for it.\n"
    "         Four channels are a true-stereo room (LL, LR, RL, RR) and are kept.\n"
    "         --channels A,B keeps channels A and B (from 1) of a file with more\n"
    "         than two; --force replaces existing files; --seconds as for tune.\n"
    "         --pair joins two stereo files of one rate, recorded from the left and\n"
    "         the right speaker, into one true-stereo IR named as their names begin\n"
    "         (\"Hall L.wav\" and \"Hall R.wav\" give \"Hall.wav\"), at one gain.\n"
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
    if (arg == "-h" || arg == "--help" || arg == "/?") {
      line->verb = "help";
      return "";
    }
    const bool converting = line->verb == "convert";
    if (arg == "--force" && converting) {
      line->convert.force = true;
      continue;
    }
    if (arg == "--pair" && converting) {
      line->convert.pair = true;
      continue;
    }
    if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      line->files.push_back(arg);
      continue;
    }
    const bool known = arg == "--seconds" ||
                       (converting && (arg == "--rate" || arg == "--out" || arg == "--channels"));
    if (!known) return "unknown option " + arg + " for " + line->verb;
    if (i + 1 >= argc) return arg + " needs a value";
    const char* value = argv[++i];
    if (arg == "--rate") {
      if (!ParseInt(value, 1000, 768000, &line->convert.rate))
        return "--rate takes 1000 to 768000 Hz";
    } else if (arg == "--out") {
      line->convert.outDir = value;
    } else if (arg == "--channels") {
      const char* comma = std::strchr(value, ',');
      int* pick = line->convert.pick;
      if (!comma || !ParseInt(std::string(value, comma).c_str(), 1, 65535, &pick[0]) ||
          !ParseInt(comma + 1, 1, 65535, &pick[1])) {
        return "--channels takes two channel numbers from 1, such as 1,2";
      }
    } else {
      char* end = nullptr;
      line->seconds = std::strtod(value, &end);
      if (end == value || *end || !(line->seconds > 0 && line->seconds < 1e6)) {
        return "--seconds takes a positive number";
      }
    }
  }
  if (line->verb == "convert" && line->files.empty()) return "no files to convert";
  if (line->convert.pair && line->files.size() != 2) return "--pair joins exactly two files";
  if (line->convert.pair && line->convert.pick[0]) return "--pair takes no --channels";
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

// The plug-in keeps its paths in the ANSI code page.
void NoteFolder(std::FILE* out, const std::string& folder) {
  if (PluginCanOpen(folder)) return;
  Say(out,
      "Note: the plug-in cannot open files in %s: its name has characters outside the "
      "ANSI code page, in which the plug-in keeps its paths.\n",
      folder.c_str());
}

int RunTune(const CommandLine& line, const ToolContext& context, std::vector<std::string> irs,
            bool named) {
  NoteFolder(context.out, context.programDir);
  TuneRequest request;
  request.irs = std::move(irs);
  request.current = context.irFile;
  request.named = named;
  request.limitOn = context.limitOn;
  request.limitMs = context.limitMs;
  request.lowLatency = context.lowLatency;
  request.resampleIr = context.resampleIr;
  request.seconds = line.seconds;
  request.wisdomPath = context.wisdomPath;
  return Tune(request, context.out);
}

}  // namespace

void Say(std::FILE* out, const char* format, ...) {
  va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  std::string text(std::max(n, 0), '\0');
  if (n > 0) std::vsnprintf(&text[0], text.size() + 1, format, again);
  va_end(again);
  va_end(args);
  Print(out, text);
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
  NoteFolder(context.out, line.convert.outDir);
  int status = kStatusOk;
  std::vector<std::string> written, from;  // outputs, and the inputs they came from
  if (line.convert.pair) {
    std::string output;
    status = ConvertPair(line.files[0], line.files[1], line.convert, context.out, &output);
    if (!output.empty()) written.push_back(output);
  } else {
    for (const std::string& file : line.files) {
      // Two inputs named alike would give one output: the first keeps it.
      const std::string dest = OutputPath(file, line.convert.outDir);
      const auto same = std::find_if(written.begin(), written.end(), [&](const std::string& w) {
        return FoldCase(w) == FoldCase(dest);
      });
      if (same != written.end()) {
        Say(context.out, "%s: not converted: its output %s is that of %s, converted before it\n",
            file.c_str(), dest.c_str(), from[same - written.begin()].c_str());
        status = std::max<int>(status, kStatusOutputExists);
        continue;
      }
      std::string output;
      status = std::max(status, ConvertIr(file, line.convert, context.out, &output));
      if (!output.empty()) {
        written.push_back(output);
        from.push_back(file);
      }
    }
  }
  if (!written.empty() && !context.wisdomPath.empty()) {
    status = std::max(status, RunTune(line, context, written, true));
  }
  return status;
}
