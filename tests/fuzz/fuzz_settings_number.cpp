// SPDX-License-Identifier: GPL-2.0-or-later
// Fuzz target: ParseSettingNumber against strtoll, clamped to 32 bits.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "settings/settings.h"

namespace {

// What atol would give if it saturated: strtoll reads the same blanks, sign
// and digits, and saturates at the 64-bit bounds, which clamp to ours.
int32_t Reference(const char* text) {
  const long long value = std::strtoll(text, nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The INI reader hands over a terminated string; cut at the first NUL as it would.
  const std::string text(reinterpret_cast<const char*>(data), size);
  const int32_t got = ParseSettingNumber(text.c_str());
  const int32_t want = Reference(text.c_str());
  if (got != want) {
    std::fprintf(stderr, "ParseSettingNumber(\"%s\") = %d, expected %d\n", text.c_str(), got, want);
    std::abort();
  }
  return 0;
}
