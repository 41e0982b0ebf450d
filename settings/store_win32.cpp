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

// Keys the window changes that a save writes only when they differ from
// their default or are in the file already, so that a listener who never
// touches them keeps the nine-key file.
struct OptionalKey {
  const char* name;
  int32_t fallback;
  bool isSwitch;  // any non-zero value counts as 1
  std::atomic<int32_t>* number;
};
const OptionalKey kOptionalKeys[] = {
    {"LowLatency", 0, true, &Settings.LowLatency},
    {"ResampleIR", 0, true, &Settings.ResampleIR},
    {"Mix", 100, false, &Settings.Mix},
    {"MatchLoudness", 0, true, &Settings.MatchLoudness},
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

// A save failed and none has succeeded since.
bool savePending = false;

const char* ReadPath() { return seedPath[0] ? seedPath : Settings.IniPath; }

bool FileExists(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The folder that holds path.
void FolderOf(const char* path, char dir[kPathChars]) {
  std::snprintf(dir, kPathChars, "%s", path);
  StripFileName(dir);
}

ULONGLONG Ticks(const FILETIME& t) { return (ULONGLONG{t.dwHighDateTime} << 32) | t.dwLowDateTime; }

// The store's temporary files: a prefix of their own, since the IR tool
// writes "qlv" ones into the same folder.
constexpr char kTempPrefix[] = "qls";

// A sharing or lock violation means another process has the file open for
// a moment (a save, a backup, a scanner): busy, not unwritable.
bool IsBusy(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// A save makes a temporary file in the folder and renames it over the file:
// both the folder and an existing file must take writes.
bool CanWrite(const char* path) {
  if (FileExists(path)) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return IsBusy(GetLastError());
    CloseHandle(file);
  }
  char dir[kPathChars];
  FolderOf(path, dir);
  char probe[MAX_PATH];
  if (!GetTempFileNameA(dir, kTempPrefix, 0, probe)) return false;
  DeleteFileA(probe);
  return true;
}

// Removes the temporary files that saves cut short by a crash left in the
// folder of path. A save takes milliseconds, so only old ones are leftovers;
// a younger one may be another player's save in progress.
void RemoveStaleTemps(const char* path) {
  char dir[kPathChars];
  FolderOf(path, dir);
  char name[kPathChars];
  const int n = std::snprintf(name, sizeof name, "%s\\%s*.tmp", dir, kTempPrefix);
  if (!dir[0] || n < 0 || n >= kPathChars) return;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const ULONGLONG kStale = 10ULL * 60 * 10000000;  // ten minutes, in 100 ns
  const ULONGLONG cutoff = Ticks(now) - kStale;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(name, &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (Ticks(found.ftLastWriteTime) >= cutoff ||
        (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
      continue;
    const int m = std::snprintf(name, sizeof name, "%s\\%s", dir, found.cFileName);
    if (m > 0 && m < kPathChars) DeleteFileA(name);
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

// Writes the temporary file's data to the disk, so that a power cut after
// the rename cannot leave an empty file. The profile calls keep no handle.
bool FlushToDisk(const char* path) {
  HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool flushed = FlushFileBuffers(file) != 0;
  CloseHandle(file);
  return flushed;
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
  if (Settings.IniPath[0]) RemoveStaleTemps(Settings.IniPath);
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
    if (key.number == &Settings.GainDB) SetGainDB(Settings.GainDB);
  }
  // The optional keys: a switch reads any non-zero value as 1, the mix
  // any number (the engine takes the nearest end of 0..100).
  for (const OptionalKey& key : kOptionalKeys) {
    char fallback[16], value[512];
    std::snprintf(fallback, sizeof fallback, "%d", static_cast<int>(key.fallback));
    std::strcpy(value, fallback);
    if (haveIni) {
      GetPrivateProfileStringA(kSettingsSection, key.name, fallback, value, sizeof value, readPath);
    }
    const int32_t number = ParseSettingNumber(value);
    *key.number = key.isSwitch ? number != 0 : number;
  }
}

namespace {

bool WriteSettingsFile() {
  char dir[kPathChars];
  FolderOf(Settings.IniPath, dir);
  CreateDirectoryA(dir, nullptr);  // the per-user folder, at the first save
  // The keys go into a copy that then replaces the file whole: another
  // player's save or a crash never leaves half of one.
  char temp[MAX_PATH];
  if (!GetTempFileNameA(dir, kTempPrefix, 0, temp)) return false;
  // A copy that fails (the file held by a scanner, say) abandons the save:
  // the nine keys alone would replace every other line of the file. Only a
  // file that no longer exists is replaced by the keys alone, and so is a
  // seed beside the DLL that this user may not read: nothing of it could be
  // read at start-up either, and the per-user file would never be written.
  const char* source = ReadPath();
  if (source[0] && !CopyFileA(source, temp, FALSE)) {
    const DWORD error = GetLastError();
    const bool unreadableSeed = source == seedPath && error == ERROR_ACCESS_DENIED;
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && !unreadableSeed) {
      DeleteFileA(temp);
      return false;
    }
  }
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
  for (const OptionalKey& key : kOptionalKeys) {
    // A line already there that means the same (LowLatency=7 for 1) is
    // left as the listener wrote it.
    char present[512];
    const bool there =
        GetPrivateProfileStringA(kSettingsSection, key.name, "", present, sizeof present, temp) > 0;
    int32_t meant = there ? ParseSettingNumber(present) : key.fallback;
    if (key.isSwitch) meant = meant != 0;
    const int32_t now = key.number->load();
    if (now == meant) continue;
    char value[16];
    std::snprintf(value, sizeof value, "%d", static_cast<int>(now));
    written = WritePrivateProfileStringA(kSettingsSection, key.name, value, temp) && written;
  }
  WritePrivateProfileStringA(nullptr, nullptr, nullptr, temp);  // flush any cached copy
  if (written && FlushToDisk(temp) &&
      MoveFileExA(temp, Settings.IniPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    seedPath[0] = '\0';
    return true;
  }
  DeleteFileA(temp);
  return false;
}

}  // namespace

bool SavePending() { return savePending; }

bool SaveSettings() {
  if (Settings.IniPath[0] == '\0') return false;  // nowhere to save: nothing to retry
  savePending = !WriteSettingsFile();
  return !savePending;
}
