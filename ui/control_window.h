// SPDX-License-Identifier: GPL-2.0-or-later
// The control window (dialog 131): the plug-in's user interface.
#pragma once

#include <windows.h>

// The dialog procedure; the creation parameter is the module instance that
// holds the resources (the About window's read-me).
INT_PTR CALLBACK ControlWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Enables check box 1086 (Force mono input) or disables it; its check stays.
void EnableForceMonoIn(HWND window, BOOL enabled);

// From any thread, without waiting: the open window is asked to prepare the
// engine in force for the stream's new rate. False when no window is open.
bool AskWindowToPrepareForRate();

// The three texts that replace IRFile after a failed Load, by result 1..3.
extern const char* const kLoadErrorTexts[4];
