// SPDX-License-Identifier: GPL-2.0-or-later
// The transform an IR gets: its length under the IR size limit and the FFT
// plans. Shared with the IR tool, so that it tunes exactly the plans the
// plug-in makes.
#pragma once

#include <fftw3.h>

#include <cstdint>

// Frames of an IR of `frames` frames that the size limit lets through: all
// of them when limitOn is 0, else at most limitMs (0 meaning 10) at `rate`.
int64_t LimitedFrames(int64_t frames, int32_t limitOn, int32_t limitMs, int64_t rate);

// N = 2h for an IR of `frames` frames, or 0 when N + 2 doubles per
// spectrum would not fit FFTW's int and our sizes.
int32_t TransformLength(int64_t frames);

// The forward (N reals to N/2+1 bins) and inverse plans, made with the
// planner flags given for arrays like the engine's: fftw_malloc'ed, out of
// place. Each is null where it could not be made; true when both were.
bool MakeTransformPlans(int32_t n, unsigned flags, fftw_plan* forward, fftw_plan* inverse);
