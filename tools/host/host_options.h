// SPDX-License-Identifier: GPL-2.0-or-later
// The command line of qlv_host.
#pragma once

#include <cstdint>
#include <string>

enum class HostMode { kPlay, kPrefs, kConfigOnly };

struct HostOptions {
  std::string plugin, input, output;
  HostMode mode = HostMode::kPlay;
  int module = 0;
  int buffer = 576;
  bool randomBuffers = false;
  uint32_t seed = 0;
  bool realtime = false;
  double seconds = 10;  // generated input when no input file is named
  int bits = 16;        // passed to ModifySamples
  int channels = -1;    // -1: the stream's own
  int rate = -1;        // -1: the file's own
  int rateFrom = -1;    // --rate-from: the rate passed from rateFromMs of audio on; -1: none
  int rateFromMs = 0;
  bool changeChannels = false;
  bool configAfterInit = false;
  bool nullParent = false;
  bool hiddenParent = false;
  bool postQuit = false;
  bool freeWithoutQuit = false;
  int misalign = 0;
  int closeWindowMs = -1;  // -1: never
  struct Click {
    int control, ms;
    bool drag;  // a slider dragged from one end to the other, not a button clicked
  };
  Click clicks[8] = {};  // --click, --drag: the plug-in window's controls, while streaming
  int clickCount = 0;
  std::string copyFrom, copyTo;  // --copy-file: a file copied over another while streaming
  int copyMs = -1;
  int waitMs = 0;
  int holdMs = 0;
  int cycles = 1;
  int timeoutMs = 10000;
  bool help = false;
};

// False with a one-line reason in *error.
bool ParseHostOptions(int argc, char** argv, HostOptions* options, std::string* error);

const char* HostUsage();
