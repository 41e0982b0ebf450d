// SPDX-License-Identifier: GPL-2.0-or-later
// The graph control: paints the banner, one dot per IrGraph bin and, while
// limiting is on, a dotted marker at the limit. It takes no input.
#include "ui/graph_control.h"

#include "ir/graph_geometry.h"
#include "ir/impulse_response.h"
#include "settings/settings.h"
#include "ui/resource.h"

const char kGraphClassName[] = "QuillarCtrlClass";

HBITMAP BannerBitmap = nullptr;

namespace {

constexpr COLORREF kPointColour = 0x00E0EFFF;   // RGB (255, 239, 224)
constexpr COLORREF kMarkerColour = 0x007F7F70;  // RGB (112, 127, 127)

}  // namespace

bool RegisterGraphClass(HINSTANCE instance) {
  WNDCLASSA wc = {};
  wc.style = 0;
  wc.lpfnWndProc = GraphWindowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  wc.hbrBackground = nullptr;                                  // the banner covers everything
  wc.lpszClassName = kGraphClassName;
  return RegisterClassA(&wc) != 0;
}

void PaintGraph(HDC dc) {
  HDC memory = CreateCompatibleDC(dc);
  HGDIOBJ old = BannerBitmap ? SelectObject(memory, BannerBitmap) : nullptr;
  BitBlt(dc, 0, 0, kBannerWidth, kBannerHeight, memory, 0, 0, SRCCOPY);
  for (int k = 0; k < kGraphBins; ++k) {
    const int32_t y = IrGraph[k];
    if (y >= 0 && y <= kGraphLastRow) SetPixel(dc, kGraphFirstColumn + k, y, kPointColour);
  }
  if (Settings.IRLimitEn) {
    const int x = GraphLimitColumn(Settings.IRLimit);
    for (int y = 0; y <= kGraphLastRow; y += 2) SetPixel(dc, x, y, kMarkerColour);
  }
  if (old) SelectObject(memory, old);
  DeleteDC(memory);
}

LRESULT CALLBACK GraphWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_PAINT) return DefWindowProcA(window, message, wParam, lParam);
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window, &ps);
  if (dc) {
    PaintGraph(dc);
    EndPaint(window, &ps);
  }
  return 0;
}

void InvalidateGraph(HWND controlWindow) {
  const RECT plot = {kGraphFirstColumn, 0, kGraphLastColumn + 1, kBannerHeight};
  InvalidateRect(GetDlgItem(controlWindow, IDC_GRAPH), &plot, FALSE);
}
