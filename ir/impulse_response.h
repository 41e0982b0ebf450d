// SPDX-License-Identifier: GPL-2.0-or-later
// Loading an IR's samples into its spectrum, with its spectral peak and the
// power envelope that the graph draws.
#pragma once

#include <fftw3.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "engine/memory.h"
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

// Reads `frames` frames (0 <= frames <= n / 2) from the file, already past
// its header, into `target` (targetChannels arrays of n doubles, allocated
// here) as halfcomplex spectra of n points scaled by 1/(32768 n), transformed
// with `forward` (an r2c plan of n points for fftw_malloc'ed arrays), and
// analyses them, the graph's time axis at `rate`. False when an allocation
// fails; the target is then empty.
bool LoadImpulseResponse(std::FILE* file, int32_t frames, int32_t targetChannels,
                         int32_t fileChannels, int32_t rate, int32_t n, fftw_plan forward,
                         ChannelPair* target, IrAnalysis* analysis);
