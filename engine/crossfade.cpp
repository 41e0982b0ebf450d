// SPDX-License-Identifier: GPL-2.0-or-later
// The crossfade's frame loop: both outputs of a piece, then their blend.
#include "engine/crossfade.h"

#include <algorithm>
#include <cstring>

int32_t StreamCrossfade(Crossfade* fade, ConvolutionEngine* in, DryLine* dry, StreamRamps* ramps,
                        bool write, uint8_t* bytes, int32_t frames, int32_t channels, int32_t bits,
                        ConvolutionEngine** ended) {
  // The engine going out takes a copy of each piece, with copies of the
  // line's place and the ramps, so that both hear the same dry, mix and
  // bypass.
  constexpr int32_t kPiece = sizeof fade->Scratch / (2 * 3);
  const int32_t frameBytes = channels * (bits / 8);
  Ramp& w = fade->Fade;
  int32_t done = 0;
  while (fade->Out && done < frames) {
    const int32_t n = std::min({frames - done, kPiece, w.Frames - w.Done});
    uint8_t* piece = bytes + static_cast<size_t>(done) * frameBytes;
    std::memcpy(fade->Scratch, piece, static_cast<size_t>(n) * frameBytes);
    DryLine shadow = *dry;
    StreamRamps copy = *ramps;
    if (write) {
      StreamEngine(fade->Out, &shadow, &copy, fade->Scratch, n, bits);
      if (in) {
        StreamEngine(in, dry, ramps, piece, n, bits);
      } else {
        KeepDry(dry, piece, n, bits);
      }
      CrossfadeSamples(piece, fade->Scratch, n, channels, bits, &w);
    } else {
      FeedEngine(fade->Out, &shadow, &copy, fade->Scratch, n, bits);
      if (in) {
        FeedEngine(in, dry, ramps, piece, n, bits);
      } else {
        KeepDry(dry, piece, n, bits);
      }
      w.Done += n;
    }
    // Without an engine coming in, the ramps are the outgoing one's.
    if (!in) *ramps = copy;
    if (w.Done == w.Frames) {
      *ended = fade->Out;
      fade->Out = nullptr;
    }
    done += n;
  }
  return done;
}
