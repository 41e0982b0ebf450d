// SPDX-License-Identifier: GPL-2.0-or-later
// The IR tool's file operations on Windows, with calls Windows XP has:
// the wide-character ones, so that any name a listener gives is found.
#include <windows.h>
// After windows.h:
#include <io.h>

#include "tools/irtool/files.h"

std::string Utf8(const wchar_t* wide) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return "";
  std::string utf8(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, &utf8[0], n, nullptr, nullptr);
  utf8.resize(n - 1);
  return utf8;
}

std::wstring Wide(const std::string& utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
  std::wstring wide(n, L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), &wide[0], n);
  return wide;
}

std::string JoinPath(const std::string& dir, const std::string& name) { return dir + "\\" + name; }

bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool Exists(const std::string& path) {
  return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

int64_t FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) return -1;
  return int64_t{data.nFileSizeHigh} << 32 | data.nFileSizeLow;
}

std::FILE* OpenFile(const std::string& path, const char* mode) {
  return _wfopen(Wide(path).c_str(), Wide(mode).c_str());
}

SNDFILE* OpenSound(const std::string& path, SF_INFO* info) {
  return sf_wchar_open(Wide(path).c_str(), SFM_READ, info);
}

bool MakeFolder(const std::string& path) {
  return CreateDirectoryW(Wide(path).c_str(), nullptr) || IsFolder(path);
}

std::vector<std::string> FileNamesIn(const std::string& dir) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  // "*.wav" would also match names whose 8.3 alias alone ends in .WAV.
  HANDLE search = FindFirstFileW(Wide(JoinPath(dir, "*")).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
      names.push_back(Utf8(found.cFileName));
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

std::string CreateTempBeside(const std::string& dest) {
  const size_t cut = dest.find_last_of("\\/");
  const std::string dir = cut == std::string::npos ? "." : dest.substr(0, cut);
  wchar_t path[MAX_PATH];
  if (!GetTempFileNameW(Wide(dir).c_str(), L"qlv", 0, path)) return "";
  return Utf8(path);
}

bool CommitTemp(const std::string& temp, const std::string& dest, bool replace) {
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  return MoveFileExW(Wide(temp).c_str(), Wide(dest).c_str(), flags) != 0;
}

void RemoveFile(const std::string& path) { DeleteFileW(Wide(path).c_str()); }

namespace {

// True when the ANSI code page holds these characters as they are: no
// best-fit look-alike, no default character.
bool AnsiHolds(const wchar_t* chars, int count) {
  if (GetACP() == CP_UTF8) return true;
  const int n =
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, chars, count, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return false;
  std::string bytes(n, '\0');
  BOOL lost = FALSE;
  return WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, chars, count, &bytes[0], n, nullptr,
                             &lost) == n &&
         !lost;
}

}  // namespace

std::string PluginFileName(const std::string& name) {
  const std::wstring wide = Wide(name);
  std::wstring fitted;
  for (size_t i = 0; i < wide.size();) {
    // A character outside the Basic Multilingual Plane is two units.
    const int units = IS_HIGH_SURROGATE(wide[i]) && i + 1 < wide.size() ? 2 : 1;
    if (AnsiHolds(&wide[i], units)) {
      fitted.append(wide, i, units);
    } else {
      fitted += L'_';
    }
    i += units;
  }
  return Utf8(fitted.c_str());
}

bool PluginCanOpen(const std::string& path) {
  const std::wstring wide = Wide(path);
  return wide.empty() || AnsiHolds(wide.c_str(), int(wide.size()));
}

std::string FoldCase(const std::string& name) {
  std::wstring wide = Wide(name);
  if (wide.empty()) return name;
  std::wstring upper(wide.size(), L'\0');
  if (!LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, wide.c_str(), int(wide.size()), &upper[0],
                    int(upper.size()))) {
    return name;
  }
  return Utf8(upper.c_str());
}

namespace {

HANDLE ConsoleOf(std::FILE* out) {
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out)));
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) ? handle : nullptr;
}

}  // namespace

bool IsConsole(std::FILE* out) { return ConsoleOf(out) != nullptr; }

void Print(std::FILE* out, const std::string& text) {
  std::fflush(out);
  DWORD written = 0;
  if (const HANDLE handle = ConsoleOf(out)) {
    const std::wstring wide = Wide(text);
    WriteConsoleW(handle, wide.data(), DWORD(wide.size()), &written, nullptr);
    return;
  }
  std::fwrite(text.data(), 1, text.size(), out);
  std::fflush(out);
}
