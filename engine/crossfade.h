// SPDX-License-Identifier: GPL-2.0-or-later
// Two outputs of one stream blended over a fade: an engine going out beside
// what comes in (a new engine, or the music as it comes after a failed load).
#pragma once

#include <cstdint>

#include "engine/engine.h"

struct Crossfade {
  ConvolutionEngine* Out;         // fading out; null when no fade runs
  Ramp Fade;                      // 0 to 1: the share of what comes in
  uint8_t Scratch[1024 * 2 * 3];  // the outgoing engine's copy of a piece
};

// Streams `frames` frames of `channels` channels at `bits` through `in`
// (null: the buffer passes and the line takes it) and the engine fading
// out, each piece the blend of the two; while `write` is false both only
// take the stream. Returns the frames taken: all, or fewer when the fade
// ended, with the engine that faded out in *ended (for a thread beside to
// free) and fade->Out null.
int32_t StreamCrossfade(Crossfade* fade, ConvolutionEngine* in, DryLine* dry, StreamRamps* ramps,
                        bool write, uint8_t* bytes, int32_t frames, int32_t channels, int32_t bits,
                        ConvolutionEngine** ended);
