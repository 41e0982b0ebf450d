// The platform-free settings rules: gain, path cutting and composing, numbers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "settings/settings.h"

namespace {

TEST(UpdateGainLinear, DecibelsOfAmplitude) {
  const struct {
    int32_t db;
    double linear;
  } table[] = {{0, 1.0}, {-60, 0.001}, {20, 10.0}, {-6, 0.5011872336272722}, {100, 100000.0}};
  for (const auto& row : table) {
    Settings.GainDB = row.db;
    UpdateGainLinear();
    EXPECT_DOUBLE_EQ(Settings.GainLinear, row.linear) << row.db;
  }
}

std::string Strip(const char* text) {
  char buffer[kPathChars];
  std::strcpy(buffer, text);
  StripFileName(buffer);
  return buffer;
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
