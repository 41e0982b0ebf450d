// SPDX-License-Identifier: GPL-2.0-or-later
// Converting an audio file in any common form into an IR the plug-in
// reads: 16-bit PCM WAV, mono or stereo, at the player's rate.
#pragma once

#include <cstdio>
#include <string>

struct ConvertOptions {
  int rate = 44100;      // Hz of the output
  std::string outDir;    // where <name>.wav goes
  int pick[2] = {0, 0};  // 1-based channels to keep; 0: keep mono or stereo as they are
  bool force = false;    // replace an existing output file
};

// Where the IR converted from `input` goes: <name>.wav in outDir, with the
// characters the plug-in cannot open replaced.
std::string OutputPath(const std::string& input, const std::string& outDir);

// Converts one file, printing what it read and wrote, or one line that
// names the file and says why not. Returns a ToolStatus; `written` gets
// the output's path when one was written.
int ConvertIr(const std::string& input, const ConvertOptions& options, std::FILE* out,
              std::string* written);
