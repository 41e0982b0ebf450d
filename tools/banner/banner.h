// SPDX-License-Identifier: GPL-2.0-or-later
// The control window's banner: the title artwork and the empty graph panel.
#pragma once

#include <vector>

#include "bmp8.h"

// Reduces true-colour pixels (row 0 at the top) to 256 colours. The palette
// starts with `fixed` in that order, and pixels of those colours keep them
// exactly; median cut over the other pixels picks the remaining entries.
Bmp8 Quantize(int width, int height, const std::vector<Rgb>& pixels, const std::vector<Rgb>& fixed);

// The whole 468 x 57 banner.
Bmp8 DrawBanner();
