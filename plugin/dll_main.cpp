// SPDX-License-Identifier: GPL-2.0-or-later
// The library's load entry and its one export.
#include <windows.h>

#include "plugin/plugin.h"

// No work of the plug-in's own happens on loading: all of it is in Init.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}

extern "C" __declspec(dllexport) DspHeader* QLV_CDECL winampDSPGetHeader2() { return &Header; }
