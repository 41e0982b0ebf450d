// SPDX-License-Identifier: GPL-2.0-or-later
// The settings record and the platform-free rules: gain, paths and numbers.
#include "settings/settings.h"

#include <cmath>
#include <cstdio>
#include <cstring>

ReverbSettings Settings;

const char kSettingsSection[] = "Quillarven";

std::atomic<void (*)()> GainSetByEngine{nullptr};

namespace {
// One writer of the gain at a time (the slider, a preparation's automatic
// gain), so that GainDB and GainLinear always end as one pair.
std::atomic_flag gainWriter = ATOMIC_FLAG_INIT;

// Writes the pair while holding the writer flag; false, and nothing
// written, when `expected` is given and GainDB is no longer it.
bool WriteGain(int32_t db, const int32_t* expected) {
  const double linear = GainLinearOf(db);
  while (gainWriter.test_and_set(std::memory_order_acquire)) {
  }
  const bool write = !expected || Settings.GainDB.load() == *expected;
  if (write) {
    Settings.GainDB = db;
    Settings.GainLinear = linear;
  }
  gainWriter.clear(std::memory_order_release);
  return write;
}
}  // namespace

double GainLinearOf(int32_t db) { return std::pow(10.0, db * 0.05); }

void SetGainDB(int32_t db) { WriteGain(db, nullptr); }

bool ReplaceGainDB(int32_t expected, int32_t db) { return WriteGain(db, &expected); }

void StripFileName(char* text) {
  char* cut = text;
  for (char* p = text; *p; ++p) {
    if (*p == '\\') cut = p;
  }
  *cut = '\0';
}

const char* FileNamePart(const char* path) {
  if (*path == '\0') return path;
  const char* last = nullptr;
  for (const char* p = path; *p; ++p) {
    if (*p == '\\' || *p == ':') last = p;
  }
  return last ? last + 1 : path + 1;
}

int32_t ParseSettingNumber(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    // Stop growing once past the range; the sign decides the bound.
    if (value <= INT64_C(0x80000000)) value = value * 10 + (*p - '0');
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

bool ComposePath(char* dst, const char* dir, const char* suffix) {
  int n = std::snprintf(dst, kPathChars, "%s%s", dir, suffix);
  if (n < 0 || n >= kPathChars) {
    dst[0] = '\0';
    return false;
  }
  return true;
}

void ApplyDefaultPaths() {
  if (Settings.PluginDir[0] == '\0') return;  // no directory known: no default
  if (Settings.IRFile[0] == '\0') {
    ComposePath(Settings.IRFile, Settings.PluginDir, "\\Impulse Responses\\Chapel.wav");
  }
  if (Settings.IRDir[0] == '\0') {
    ComposePath(Settings.IRDir, Settings.PluginDir, "\\Impulse Responses");
  }
}

bool ComposeWisdomPath(char* path) {
  path[0] = '\0';
  if (Settings.PluginDir[0] == '\0') return false;  // not the root of the current drive
  return ComposePath(path, Settings.PluginDir, "\\dsp_qlv3.dat");
}
