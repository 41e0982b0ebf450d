// SPDX-License-Identifier: GPL-2.0-or-later
// FileNamePart: the name shown for a path or an error text.
#include <gtest/gtest.h>

#include <string>

#include "ui/file_name.h"

namespace {

TEST(FileNamePart, TableOfPaths) {
  const struct {
    const char* in;
    const char* out;
  } table[] = {
      {"D:\\IR\\Hall.wav", "Hall.wav"},
      {"D:Hall.wav", "Hall.wav"},
      {"D:\\IR\\", ""},
      {"", ""},
      {"-Not enough memory.", "Not enough memory."},
      {"-File is not a standard 16 bit .WAV file", "File is not a standard 16 bit .WAV file"},
      {"Hall.wav", "all.wav"},
      {"\\\\server\\share\\a:b.wav", "b.wav"}};
  for (const auto& row : table) EXPECT_EQ(std::string(FileNamePart(row.in)), row.out) << row.in;
  const char text[] = "C:\\x\\y.wav";
  EXPECT_EQ(FileNamePart(text), text + 5);  // a pointer into the text, no copy
}

}  // namespace
