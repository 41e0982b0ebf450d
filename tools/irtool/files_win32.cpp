// SPDX-License-Identifier: GPL-2.0-or-later
// The IR tool's file operations on Windows, with calls Windows XP has.
#include <windows.h>

#include "tools/irtool/files.h"

std::string JoinPath(const std::string& dir, const std::string& name) { return dir + "\\" + name; }

bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool MakeFolder(const std::string& path) {
  return CreateDirectoryA(path.c_str(), nullptr) || IsFolder(path);
}

std::vector<std::string> FileNamesIn(const std::string& dir) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  // "*.wav" would also match names whose 8.3 alias alone ends in .WAV.
  HANDLE search = FindFirstFileA(JoinPath(dir, "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return names;
}

std::string CreateTempBeside(const std::string& dest) {
  const size_t cut = dest.find_last_of("\\/");
  const std::string dir = cut == std::string::npos ? "." : dest.substr(0, cut);
  char path[MAX_PATH];
  if (!GetTempFileNameA(dir.c_str(), "qlv", 0, path)) return "";
  return path;
}

bool CommitTemp(const std::string& temp, const std::string& dest, bool replace) {
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  return MoveFileExA(temp.c_str(), dest.c_str(), flags) != 0;
}

void RemoveFile(const std::string& path) { DeleteFileA(path.c_str()); }
