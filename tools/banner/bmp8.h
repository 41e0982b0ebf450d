// SPDX-License-Identifier: GPL-2.0-or-later
// Palette images and their 8-bit Windows BMP form.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

struct Rgb {
  uint8_t r, g, b;
  bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
  bool operator!=(const Rgb& o) const { return !(*this == o); }
};

// Pixels are palette indices, row 0 at the top.
struct Bmp8 {
  int width = 0;
  int height = 0;
  std::array<Rgb, 256> palette{};
  std::vector<uint8_t> pixels;

  Rgb At(int x, int y) const { return palette[pixels[static_cast<size_t>(y) * width + x]]; }
};

// BITMAPFILEHEADER, BITMAPINFOHEADER with all 256 colours, bottom-up rows
// padded to 4 bytes: the form the resource compiler and LoadBitmap take.
std::vector<uint8_t> EncodeBmp8(const Bmp8& image);

// Reads back only that form; false for anything else.
bool DecodeBmp8(const std::vector<uint8_t>& bytes, Bmp8* image);
