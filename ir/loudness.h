// SPDX-License-Identifier: GPL-2.0-or-later
// The loudness match: BS.1770's K-weighting, a stream's long-term
// K-weighted power spectrum (the music's own, or pink), an IR's power
// response per path, and the gain that gives the wet the music's
// K-weighted power.
#pragma once

#include <fftw3.h>

#include <cstdint>

// The reference's bins: the first kLoudnessBins of a transform of
// ReferenceFft(rate) frames, about 11 Hz apart at any rate (up to 24 kHz
// above 48 kHz), so that the bass is resolved alike at every rate.
constexpr int32_t kLoudnessFft = 4096;
constexpr int32_t kLoudnessBins = kLoudnessFft / 2 + 1;
int32_t ReferenceFft(int32_t rate);

// K-weighting's power gain at `hz` for a stream at `rate`.
double KWeightPower(double hz, double rate);

// A stream's K-weighted power per bin and stream channel, over 20 Hz to
// 20 kHz (or the Nyquist frequency below it); zero elsewhere.
struct LoudnessReference {
  double Power[2][kLoudnessBins];
  int32_t Channels;
  int32_t Rate;
  int32_t Fft;            // ReferenceFft(Rate)
  double AudibleSeconds;  // of the music it was taken from; 0 for pink
};

// Pink music (power proportional to 1 / f), the same in every channel.
void PinkReference(int32_t channels, int32_t rate, LoudnessReference* r);

// The music's own reference, taken in pieces: Welch's method over Hann
// windows of ReferenceFft(rate) frames, half overlapped; a window below
// -70 LUFS does not count. `forward` is an r2c plan of that many points for
// fftw_malloc'ed arrays.
struct ReferenceAnalysis;
ReferenceAnalysis* NewReferenceAnalysis(int32_t channels, int32_t rate, fftw_plan forward);
void FreeReferenceAnalysis(ReferenceAnalysis* a);
// `frames` frames per stream channel, in 16-bit units (full scale 32768).
void TakeReference(ReferenceAnalysis* a, const float* const samples[2], int32_t frames);
// One window of ReferenceFft(rate) frames per stream channel: its K-weighted
// power per bin, and whether it is loud enough to count (-70 LUFS).
bool WindowPower(ReferenceAnalysis* a, const float* const window[2],
                 double power[2][kLoudnessBins]);
// The reference of what was taken; false, with *r pink, when less than
// `minSeconds` of it were audible.
bool FinishReference(const ReferenceAnalysis& a, double minSeconds, LoudnessReference* r);

// What reaches the outputs from each input channel: up to four paths, each
// an input channel, a squared gain the route puts on it, and the power
// response |H(f)|^2 of its IR spectrum in the reference's bins.
struct IrLoudness {
  int32_t Fft;  // the reference transform its bins are of
  int32_t Paths;
  int32_t InChannels;
  int32_t In[4];
  double Gain2[4];
  double Power[4][kLoudnessBins];
};

// Adds a path: input channel `in`, squared gain `gain2`, and the IR's
// halfcomplex spectrum of n points scaled by 1/(32768 n), in the bins of a
// reference transform of `fft` points (ReferenceFft of the stream's rate).
void AddLoudnessPath(IrLoudness* ir, int32_t in, double gain2, const double* spectrum, int32_t n,
                     int32_t fft);

// g with sum_c sum_f W_c(f) = g^2 sum_paths gain2 sum_f W_in(f) |H(f)|^2,
// the stream's channels uncorrelated: the wet at the music's K-weighted
// power. 1 when either side is silent.
double MatchGain(const IrLoudness& ir, const LoudnessReference& r);
