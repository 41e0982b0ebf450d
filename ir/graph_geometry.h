// SPDX-License-Identifier: GPL-2.0-or-later
// The IR graph's geometry, shared by the analysis that computes its rows and
// the control that draws them into the banner bitmap.
#pragma once

#include <cstdint>

constexpr int kGraphBins = 181;     // time bins over the IR's first kGraphSeconds
constexpr int kGraphSeconds = 4;    // the span the bins cover
constexpr int kGraphLastRow = 56;   // rows 0 (loudest) to 56, 2 dB each
constexpr int32_t kNoPoint = 1000;  // the row of a bin with no point

// The banner (bitmap 110, drawn by tools/banner) holds the graph's panel:
// one pixel row per graph row.
constexpr int kBannerWidth = 468;
constexpr int kBannerHeight = kGraphLastRow + 1;
constexpr int kGraphFirstColumn = 265;                                // bin 0
constexpr int kGraphLastColumn = kGraphFirstColumn + kGraphBins - 1;  // bin 180

// The limit marker's column for a limit in ms: over 4001 rather than 4000,
// so that 4000 ms lands on the last column and 1 s and 2 s on the grid.
constexpr int GraphLimitColumn(int32_t limitMs) {
  return kGraphFirstColumn + static_cast<int>((int64_t{kGraphBins} * limitMs) / 4001);
}
