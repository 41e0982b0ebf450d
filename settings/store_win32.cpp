// SPDX-License-Identifier: GPL-2.0-or-later
// The INI store: where the settings file lives, and the nine keys of section
// "Quillarven" read and written with the platform's private-profile calls.
#include <windows.h>
// After windows.h:
#include <shlobj.h>

#include <cstdio>
#include <cstring>

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

// Until a new per-user file is first saved, settings are read from the file
// beside the DLL; empty otherwise, and IniPath is read and written.
char seedPath[kPathChars];

const char* ReadPath() { return seedPath[0] ? seedPath : Settings.IniPath; }

bool FileExists(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A save makes a temporary file in the folder and renames it over the file:
// both the folder and an existing file must take writes.
bool CanWrite(const char* path) {
  if (FileExists(path)) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
  }
  char dir[kPathChars];
  std::snprintf(dir, sizeof dir, "%s", path);
  StripFileName(dir);
  char probe[MAX_PATH];
  if (!GetTempFileNameA(dir, "qlv", 0, probe)) return false;
  DeleteFileA(probe);
  return true;
}

// %APPDATA%\Quillarven Convolution\plugin.ini, or empty when there is none.
void PerUserIniPath(char* path) {
  path[0] = '\0';
  char appData[MAX_PATH];
  if (SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData) != S_OK) {
    return;
  }
  ComposePath(path, appData, "\\Quillarven Convolution\\plugin.ini");
}

}  // namespace

void DerivePluginPaths(void* instance) {
  Settings.PluginDir[0] = '\0';
  Settings.IniPath[0] = '\0';
  // The whole name, not the 255 characters the player's interface allows:
  // only the directory has to fit.
  char name[1024];
  const DWORD n = GetModuleFileNameA(static_cast<HMODULE>(instance), name, sizeof name);
  if (n == 0 || n >= sizeof name) return;
  name[n] = '\0';  // XP leaves a cut name unterminated
  StripFileName(name);
  if (std::strlen(name) >= sizeof Settings.PluginDir) return;
  std::memcpy(Settings.PluginDir, name, std::strlen(name) + 1);
  ComposePath(Settings.IniPath, Settings.PluginDir, "\\plugin.ini");
}

void ChooseSettingsFile() {
  char beside[kPathChars];
  std::memcpy(beside, Settings.IniPath, kPathChars);
  char perUser[kPathChars];
  PerUserIniPath(perUser);
  seedPath[0] = '\0';
  if (perUser[0] && FileExists(perUser)) {
    std::memcpy(Settings.IniPath, perUser, kPathChars);
  } else if (beside[0] && CanWrite(beside)) {
    // The usual case: plugin.ini beside the DLL.
  } else if (perUser[0]) {
    // A folder this user cannot write (Program Files): saved per user, first
    // read from the file beside the DLL, where an installer may have put defaults.
    std::memcpy(seedPath, beside, kPathChars);
    std::memcpy(Settings.IniPath, perUser, kPathChars);
  }
}

void LoadSettings() {
  // Without a usable path the calls would fall back to WIN.INI.
  const char* readPath = ReadPath();
  const bool haveIni = readPath[0] != '\0';
  for (const Key& key : kKeys) {
    if (key.text) {
      key.text[0] = '\0';
      if (haveIni) {
        GetPrivateProfileStringA(kSettingsSection, key.name, key.fallback, key.text, kPathChars,
                                 readPath);
      }
      if (key.text == Settings.IRDir) ApplyDefaultPaths();
      continue;
    }
    char value[512];
    std::snprintf(value, sizeof value, "%s", key.fallback);
    if (haveIni) {
      GetPrivateProfileStringA(kSettingsSection, key.name, key.fallback, value, sizeof value,
                               readPath);
    }
    *key.number = ParseSettingNumber(value);
    if (key.number == &Settings.GainDB) UpdateGainLinear();
  }
  // Not one of the nine keys that a save writes, so it stays as written.
  char value[512] = "0";
  if (haveIni) {
    GetPrivateProfileStringA(kSettingsSection, "LowLatency", "0", value, sizeof value, readPath);
  }
  Settings.LowLatency = ParseSettingNumber(value) != 0;
}

bool SaveSettings() {
  if (Settings.IniPath[0] == '\0') return false;
  char dir[kPathChars];
  std::memcpy(dir, Settings.IniPath, kPathChars);
  StripFileName(dir);
  CreateDirectoryA(dir, nullptr);  // the per-user folder, at the first save
  // The keys go into a copy that then replaces the file whole: another
  // player's save or a crash never leaves half of one.
  char temp[MAX_PATH];
  if (!GetTempFileNameA(dir, "qlv", 0, temp)) return false;
  const char* source = ReadPath();
  if (source[0] && FileExists(source)) CopyFileA(source, temp, FALSE);
  SetFileAttributesA(temp, FILE_ATTRIBUTE_NORMAL);
  bool written = true;
  for (const Key& key : kKeys) {
    char value[16];
    const char* text = key.text;
    if (!text) {
      std::snprintf(value, sizeof value, "%d", static_cast<int>(key.number->load()));
      text = value;
    }
    written = WritePrivateProfileStringA(kSettingsSection, key.name, text, temp) && written;
  }
  WritePrivateProfileStringA(nullptr, nullptr, nullptr, temp);  // flush any cached copy
  if (written &&
      MoveFileExA(temp, Settings.IniPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    seedPath[0] = '\0';
    return true;
  }
  DeleteFileA(temp);
  return false;
}
