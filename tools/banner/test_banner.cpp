// SPDX-License-Identifier: GPL-2.0-or-later
// Checks of the BMP codec, the palette reduction and the committed banner:
// the control window draws into the panel at fixed places, so those pixels
// must be exactly as it expects.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "banner.h"
#include "bmp8.h"

namespace {

uint32_t Le(const std::vector<uint8_t>& b, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | b[at + i];
  return v;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::vector<uint8_t> bytes;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return bytes;
  int c;
  while ((c = std::fgetc(f)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
  std::fclose(f);
  return bytes;
}

const Rgb kNearBlack{8, 8, 8};
const Rgb kPanel{24, 41, 74};
const Rgb kGrid{24, 57, 99};
const Rgb kLabel{99, 148, 189};
const int kGridX[] = {265, 310, 355, 401};
const int kGridY[] = {15, 30, 45};

// ---- The codec on small images, where row padding shows.

Bmp8 Tiny(int w, int h) {
  Bmp8 image;
  image.width = w;
  image.height = h;
  for (int i = 0; i < 256; ++i)
    image.palette[i] = Rgb{uint8_t(i), uint8_t(255 - i), uint8_t(i / 2)};
  for (int i = 0; i < w * h; ++i) image.pixels.push_back(static_cast<uint8_t>(10 + i));
  return image;
}

TEST(Bmp8Codec, PadsRowsToFourBytesAndStoresThemBottomUp) {
  const std::vector<uint8_t> bytes = EncodeBmp8(Tiny(5, 2));
  ASSERT_EQ(bytes.size(), 14u + 40 + 1024 + 2 * 8);
  EXPECT_EQ(Le(bytes, 2, 4), bytes.size());
  EXPECT_EQ(Le(bytes, 34, 4), 16u);  // biSizeImage
  const size_t at = 1078;
  // Bottom row (pixels 15..19) first, then three zero bytes, then the top row.
  const std::vector<uint8_t> rows(bytes.begin() + at, bytes.end());
  EXPECT_EQ(rows, (std::vector<uint8_t>{15, 16, 17, 18, 19, 0, 0, 0, 10, 11, 12, 13, 14, 0, 0, 0}));
  // Palette entries are blue, green, red, zero.
  EXPECT_EQ(Le(bytes, 54 + 4 * 3, 4), 0x0003FC01u);
}

TEST(Bmp8Codec, ReadsBackWhatItWrites) {
  for (int w : {1, 2, 3, 4, 7}) {
    const Bmp8 image = Tiny(w, 3);
    Bmp8 back;
    ASSERT_TRUE(DecodeBmp8(EncodeBmp8(image), &back)) << w;
    EXPECT_EQ(back.width, w);
    EXPECT_EQ(back.height, 3);
    EXPECT_EQ(back.pixels, image.pixels) << w;
    EXPECT_TRUE(back.palette == image.palette);
  }
}

TEST(Bmp8Codec, RejectsOtherForms) {
  const std::vector<uint8_t> good = EncodeBmp8(Tiny(3, 2));
  Bmp8 out;
  auto broken = [&](size_t at, uint8_t value) {
    std::vector<uint8_t> b = good;
    b[at] = value;
    return DecodeBmp8(b, &out);
  };
  EXPECT_FALSE(broken(0, 'X'));    // magic
  EXPECT_FALSE(broken(28, 24));    // bit depth
  EXPECT_FALSE(broken(30, 1));     // RLE
  EXPECT_FALSE(broken(25, 0xFF));  // negative height: top-down
  EXPECT_FALSE(broken(46, 16));    // short palette
  std::vector<uint8_t> cut(good.begin(), good.end() - 1);
  EXPECT_FALSE(DecodeBmp8(cut, &out));
  EXPECT_FALSE(DecodeBmp8(std::vector<uint8_t>(20, 0), &out));
}

// ---- Palette reduction.

int Distance(Rgb a, Rgb b) {
  return std::abs(a.r - b.r) + std::abs(a.g - b.g) + std::abs(a.b - b.b);
}

TEST(Quantize, KeepsFixedColoursAndFewColoursExactly) {
  const std::vector<Rgb> fixed = {kNearBlack, kPanel};
  std::vector<Rgb> pixels;
  for (int i = 0; i < 200; ++i) pixels.push_back(Rgb{uint8_t(i), uint8_t(i * 7), 3});
  pixels.push_back(kPanel);
  pixels.push_back(kNearBlack);
  const Bmp8 image = Quantize(202, 1, pixels, fixed);
  EXPECT_EQ(image.palette[0], kNearBlack);
  EXPECT_EQ(image.palette[1], kPanel);
  EXPECT_EQ(image.pixels[200], 1);
  EXPECT_EQ(image.pixels[201], 0);
  for (size_t i = 0; i < pixels.size(); ++i) EXPECT_EQ(image.At(int(i), 0), pixels[i]) << i;
}

TEST(Quantize, StaysCloseWithManyColours) {
  // 4096 colours spread over the cube: 250 free entries must cover them all.
  std::vector<Rgb> pixels;
  for (int i = 0; i < 4096; ++i) {
    pixels.push_back(
        Rgb{uint8_t((i & 15) * 17), uint8_t((i >> 4 & 15) * 17), uint8_t((i >> 8) * 17)});
  }
  const std::vector<Rgb> fixed = {kNearBlack, kPanel,          kGrid,
                                  kLabel,     {255, 239, 224}, {112, 127, 127}};
  const Bmp8 image = Quantize(64, 64, pixels, fixed);
  ASSERT_EQ(image.pixels.size(), pixels.size());
  for (size_t i = 0; i < fixed.size(); ++i) EXPECT_EQ(image.palette[i], fixed[i]);
  std::set<uint8_t> used(image.pixels.begin(), image.pixels.end());
  EXPECT_GT(used.size(), 240u);
  int worst = 0;
  for (int i = 0; i < 4096; ++i)
    worst = std::max(worst, Distance(image.At(i % 64, i / 64), pixels[i]));
  EXPECT_LE(worst, 60);
}

// ---- The committed banner.

class Banner : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* path = std::getenv("QLV_BANNER");
    ASSERT_NE(path, nullptr);
    bytes_ = ReadFile(path);
    ASSERT_FALSE(bytes_.empty()) << path;
    ASSERT_TRUE(DecodeBmp8(bytes_, &image_));
    ASSERT_EQ(image_.width, 468);
    ASSERT_EQ(image_.height, 57);
  }
  std::vector<uint8_t> bytes_;
  Bmp8 image_;
};

TEST_F(Banner, HeaderIsWhatTheResourceCompilerTakes) {
  ASSERT_EQ(bytes_.size(), 14u + 40 + 1024 + 468 * 57);
  EXPECT_EQ(bytes_[0], 'B');
  EXPECT_EQ(bytes_[1], 'M');
  EXPECT_EQ(Le(bytes_, 2, 4), bytes_.size());
  EXPECT_EQ(Le(bytes_, 10, 4), 1078u);  // pixels right after the palette
  EXPECT_EQ(Le(bytes_, 14, 4), 40u);    // BITMAPINFOHEADER
  EXPECT_EQ(Le(bytes_, 18, 4), 468u);
  EXPECT_EQ(Le(bytes_, 22, 4), 57u);  // positive: bottom-up
  EXPECT_EQ(Le(bytes_, 26, 2), 1u);
  EXPECT_EQ(Le(bytes_, 28, 2), 8u);
  EXPECT_EQ(Le(bytes_, 30, 4), 0u);  // BI_RGB
  EXPECT_EQ(Le(bytes_, 46, 4), 256u);
}

TEST_F(Banner, StripsBesideThePanelAreNearBlack) {
  for (int y = 0; y < 57; ++y) {
    for (int x = 242; x <= 264; ++x) ASSERT_EQ(image_.At(x, y), kNearBlack) << x << "," << y;
    for (int x = 446; x <= 467; ++x) ASSERT_EQ(image_.At(x, y), kNearBlack) << x << "," << y;
  }
}

struct Box {
  int x0, y0, x1, y1;
  bool Holds(int x, int y) const { return x >= x0 && x <= x1 && y >= y0 && y <= y1; }
};

std::vector<Box> LabelBoxes() {
  std::vector<Box> boxes;
  for (int x : kGridX) boxes.push_back({x + 1, 49, x + 12, 55});
  for (int y : kGridY) boxes.push_back({428, y - 7, 445, y - 1});
  return boxes;
}

TEST_F(Banner, PanelHoldsOnlyBackgroundGridAndLabels) {
  const std::vector<Box> boxes = LabelBoxes();
  for (int y = 0; y < 57; ++y) {
    for (int x = 265; x <= 445; ++x) {
      const Rgb c = image_.At(x, y);
      bool line = y == 15 || y == 30 || y == 45;
      for (int gx : kGridX) line = line || x == gx;
      bool label = false;
      for (const Box& b : boxes) label = label || b.Holds(x, y);
      if (line) {
        ASSERT_EQ(c, kGrid) << x << "," << y;
      } else if (label) {
        ASSERT_TRUE(c == kPanel || c == kLabel) << x << "," << y;
      } else {
        ASSERT_EQ(c, kPanel) << x << "," << y;
      }
    }
  }
}

TEST_F(Banner, LabelsSitBesideTheirLines) {
  // Seconds: along the bottom, starting just right of each vertical line.
  for (int gx : kGridX) {
    int first = 1000, count = 0;
    for (int y = 49; y <= 55; ++y) {
      for (int x = gx + 1; x <= gx + 12; ++x) {
        if (image_.At(x, y) == kLabel) first = std::min(first, x), ++count;
      }
    }
    EXPECT_GE(count, 8) << gx;
    EXPECT_LE(first, gx + 3) << gx;
  }
  // Levels: ending at the panel's right edge, just above each line.
  for (int gy : kGridY) {
    int first = 1000, last = 0, lowest = 0;
    for (int y = gy - 7; y < gy; ++y) {
      for (int x = 428; x <= 445; ++x) {
        if (image_.At(x, y) != kLabel) continue;
        first = std::min(first, x);
        last = std::max(last, x);
        lowest = std::max(lowest, y);
      }
    }
    EXPECT_EQ(last, 445) << gy;
    EXPECT_LE(first, 432) << gy;  // five characters, not a stray pixel
    EXPECT_GE(lowest, gy - 3) << gy;
  }
}

TEST_F(Banner, PaletteHoldsTheColoursDrawnLater) {
  const Rgb wanted[] = {kNearBlack, kPanel, kGrid, kLabel, {255, 239, 224}, {112, 127, 127}};
  for (const Rgb& c : wanted) {
    bool found = false;
    for (const Rgb& p : image_.palette) found = found || p == c;
    EXPECT_TRUE(found) << int(c.r) << "," << int(c.g) << "," << int(c.b);
  }
}

TEST_F(Banner, TitleArtworkIsDrawn) {
  std::set<uint32_t> colours;
  int bright = 0;
  for (int y = 0; y < 57; ++y) {
    for (int x = 0; x < 242; ++x) {
      const Rgb c = image_.At(x, y);
      colours.insert(uint32_t(c.r) << 16 | c.g << 8 | c.b);
      if (c.r + c.g + c.b > 600) ++bright;
    }
  }
  EXPECT_GT(colours.size(), 100u);
  EXPECT_GT(bright, 500);  // the product name in light letters
}

}  // namespace
