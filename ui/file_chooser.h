// SPDX-License-Identifier: GPL-2.0-or-later
// The IR file chooser and the About window.
#pragma once

#include <windows.h>

// Runs the file-open dialog for IR files, owned by `owner`. On OK stores the
// path in IRFile and its directory in IRDir (under EngineLock) and returns
// non-zero; 0 when cancelled or failed. The working directory is restored.
BOOL ChooseIrFile(HWND owner);

// Dialog procedure of the About window (dialog 124): the banner and the
// read-me text in edit 1101; OK (id 2), Escape and the close box end it.
INT_PTR CALLBACK AboutWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
