// SPDX-License-Identifier: GPL-2.0-or-later
// The transform an IR gets: its block and transform length under the IR size
// limit, and the FFT plans, made and destroyed under the planner lock.
// Shared with the IR tool, so that it tunes exactly the plans the plug-in
// makes.
#pragma once

#include <fftw3.h>

#include <cstdint>

// Block length for an IR of n frames: at least n, built from 2, 3, 5, 7 and
// at most one 11 and one 13. Wide so that no frame count can overflow it.
int64_t ChooseBlockLength(int64_t frames);

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

// Destroys a plan (null is fine) and clears the reference.
void DestroyPlan(fftw_plan* plan);

// FFTW's planner data, released when the library is done planning (Quit).
void CleanUpPlanner();

// Imports FFTW wisdom from the file at `path` (the plug-in's dsp_qlv3.dat) if
// it opens; wisdom FFTW rejects changes nothing.
void ImportWisdom(const char* path);
