// SPDX-License-Identifier: GPL-2.0-or-later
// The host's floating-point state, kept across each entry. Players built
// with Delphi run with x87 exceptions unmasked (control word 0x1332), and
// msvcrt's maths run on the x87 unit: inside the plug-in every exception is
// masked, and the host gets its control word and MXCSR back unchanged, with
// no x87 flag left pending that its next instruction would trap on.
#pragma once

#include <xmmintrin.h>

#include <cstdint>

class HostFloatState {
 public:
  HostFloatState() {
    asm volatile("fnstcw %0" : "=m"(x87_));
    sse_ = _mm_getcsr();
    const uint16_t masked = 0x027F;  // Windows' default: all masked, 53-bit, to nearest
    asm volatile("fnclex\n\tfldcw %0" : : "m"(masked));
    _mm_setcsr(0x1F80);  // all masked, to nearest, no flush to zero
  }
  ~HostFloatState() {
    asm volatile("fnclex\n\tfldcw %0" : : "m"(x87_));
    _mm_setcsr(sse_);
  }
  HostFloatState(const HostFloatState&) = delete;
  HostFloatState& operator=(const HostFloatState&) = delete;

 private:
  uint16_t x87_;
  uint32_t sse_;
};
