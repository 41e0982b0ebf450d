// SPDX-License-Identifier: GPL-2.0-or-later
// The IR tool's file operations on POSIX systems (the native build).
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "tools/irtool/files.h"

std::string JoinPath(const std::string& dir, const std::string& name) { return dir + "/" + name; }

bool IsFolder(const std::string& path) {
  struct stat s;
  return stat(path.c_str(), &s) == 0 && S_ISDIR(s.st_mode);
}

bool Exists(const std::string& path) {
  struct stat s;
  return stat(path.c_str(), &s) == 0;
}

int64_t FileSize(const std::string& path) {
  struct stat s;
  return stat(path.c_str(), &s) == 0 ? int64_t{s.st_size} : -1;
}

std::FILE* OpenFile(const std::string& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}

SNDFILE* OpenSound(const std::string& path, SF_INFO* info) {
  return sf_open(path.c_str(), SFM_READ, info);
}

bool MakeFolder(const std::string& path) {
  return mkdir(path.c_str(), 0777) == 0 || (errno == EEXIST && IsFolder(path));
}

std::vector<std::string> FileNamesIn(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (const dirent* entry = readdir(d)) {
    if (!IsFolder(JoinPath(dir, entry->d_name))) names.push_back(entry->d_name);
  }
  closedir(d);
  return names;
}

std::string CreateTempBeside(const std::string& dest) {
  const size_t cut = dest.find_last_of('/');
  std::string path = (cut == std::string::npos ? "." : dest.substr(0, cut)) + "/qlvXXXXXX";
  const int fd = mkstemp(&path[0]);
  if (fd < 0) return "";
  // mkstemp's 0600 would stay with the output: give it what a new file gets.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  close(fd);
  return path;
}

bool CommitTemp(const std::string& temp, const std::string& dest, bool replace) {
  if (replace) return std::rename(temp.c_str(), dest.c_str()) == 0;
  // A hard link fails where dest exists: no overwrite, in one step.
  if (link(temp.c_str(), dest.c_str()) != 0) return false;
  unlink(temp.c_str());
  return true;
}

void RemoveFile(const std::string& path) { std::remove(path.c_str()); }

// The native build serves the tests: no code page to fit.
std::string PluginFileName(const std::string& name) { return name; }
bool PluginCanOpen(const std::string&) { return true; }

// As Windows compares the names the tool writes for the plug-in.
std::string FoldCase(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return folded;
}

void Print(std::FILE* out, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), out);
  std::fflush(out);
}

bool IsConsole(std::FILE* out) { return isatty(fileno(out)); }
