// SPDX-License-Identifier: GPL-2.0-or-later
// Converting an audio file in any common form into an IR the plug-in
// reads: 16-bit PCM WAV, mono, stereo or true stereo (four channels), at
// the player's rate; and joining a speaker pair into one true-stereo IR.
#pragma once

#include <cstdio>
#include <string>

struct ConvertOptions {
  int rate = 44100;      // Hz of the output
  std::string outDir;    // where <name>.wav goes
  int pick[2] = {0, 0};  // 1-based channels to keep; 0: keep 1, 2 or 4 as they are
  bool force = false;    // replace an existing output file
  bool pair = false;     // two stereo files, the left speaker's and the right's, joined
};

// Where the IR converted from `input` goes: <name>.wav in outDir, with the
// characters the plug-in cannot open replaced.
std::string OutputPath(const std::string& input, const std::string& outDir);

// Converts one file, printing what it read and wrote, or one line that
// names the file and says why not. Returns a ToolStatus; `written` gets
// the output's path when one was written.
int ConvertIr(const std::string& input, const ConvertOptions& options, std::FILE* out,
              std::string* written);

// Where the IR joined from `left` and `right` goes: the two names' common
// beginning (whole characters, without trailing spaces, '-', '_' and '.'),
// or left's name when they share nothing, as <name>.wav in outDir.
std::string PairOutputPath(const std::string& left, const std::string& right,
                           const std::string& outDir);

// Joins two stereo files of one rate into a four-channel IR: LL and LR from
// `left` (the left speaker at both ears), RL and RR from `right`, one gain
// for all four, the shorter padded with silence. Refused, even with force,
// when both name one file or the output would be one of them. As ConvertIr
// otherwise.
int ConvertPair(const std::string& left, const std::string& right, const ConvertOptions& options,
                std::FILE* out, std::string* written);
