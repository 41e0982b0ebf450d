// SPDX-License-Identifier: GPL-2.0-or-later
// The graph control painted into a memory device context: the banner, the
// points of IrGraph and the dotted limit marker, pixel by pixel.
#include <gtest/gtest.h>
#include <windows.h>

#include "ir/graph_geometry.h"
#include "ir/impulse_response.h"
#include "settings/settings.h"
#include "tests/support/win32.h"
#include "ui/graph_control.h"
#include "ui/resource.h"

namespace {

constexpr COLORREF kPoint = RGB(255, 239, 224);
constexpr COLORREF kMarker = RGB(112, 127, 127);
constexpr COLORREF kPanel = RGB(24, 41, 74);
constexpr COLORREF kGrid = RGB(24, 57, 99);

class Graph : public ::testing::Test {
 protected:
  HDC dc = nullptr;
  HBITMAP target = nullptr;
  HGDIOBJ old = nullptr;

  void SetUp() override {
    BannerBitmap = LoadBitmapA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDB_BANNER));
    ASSERT_NE(BannerBitmap, nullptr);
    HDC screen = GetDC(nullptr);
    dc = CreateCompatibleDC(screen);
    const BITMAPINFO info = ui::TopDown32(kBannerWidth, kBannerHeight);
    void* bits = nullptr;
    target = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    ReleaseDC(nullptr, screen);
    old = SelectObject(dc, target);
    ClearIrGraph();
    Settings.IRLimitEn = 0;
    Settings.IRLimit = 4000;
  }

  void TearDown() override {
    SelectObject(dc, old);
    DeleteObject(target);
    DeleteDC(dc);
    DeleteObject(BannerBitmap);
    BannerBitmap = nullptr;
  }

  // Paints over a fresh banner and reads one pixel.
  COLORREF At(int x, int y) { return GetPixel(dc, x, y); }
};

TEST_F(Graph, BannerIsTheGraphPanel) {
  BITMAP info;
  ASSERT_EQ(GetObjectA(BannerBitmap, sizeof info, &info), static_cast<int>(sizeof info));
  EXPECT_EQ(info.bmWidth, 468);
  EXPECT_EQ(info.bmHeight, 57);
  PaintGraph(dc);
  EXPECT_EQ(At(300, 5), kPanel);
  EXPECT_EQ(At(440, 20), kPanel);
  for (int x : {265, 310, 355, 401}) EXPECT_EQ(At(x, 3), kGrid) << x;
  for (int y : {15, 30, 45}) EXPECT_EQ(At(330, y), kGrid) << y;
  EXPECT_EQ(At(250, 10), RGB(8, 8, 8));
  EXPECT_EQ(At(460, 10), RGB(8, 8, 8));
}

TEST_F(Graph, PointsAtTheirBinsAndRows) {
  IrGraph[0] = 0;
  IrGraph[10] = 20;
  IrGraph[90] = 56;
  IrGraph[100] = 57;  // below the graph: not drawn
  IrGraph[120] = -1;  // above it: not drawn
  IrGraph[180] = 33;
  PaintGraph(dc);
  EXPECT_EQ(At(265, 0), kPoint);
  EXPECT_EQ(At(275, 20), kPoint);
  EXPECT_EQ(At(355, 56), kPoint);
  EXPECT_EQ(At(445, 33), kPoint);
  EXPECT_NE(At(365, 56), kPoint);
  EXPECT_NE(At(385, 0), kPoint);
  // One dot per bin, no lines between them.
  EXPECT_NE(At(266, 0), kPoint);
  EXPECT_NE(At(275, 21), kPoint);
  int points = 0;
  for (int x = 0; x < kBannerWidth; ++x) {
    for (int y = 0; y < kBannerHeight; ++y) points += At(x, y) == kPoint;
  }
  EXPECT_EQ(points, 4);
}

TEST_F(Graph, MarkerIsDottedAtTheLimit) {
  PaintGraph(dc);
  for (int x = 265; x <= 445; ++x) ASSERT_NE(At(x, 0), kMarker);  // limiting off
  Settings.IRLimitEn = 1;
  const struct { int ms, column; } cases[] = {{1, 265}, {1000, 310}, {2000, 355}, {4000, 445}};
  for (const auto& c : cases) {
    Settings.IRLimit = c.ms;
    PaintGraph(dc);
    for (int y = 0; y <= 56; ++y) {
      if (y % 2 == 0) {
        EXPECT_EQ(At(c.column, y), kMarker) << c.ms << " ms, row " << y;
      } else {
        EXPECT_NE(At(c.column, y), kMarker) << c.ms << " ms, row " << y;
      }
    }
  }
  // The marker covers a point where they meet.
  IrGraph[45] = 10;
  Settings.IRLimit = 1000;
  PaintGraph(dc);
  EXPECT_EQ(At(310, 10), kMarker);
}

TEST_F(Graph, PaintsWithoutABanner) {
  DeleteObject(BannerBitmap);
  BannerBitmap = nullptr;
  IrGraph[5] = 5;
  PaintGraph(dc);
  EXPECT_EQ(At(270, 5), kPoint);
}

}  // namespace
