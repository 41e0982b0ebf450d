// SPDX-License-Identifier: GPL-2.0-or-later
// Loading an IR's samples into its spectrum, with its spectral peak and the
// power envelope that the graph draws.
#pragma once

#include <fftw3.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "base/memory.h"
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

// An IR converted to the stream's rate: interleaved samples in 16-bit units
// (full scale 32768); Frames is the converter's own output count.
struct ResampledIr {
  float* Samples;  // null when nothing was converted
  int64_t Frames;
};

// Whether an IR recorded at fileRate is converted for a stream at
// streamRate: both positive, different, and within the converter's ratios
// (1/256 to 256).
bool NeedsResampling(int64_t fileRate, int64_t streamRate);

// Reads `frames` frames of `channels` 16-bit channels from the file, already
// past its header (what a short file does not hold reads as zero), and
// converts them from fileRate to streamRate, scaled by fileRate / streamRate
// so that the room's frequency response keeps its level. False when memory
// fails or the converter refuses; `out` is then empty.
bool ResampleIr(std::FILE* file, int64_t frames, int32_t channels, int32_t fileRate,
                int32_t streamRate, ResampledIr* out);
void FreeResampledIr(ResampledIr* ir);

// The longest IR a conversion keeps, in frames (60 s at 44.1 kHz): beyond
// it the converted IR is cut.
constexpr int64_t kMaxConvertedFrames = 2646000;

// The frames the plug-in keeps of such an IR at streamRate: the converter's
// own count from ResampleIr, cut at kMaxConvertedFrames, or `frames` when it
// needs no conversion. False when it cannot be converted. The file is read
// from where it stands.
bool ResampledFrames(std::FILE* file, int64_t frames, int32_t channels, int32_t fileRate,
                     int32_t streamRate, int64_t* kept);

// Reads `frames` frames (0 <= frames <= n / 2) of `fileChannels` channels
// (1, 2, or 4 for a true-stereo room: LL, LR, RL, RR) from `converted` when
// it is not null, else from the file, already past its header, into
// `targetChannels` spectra: 1 and 2 in `target`; 4 as the direct paths (LL,
// RR) in `target` and the cross paths into each output (RL, LR) in `cross`.
// Fewer than the file has are what a mono source feeding every input meets:
// (L + R) / 2 of a stereo file, (LL + RL, LR + RR) or (LL + LR + RL + RR) / 2
// of a true-stereo one. Each spectrum is halfcomplex of n points scaled by
// 1/(32768 n), transformed with `forward` (an r2c plan of n points for
// fftw_malloc'ed arrays); the analysis takes its peak over all of them and
// the graph's time axis at `rate`. False when an allocation fails; target
// and cross are then empty.
bool LoadImpulseResponse(std::FILE* file, const float* converted, int32_t frames,
                         int32_t targetChannels, int32_t fileChannels, int32_t rate, int32_t n,
                         fftw_plan forward, ChannelPair* target, ChannelPair* cross,
                         IrAnalysis* analysis);
