// SPDX-License-Identifier: GPL-2.0-or-later
// The About window, opened by the control window's Help button.
#pragma once

#include <windows.h>

// Dialog procedure of the About window (dialog 124): the banner and the
// read-me text (resource 169 of the module whose instance is the dialog's
// creation parameter) in edit 1101; OK (id 2), Escape and the close box end it.
INT_PTR CALLBACK AboutWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
