// SPDX-License-Identifier: GPL-2.0-or-later
// GraphControl: the banner with the IR's power envelope and the limit marker.
#pragma once

#include <windows.h>

extern const char kGraphClassName[];  // "QuillarCtrlClass"

// Bitmap resource 110; loaded and deleted by the UI thread, only selected here.
extern HBITMAP BannerBitmap;

// Registers the graph control's class for the given module; false on failure.
bool RegisterGraphClass(HINSTANCE instance);

LRESULT CALLBACK GraphWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Draws the banner, the graph points and the limit marker into dc.
void PaintGraph(HDC dc);

// Asks the graph control of the control window to repaint its plot area.
void InvalidateGraph(HWND controlWindow);
