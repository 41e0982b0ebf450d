// SPDX-License-Identifier: GPL-2.0-or-later
// FileNamePart: pure text handling, shared by both builds.
#include "ui/file_name.h"

const char* FileNamePart(const char* path) {
  if (*path == '\0') return path;
  const char* last = nullptr;
  for (const char* p = path; *p; ++p) {
    if (*p == '\\' || *p == ':') last = p;
  }
  return last ? last + 1 : path + 1;
}
