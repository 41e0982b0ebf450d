// SPDX-License-Identifier: GPL-2.0-or-later
// The platform-free part of the IR tool's file operations.
#include "tools/irtool/files.h"

#include <algorithm>
#include <cctype>

std::string FileName(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<std::string> WavFilesIn(const std::string& dir) {
  std::vector<std::string> wavs;
  for (const std::string& name : FileNamesIn(dir)) {
    const size_t n = name.size();
    if (n > 4 && name[n - 4] == '.' &&
        std::tolower(static_cast<unsigned char>(name[n - 3])) == 'w' &&
        std::tolower(static_cast<unsigned char>(name[n - 2])) == 'a' &&
        std::tolower(static_cast<unsigned char>(name[n - 1])) == 'v') {
      wavs.push_back(name);
    }
  }
  std::sort(wavs.begin(), wavs.end());
  for (auto& wav : wavs) wav = JoinPath(dir, wav);
  return wavs;
}
