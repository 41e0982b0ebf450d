// SPDX-License-Identifier: GPL-2.0-or-later
// The INI store: the nine keys of section "Quillarven" read from and written
// to IniPath with the platform's private-profile calls.
#include <windows.h>

#include <cstdio>

#include "settings/settings.h"

namespace {

// One row per stored key, in read and write order.
struct Key {
  const char* name;
  const char* fallback;
  std::atomic<int32_t>* number;  // null for the two texts
  char* text;
};

const Key kKeys[] = {
    {"Active", "1", &Settings.Active, nullptr},
    {"IRFile", "", nullptr, Settings.IRFile},
    {"IRDir", "", nullptr, Settings.IRDir},
    {"IRLimitEn", "0", &Settings.IRLimitEn, nullptr},
    {"IRLimit", "4000", &Settings.IRLimit, nullptr},
    {"GainDB", "0", &Settings.GainDB, nullptr},
    {"ForceMonoIn", "0", &Settings.ForceMonoIn, nullptr},
    {"ForceMonoOut", "0", &Settings.ForceMonoOut, nullptr},
    {"AutoGain", "1", &Settings.AutoGain, nullptr},
};

}  // namespace

void DerivePluginPaths(void* instance) {
  // At most 255 characters with the terminator; a longer name would be cut
  // and is no directory of ours.
  const DWORD n = GetModuleFileNameA(static_cast<HMODULE>(instance), Settings.PluginDir, 255);
  if (n == 0 || n >= 255) {
    Settings.PluginDir[0] = '\0';
    Settings.IniPath[0] = '\0';
    return;
  }
  StripFileName(Settings.PluginDir);
  ComposePath(Settings.IniPath, Settings.PluginDir, "\\plugin.ini");
}

void LoadSettings() {
  // Without a usable IniPath the calls would fall back to WIN.INI.
  const bool haveIni = Settings.IniPath[0] != '\0';
  for (const Key& key : kKeys) {
    if (key.text) {
      key.text[0] = '\0';
      if (haveIni) {
        GetPrivateProfileStringA(kSettingsSection, key.name, key.fallback, key.text, kPathChars,
                                 Settings.IniPath);
      }
      if (key.text == Settings.IRDir) ApplyDefaultPaths();
      continue;
    }
    char value[512];
    std::snprintf(value, sizeof value, "%s", key.fallback);
    if (haveIni) {
      GetPrivateProfileStringA(kSettingsSection, key.name, key.fallback, value, sizeof value,
                               Settings.IniPath);
    }
    *key.number = ParseSettingNumber(value);
    if (key.number == &Settings.GainDB) UpdateGainLinear();
  }
}

void SaveSettings() {
  if (Settings.IniPath[0] == '\0') return;
  for (const Key& key : kKeys) {
    char value[16];
    const char* text = key.text;
    if (!text) {
      std::snprintf(value, sizeof value, "%d", static_cast<int>(key.number->load()));
      text = value;
    }
    WritePrivateProfileStringA(kSettingsSection, key.name, text, Settings.IniPath);
  }
}
