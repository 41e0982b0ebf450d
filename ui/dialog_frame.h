// SPDX-License-Identifier: GPL-2.0-or-later
// What our dialog procedures do alike: set up from the module instance
// given as the creation parameter, ended by the close box.
#pragma once

#include <windows.h>

// Handles WM_INITDIALOG (`setUp` gets the instance in lParam) and WM_CLOSE
// (the dialog ends with `closed`); false for any other message.
inline bool OpenedOrClosed(HWND window, UINT message, LPARAM lParam, void (*setUp)(HWND, HINSTANCE),
                           INT_PTR closed) {
  if (message == WM_INITDIALOG) {
    setUp(window, reinterpret_cast<HINSTANCE>(lParam));
  } else if (message == WM_CLOSE) {
    EndDialog(window, closed);
  } else {
    return false;
  }
  return true;
}
