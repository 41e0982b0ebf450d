// SPDX-License-Identifier: GPL-2.0-or-later
// Writing and reading 8-bit palette BMP files.
#include "bmp8.h"

#include <algorithm>

namespace {

constexpr uint32_t kFileHeader = 14;
constexpr uint32_t kInfoHeader = 40;
constexpr uint32_t kPaletteBytes = 256 * 4;
constexpr uint32_t kPixelOffset = kFileHeader + kInfoHeader + kPaletteBytes;

uint32_t Stride(int width) { return (static_cast<uint32_t>(width) + 3) & ~3u; }

void Put16(std::vector<uint8_t>* out, uint32_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>* out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}
uint32_t Get16(const std::vector<uint8_t>& in, size_t at) { return in[at] | (in[at + 1] << 8); }
uint32_t Get32(const std::vector<uint8_t>& in, size_t at) {
  return Get16(in, at) | (Get16(in, at + 2) << 16);
}

}  // namespace

std::vector<uint8_t> EncodeBmp8(const Bmp8& image) {
  const uint32_t stride = Stride(image.width);
  const uint32_t imageBytes = stride * static_cast<uint32_t>(image.height);
  std::vector<uint8_t> out;
  out.reserve(kPixelOffset + imageBytes);
  out.push_back('B');
  out.push_back('M');
  Put32(&out, kPixelOffset + imageBytes);
  Put32(&out, 0);
  Put32(&out, kPixelOffset);
  Put32(&out, kInfoHeader);
  Put32(&out, static_cast<uint32_t>(image.width));
  Put32(&out, static_cast<uint32_t>(image.height));  // positive: bottom-up
  Put16(&out, 1);
  Put16(&out, 8);
  Put32(&out, 0);  // BI_RGB
  Put32(&out, imageBytes);
  Put32(&out, 2835);  // 72 dpi, as paint programs write it
  Put32(&out, 2835);
  Put32(&out, 256);
  Put32(&out, 0);
  for (const Rgb& c : image.palette) {
    out.push_back(c.b);
    out.push_back(c.g);
    out.push_back(c.r);
    out.push_back(0);
  }
  for (int y = image.height - 1; y >= 0; --y) {
    const uint8_t* row = &image.pixels[static_cast<size_t>(y) * image.width];
    out.insert(out.end(), row, row + image.width);
    out.resize(out.size() + (stride - image.width), 0);
  }
  return out;
}

bool DecodeBmp8(const std::vector<uint8_t>& in, Bmp8* image) {
  if (in.size() < kPixelOffset || in[0] != 'B' || in[1] != 'M') return false;
  const int32_t width = static_cast<int32_t>(Get32(in, 18));
  const int32_t height = static_cast<int32_t>(Get32(in, 22));
  if (Get32(in, 14) != kInfoHeader || width <= 0 || height <= 0 || width > 65536 ||
      height > 65536 || Get16(in, 26) != 1 || Get16(in, 28) != 8 || Get32(in, 30) != 0 ||
      Get32(in, 46) != 256 || Get32(in, 10) != kPixelOffset) {
    return false;
  }
  const uint32_t stride = Stride(width);
  if (in.size() != kPixelOffset + stride * static_cast<uint32_t>(height)) return false;
  image->width = width;
  image->height = height;
  for (size_t i = 0; i < 256; ++i) {
    const size_t at = kFileHeader + kInfoHeader + 4 * i;
    image->palette[i] = Rgb{in[at + 2], in[at + 1], in[at]};
  }
  image->pixels.resize(static_cast<size_t>(width) * height);
  for (int32_t y = 0; y < height; ++y) {
    const size_t from = kPixelOffset + static_cast<size_t>(height - 1 - y) * stride;
    std::copy(in.begin() + from, in.begin() + from + width,
              image->pixels.begin() + static_cast<size_t>(y) * width);
  }
  return true;
}
