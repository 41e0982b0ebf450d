// SPDX-License-Identifier: GPL-2.0-or-later
// Driving the real plug-in windows from a test: finding windows of this
// process, clicking without blocking, reading texts, taking screenshots.
#pragma once

#include <commctrl.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "png_writer.h"

namespace ui {

inline std::string Text(HWND window) {
  char text[4096] = "";
  GetWindowTextA(window, text, sizeof text);
  return text;
}

inline std::string ItemText(HWND dialog, int id) { return Text(GetDlgItem(dialog, id)); }

struct Search {
  std::string title;
  HWND found;
};

// Titles are read without sending messages: steady while windows come and go.
inline BOOL CALLBACK MatchTitle(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<Search*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid != GetCurrentProcessId() || !IsWindowVisible(window)) return TRUE;
  WCHAR wide[256] = L"";
  InternalGetWindowText(window, wide, 256);
  char narrow[256] = "";
  WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, sizeof narrow, nullptr, nullptr);
  if (search->title == narrow) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

// Waits up to `ms` for a visible top-level window of this process.
inline HWND WaitForWindow(const std::string& title, int ms = 15000) {
  for (int waited = 0; waited < ms; waited += 20) {
    Search search{title, nullptr};
    EnumWindows(MatchTitle, reinterpret_cast<LPARAM>(&search));
    if (search.found) return search.found;
    Sleep(20);
  }
  return nullptr;
}

inline bool WaitGone(HWND window, int ms = 15000) {
  for (int waited = 0; waited < ms; waited += 20) {
    if (!IsWindow(window)) return true;
    Sleep(20);
  }
  return false;
}

// Clicks a button without waiting for what the click opens.
inline void ClickAsync(HWND dialog, int id) {
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

// Clicks a check box the way a user does: it toggles, then tells its dialog.
inline void Click(HWND dialog, int id) { SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

inline int Checked(HWND dialog, int id) {
  return static_cast<int>(SendDlgItemMessageA(dialog, id, BM_GETCHECK, 0, 0));
}

// Copies the window's pixels from the screen after a repaint; PNG file.
inline bool Screenshot(HWND window, const std::string& path) {
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_FRAME);
  for (int i = 0; i < 10; ++i) {
    UpdateWindow(window);
    Sleep(50);
  }
  RECT r;
  GetWindowRect(window, &r);
  const int w = r.right - r.left, h = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  SelectObject(memory, old);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = -h;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  std::vector<unsigned char> bgra(size_t(w) * h * 4);
  GetDIBits(memory, bitmap, 0, h, bgra.data(), &info, DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  std::vector<unsigned char> rgb(size_t(w) * h * 3);
  for (size_t i = 0; i < size_t(w) * h; ++i) {
    rgb[3 * i] = bgra[4 * i + 2];
    rgb[3 * i + 1] = bgra[4 * i + 1];
    rgb[3 * i + 2] = bgra[4 * i];
  }
  return png::Write(path, w, h, rgb);
}

}  // namespace ui
