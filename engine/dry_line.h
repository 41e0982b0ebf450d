// SPDX-License-Identifier: GPL-2.0-or-later
// The dry: one delay line of the host's samples per stream channel, in the
// engine's units, before gain and routing. It belongs to the stream, not to
// an engine: restarts and swaps leave it as it is, and each engine reads it
// as late as its own latency.
#pragma once

#include <cstdint>

struct DryLine {
  float* Data[2];    // per stream channel, Length frames; a ring
  int32_t Channels;  // the stream's: 1 or 2; 0 before any stream
  int32_t Length;    // frames held: the longest latency prepared for the stream
  int32_t Pos;       // where the next frame goes
  int64_t Written;   // frames taken since the line began: it holds the last Length of them
};

// A zero-filled line (none with length 0); false, with nothing allocated,
// when memory fails.
bool AllocDryLine(DryLine* line, int32_t channels, int32_t length);
void FreeDryLine(DryLine* line);  // a second call does nothing

// Puts what `from` holds into the longer, empty `to`, so that each frame
// lies as far behind the next write as before; older frames read as silence.
// `to` has taken as many frames as `from`.
void CarryDryLine(const DryLine& from, DryLine* to);

// Takes `frames` interleaved frames of the line's channel count, `bits` 8, 16
// or 24 per sample, into the line: the stream while no engine plays.
void KeepDry(DryLine* line, const void* samples, int32_t frames, int32_t bits);

int64_t DryLineBytes(const DryLine& line);

// Where frame `frame` of the stream lies in the line (it must be one of the
// last Length taken), and how many frames from there on lie in one piece.
int32_t DryLineSlot(const DryLine& line, int64_t frame);
