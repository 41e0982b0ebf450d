// SPDX-License-Identifier: GPL-2.0-or-later
// Loading an IR's samples into its spectrum, with its spectral peak and the
// power envelope that the graph draws.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "engine/engine.h"
#include "ir/graph_geometry.h"

// Pixel row (0 top .. kGraphLastRow bottom) of each bin's point, or kNoPoint,
// as the last load published it. Read by the graph without the lock, so each
// entry moves whole.
extern std::atomic<int32_t> IrGraph[kGraphBins];

void ClearIrGraph();
void PublishIrGraph(const int32_t rows[kGraphBins]);

// What loading an IR finds besides its spectra.
struct IrAnalysis {
  double PeakMagnitude;       // the IR's peak gain over frequency
  int32_t Graph[kGraphBins];  // pixel row of each bin's point, or kNoPoint
};

// Reads `frames` frames (0 <= frames <= BlockLength) from the file, already
// past its header, into `target` (allocated here with targetChannels arrays
// of FftLength doubles) as halfcomplex spectra scaled by 1/(32768 N), and
// analyses them, the graph's time axis at `rate`. Needs Engine.FftLength and
// ForwardPlan. 1 on success, 0 when an allocation fails.
int LoadImpulseResponse(ChannelPair* target, std::FILE* file, int32_t frames,
                        int32_t targetChannels, int32_t fileChannels, int32_t rate,
                        IrAnalysis* analysis);
