// SPDX-License-Identifier: GPL-2.0-or-later
// Loading an IR's samples into its spectrum, with its spectral peak and the
// power envelope that the graph draws.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "engine/engine.h"

constexpr int kGraphBins = 181;     // time bins over the IR's first four seconds
constexpr int32_t kNoPoint = 1000;  // IrGraph value of a bin with no point

// Pixel row (0 top .. 56 bottom) of each bin's point, or kNoPoint. Read by
// the graph without the lock, so each entry moves whole.
extern std::atomic<int32_t> IrGraph[kGraphBins];

void ClearIrGraph();

// Reads `frames` frames (0 <= frames <= BlockLength) from the file, already
// past its header, into `target` (allocated here with targetChannels arrays
// of FftLength doubles) as halfcomplex spectra scaled by 1/(32768 N); sets
// Engine.PeakMagnitude and IrGraph. Needs Engine.FftLength and ForwardPlan.
// 1 on success, 0 when an allocation fails.
int LoadImpulseResponse(ChannelPair* target, std::FILE* file, int32_t frames,
                        int32_t targetChannels, int32_t fileChannels);
