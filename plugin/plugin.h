// SPDX-License-Identifier: GPL-2.0-or-later
// The host-facing side of the plug-in: the module record and its entries,
// and the UI thread's lifetime.
#pragma once

#include "plugin/dsp_interface.h"

extern DspHeader Header;
extern DspModule Module;  // the library's only module

// The library's one export: the header, the same on every call.
extern "C" __declspec(dllexport) DspHeader* QLV_CDECL winampDSPGetHeader2();

DspModule* QLV_CDECL GetModule(int index);  // host main thread
void QLV_CDECL Config(DspModule* module);   // host main thread: does nothing
int QLV_CDECL Init(DspModule* module);      // host main thread: start-up, always 0
void QLV_CDECL Quit(DspModule* module);     // host main thread: shut-down
int QLV_CDECL ModifySamples(DspModule* module, short* samples, int frames, int bits, int channels,
                            int rate);  // host audio thread

// The UI thread's body: graph class, banner, first preparation, control window. `held` is
// its own reference on the library, given back as the thread ends.
DWORD WINAPI UiThread(LPVOID held);
