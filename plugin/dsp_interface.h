// SPDX-License-Identifier: GPL-2.0-or-later
// The player's DSP plug-in interface: the header and module records that a
// host reads from the library's one export, winampDSPGetHeader2. Every entry
// is a plain C function (cdecl); every field is 32 bits wide on the player's
// 32-bit Windows.
#pragma once

#include <windows.h>

#include <cstdint>

#define QLV_CDECL __cdecl

struct DspModule {
  const char* description;              // shown by the host
  HWND parent;                          // filled by the host; not read by us
  HINSTANCE instance;                   // filled by the host before Init
  void(QLV_CDECL* Config)(DspModule*);  // host main thread
  int(QLV_CDECL* Init)(DspModule*);     // host main thread; 0 on success
  int(QLV_CDECL* ModifySamples)(DspModule*, short* samples, int frames, int bits, int channels,
                                int rate);  // host audio thread; returns frames
  void(QLV_CDECL* Quit)(DspModule*);        // host main thread
  void* userData;                           // the host's
};

struct DspHeader {
  int version;  // 0x20
  const char* description;
  DspModule*(QLV_CDECL* GetModule)(int index);  // null past the last module
};

using DspGetHeaderFn = DspHeader*(QLV_CDECL*)();

constexpr int kDspHeaderVersion = 0x20;

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(DspModule) == 32, "eight 32-bit fields");
static_assert(sizeof(DspHeader) == 12, "three 32-bit fields");
#endif
