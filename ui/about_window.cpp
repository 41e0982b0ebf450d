// SPDX-License-Identifier: GPL-2.0-or-later
// The About window (dialog 124): the banner and the read-me text.
#include "ui/about_window.h"

#include "ui/dialog_frame.h"
#include "ui/resource.h"

namespace {

// The read-me from text resource 169; it must end in its own NUL.
void ShowReadme(HWND window, HINSTANCE instance) {
  HRSRC found = FindResourceA(instance, MAKEINTRESOURCEA(IDR_README), "TEXT");
  HGLOBAL loaded = found ? LoadResource(instance, found) : nullptr;
  const char* text = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
  const DWORD size = found ? SizeofResource(instance, found) : 0;
  if (text && size > 0 && text[size - 1] == '\0') SetDlgItemTextA(window, IDC_README, text);
}

}  // namespace

// Controls: 2 OK (IDCANCEL, so Escape closes too), 1101 read-me edit.
INT_PTR CALLBACK AboutWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (OpenedOrClosed(window, message, lParam, ShowReadme, 1)) return TRUE;
  if (message != WM_COMMAND || HIWORD(wParam) != 0 || LOWORD(wParam) != IDC_ABOUT_OK) return FALSE;
  EndDialog(window, 1);
  return TRUE;
}
