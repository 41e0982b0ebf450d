// SPDX-License-Identifier: GPL-2.0-or-later
// The IR file chooser.
#pragma once

#include <windows.h>

// Runs the file-open dialog for IR files, owned by `owner`. On OK stores the
// path in IRFile and its directory in IRDir (through the life) and returns
// non-zero; 0 when cancelled or failed. The working directory is restored.
BOOL ChooseIrFile(HWND owner);
