// SPDX-License-Identifier: GPL-2.0-or-later
// A DLL without the plug-in export, for qlv_host's failure tests.
#include <windows.h>

extern "C" __declspec(dllexport) int QlvNotAPlugin() { return 0; }
