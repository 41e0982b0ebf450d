// SPDX-License-Identifier: GPL-2.0-or-later
// The platform-free settings rules: gain, path cutting, naming and composing,
// numbers.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "settings/settings.h"

namespace {

// Decibels of amplitude: 20 dB is a factor 10.
TEST(SetGainDB, KeepsTheLinearFactorWithTheDecibels) {
  SetGainDB(-6);
  EXPECT_EQ(Settings.GainDB, -6);
  EXPECT_DOUBLE_EQ(Settings.GainLinear, 0.5011872336272722);
  SetGainDB(20);
  EXPECT_DOUBLE_EQ(Settings.GainLinear, 10.0);
  EXPECT_FALSE(ReplaceGainDB(19, -60));
  EXPECT_TRUE(ReplaceGainDB(20, -60));
  EXPECT_DOUBLE_EQ(Settings.GainLinear, 0.001);
}

std::string Strip(const char* text) {
  char buffer[kPathChars];
  std::strcpy(buffer, text);
  StripFileName(buffer);
  return buffer;
}

TEST(FileNamePart, TableOfPaths) {
  const struct {
    const char* in;
    const char* out;
  } table[] = {{"D:\\IR\\Hall.wav", "Hall.wav"},
               {"D:Hall.wav", "Hall.wav"},
               {"D:\\IR\\", ""},
               {"", ""},
               {"-Not enough memory.", "Not enough memory."},
               {"Hall.wav", "all.wav"},
               {"\\\\server\\share\\a:b.wav", "b.wav"}};
  for (const auto& row : table) EXPECT_EQ(std::string(FileNamePart(row.in)), row.out) << row.in;
  const char text[] = "C:\\x\\y.wav";
  EXPECT_EQ(FileNamePart(text), text + 5);  // a pointer into the text, no copy
}

TEST(StripFileName, CutsAtLastBackslashOnly) {
  EXPECT_EQ(Strip("D:\\Audio\\IR\\hall.wav"), "D:\\Audio\\IR");
  EXPECT_EQ(Strip("D:\\x.dll"), "D:");
  EXPECT_EQ(Strip("dir\\"), "dir");
  EXPECT_EQ(Strip("no separator"), "");
  EXPECT_EQ(Strip(""), "");
}

TEST(ParseSettingNumber, ReadsLikeAtol) {
  EXPECT_EQ(ParseSettingNumber("42"), 42);
  EXPECT_EQ(ParseSettingNumber("  -6"), -6);
  EXPECT_EQ(ParseSettingNumber("\t+17dB"), 17);
  EXPECT_EQ(ParseSettingNumber("12.9"), 12);
  EXPECT_EQ(ParseSettingNumber("abc"), 0);
  EXPECT_EQ(ParseSettingNumber(""), 0);
  EXPECT_EQ(ParseSettingNumber("-"), 0);
  EXPECT_EQ(ParseSettingNumber("- 5"), 0);
  EXPECT_EQ(ParseSettingNumber("0x10"), 0);
}

TEST(ParseSettingNumber, SaturatesBeyondThirtyTwoBits) {
  EXPECT_EQ(ParseSettingNumber("2147483647"), INT32_MAX);
  EXPECT_EQ(ParseSettingNumber("2147483648"), INT32_MAX);
  EXPECT_EQ(ParseSettingNumber("-2147483648"), INT32_MIN);
  EXPECT_EQ(ParseSettingNumber("-2147483649"), INT32_MIN);
  EXPECT_EQ(ParseSettingNumber(std::string(500, '9').c_str()), INT32_MAX);
  EXPECT_EQ(ParseSettingNumber(("-" + std::string(500, '9')).c_str()), INT32_MIN);
  EXPECT_EQ(ParseSettingNumber("00000000000000000000000000012"), 12);
}

TEST(ComposePath, NeverWritesPastTheField) {
  char dst[kPathChars];
  std::memset(dst, 'x', sizeof dst);
  const std::string dir230(230, 'd');
  EXPECT_TRUE(ComposePath(dst, dir230.c_str(), "\\Impulse Responses\\Chapel.wav"));
  EXPECT_EQ(std::strlen(dst), 259u);
  const std::string dir231(231, 'd');
  EXPECT_FALSE(ComposePath(dst, dir231.c_str(), "\\Impulse Responses\\Chapel.wav"));
  EXPECT_STREQ(dst, "");
}

TEST(ApplyDefaultPaths, FillsOnlyEmptyFieldsAndLeavesTooLongOnesEmpty) {
  std::strcpy(Settings.PluginDir, "C:\\Player\\Plugins");
  Settings.IRFile[0] = '\0';
  std::strcpy(Settings.IRDir, "D:\\Mine");
  ApplyDefaultPaths();
  EXPECT_STREQ(Settings.IRFile, "C:\\Player\\Plugins\\Impulse Responses\\Chapel.wav");
  EXPECT_STREQ(Settings.IRDir, "D:\\Mine");

  const std::string longDir(235, 'p');
  std::strcpy(Settings.PluginDir, longDir.c_str());
  Settings.IRFile[0] = '\0';
  Settings.IRDir[0] = '\0';
  ApplyDefaultPaths();
  EXPECT_STREQ(Settings.IRFile, "");  // 235 + 29 would not fit
  EXPECT_EQ(std::string(Settings.IRDir), longDir + "\\Impulse Responses");
}

}  // namespace

namespace {}  // namespace
