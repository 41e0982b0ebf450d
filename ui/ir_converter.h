// SPDX-License-Identifier: GPL-2.0-or-later
// Converting an IR file that Load refused into one the plug-in reads: the
// IR tool beside the DLL, run hidden from a thread of its own, so that
// neither the audio nor the window waits for it.
#pragma once

#include <windows.h>

#include <cstdint>

#include "settings/settings.h"

// What the IR tool read of a file.
struct ToolRead {
  int32_t rate;
  int32_t channels;
  int64_t frames;
};

// How a job ended.
enum class Conversion : int32_t {
  Convertible,  // asked: the tool reads the file and converts it as it is
  Converted,    // the copy is in the IR folder
  Unreadable,   // the tool cannot read the file
  NotAsItIs,    // read, but not convertible as it is; `why` says why
  NoTool,       // no qlv_irtool.exe beside the DLL, or it did not start
  NoRoom,       // the disk has no room for the copy
  CannotWrite,  // the IR folder takes no new file
  Refused,      // the tool refused it; `why` says why in its words
  Stopped,      // ended by EndConversion before its end
};

struct ConversionResult {
  Conversion outcome;
  ToolRead read;          // what the tool read
  char copy[kPathChars];  // Converted: the copy's path
  char why[80];           // Refused: the tool's reason, cut short; NotAsItIs: ours
};

// After ending any job under way, starts one for `file` on a thread of its
// own: asks the tool whether it converts the file as it is, and with
// `convert` then converts it into a 16-bit copy at its own rate in the IR
// folder beside the DLL. A conversion that `known` says the tool read
// (a rate not 0) does not ask again. As the job ends, `message` is posted
// to `window` with its number (never 0) in wParam. Returns that number; 0
// when no thread could start.
WPARAM StartConversion(HWND window, UINT message, const char* file, bool convert,
                       const ToolRead& known);

// The result of the job whose message came.
const ConversionResult& ConversionEnded();

// Stops a job under way (its process ended, what it wrote removed) and
// waits for its thread; after a job's message, lets its thread go.
void EndConversion();

// From StartConversion until EndConversion: for tests.
bool ConversionUnderWay();
