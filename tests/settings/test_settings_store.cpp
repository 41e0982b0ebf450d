// SPDX-License-Identifier: GPL-2.0-or-later
// The INI store against real private-profile files, under Wine.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "settings/settings.h"
#include "tests/support/audio.h"
#include "tests/support/ini.h"

namespace {

class SettingsStore : public ::testing::Test {
 protected:
  std::string dir;
  std::string ini;

  void SetUp() override {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    char name[MAX_PATH];
    GetTempFileNameA(temp, "qlv", 0, name);
    DeleteFileA(name);
    CreateDirectoryA(name, nullptr);
    dir = name;
    ini = dir + "\\plugin.ini";
    std::snprintf(Settings.PluginDir, kPathChars, "%s", dir.c_str());
    std::snprintf(Settings.IniPath, kPathChars, "%s", ini.c_str());
  }
  void TearDown() override {
    DeleteFileA(ini.c_str());
    RemoveDirectoryA(dir.c_str());
  }
};

TEST_F(SettingsStore, NoFileGivesDefaults) {
  Settings.GainDB = 9;
  LoadSettings();
  EXPECT_EQ(Settings.Active, 1);
  EXPECT_EQ(Settings.AutoGain, 1);
  EXPECT_EQ(Settings.IRLimitEn, 0);
  EXPECT_EQ(Settings.IRLimit, 4000);
  EXPECT_EQ(Settings.GainDB, 0);
  EXPECT_EQ(Settings.GainLinear, 1.0);
  EXPECT_EQ(Settings.ForceMonoIn, 0);
  EXPECT_EQ(Settings.ForceMonoOut, 0);
  EXPECT_EQ(std::string(Settings.IRFile), dir + "\\Impulse Responses\\Chapel.wav");
  EXPECT_EQ(std::string(Settings.IRDir), dir + "\\Impulse Responses");
}

TEST_F(SettingsStore, SavesNineKeysInOrderAsPlainDecimals) {
  LoadSettings();
  Settings.GainDB = -6;
  SaveSettings();
  EXPECT_EQ(ReadText(ini), SavedIni(dir, {{"GainDB", "-6"}}));
}

TEST_F(SettingsStore, ValuesRoundTripAndOtherSectionsStayUntouched) {
  WriteText(ini,
            "[Other]\r\nActive=7\r\nkeep=this\r\n[quillarven]\r\nactive=0\r\nIRLimitEn=1\r\n"
            "IRLimit=250\r\nGainDB=-12\r\nForceMonoIn=1\r\nForceMonoOut=1\r\nAutoGain=0\r\n"
            "IRFile=D:\\IR\\Hall.wav\r\nIRDir=D:\\IR\r\nExtra=1\r\n[Last]\r\nx=y\r\n");
  LoadSettings();
  EXPECT_EQ(Settings.Active, 0);  // key and section names ignore letter case
  EXPECT_EQ(Settings.IRLimitEn, 1);
  EXPECT_EQ(Settings.IRLimit, 250);
  EXPECT_EQ(Settings.GainDB, -12);
  EXPECT_DOUBLE_EQ(Settings.GainLinear, 0.251188643150958);
  EXPECT_EQ(Settings.ForceMonoIn, 1);
  EXPECT_EQ(Settings.ForceMonoOut, 1);
  EXPECT_EQ(Settings.AutoGain, 0);
  EXPECT_STREQ(Settings.IRFile, "D:\\IR\\Hall.wav");
  EXPECT_STREQ(Settings.IRDir, "D:\\IR");
  Settings.IRLimit = 300;
  SaveSettings();
  const std::string text = ReadText(ini);
  EXPECT_NE(text.find("[Other]\r\nActive=7\r\nkeep=this\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Extra=1\r\n"), std::string::npos);
  EXPECT_NE(text.find("[Last]\r\nx=y\r\n"), std::string::npos);
  EXPECT_NE(text.find("IRLimit=300\r\n"), std::string::npos);
  char other[16];
  GetPrivateProfileStringA("Other", "Active", "", other, sizeof other, ini.c_str());
  EXPECT_STREQ(other, "7");
}

TEST_F(SettingsStore, EmptyAndJunkValues) {
  WriteText(ini,
            "[Quillarven]\r\nActive=\r\nIRFile=\r\nIRDir=   \r\nIRLimit=abc\r\n"
            "GainDB=  -7dB\r\nForceMonoIn=99999999999999\r\nForceMonoOut=-99999999999\r\n"
            "AutoGain=\x01\x02\xff\r\n");
  LoadSettings();
  EXPECT_EQ(Settings.Active, 0);  // present but empty: atol of nothing
  EXPECT_EQ(std::string(Settings.IRFile), dir + "\\Impulse Responses\\Chapel.wav");
  EXPECT_EQ(std::string(Settings.IRDir), dir + "\\Impulse Responses");
  EXPECT_EQ(Settings.IRLimit, 0);
  EXPECT_EQ(Settings.GainDB, -7);
  EXPECT_EQ(Settings.ForceMonoIn, INT32_MAX);
  EXPECT_EQ(Settings.ForceMonoOut, INT32_MIN);
  EXPECT_EQ(Settings.AutoGain, 0);
}

TEST_F(SettingsStore, OverlongValuesAreCutToTheirFields) {
  const std::string longPath = "C:\\" + std::string(400, 'a') + ".wav";
  WriteText(ini, "[Quillarven]\r\nIRFile=" + longPath + "\r\nIRDir=" + longPath +
                     "\r\nGainDB=" + std::string(700, '5') + "\r\n");
  LoadSettings();
  EXPECT_EQ(std::strlen(Settings.IRFile), 259u);
  EXPECT_EQ(std::string(Settings.IRFile), longPath.substr(0, 259));
  EXPECT_EQ(std::strlen(Settings.IRDir), 259u);
  EXPECT_EQ(Settings.GainDB, INT32_MAX);
}

// Files no writer made: numbers past 32 bits, words, binary junk with a NUL
// inside, paths of 5000 characters. What is read is written back as keys
// that read the same again.
TEST_F(SettingsStore, HostileFilesRoundTripWellFormed) {
  const char junk[] =
      "\x01\x02\xff\xfe\r\nGainDB=\x7f\x80\r\n[\r\n=\r\n==\r\nIRLimit=12\x00"
      "34\r\n";
  const std::string cases[] = {
      "Active=99999999999999999999\r\nGainDB=-99999999999999999999\r\nIRLimit=-5\r\n",
      "GainDB=abc\r\nIRLimit=\r\nAutoGain=yes\r\nForceMonoIn=-1\r\n",
      "IRFile=" + std::string(5000, 'x') + "\r\nIRDir=" + std::string(5000, 'y') + "\r\n",
      std::string(junk, sizeof junk - 1),
  };
  for (const std::string& text : cases) {
    WriteText(ini, "[Quillarven]\r\n" + text);
    LoadSettings();
    EXPECT_LT(std::strlen(Settings.IRFile), size_t{kPathChars});
    EXPECT_LT(std::strlen(Settings.IRDir), size_t{kPathChars});
    const int32_t read[] = {Settings.Active, Settings.IRLimit, Settings.GainDB,
                            Settings.ForceMonoIn, Settings.AutoGain};
    const std::string file = Settings.IRFile;
    SaveSettings();
    LoadSettings();
    const int32_t again[] = {Settings.Active, Settings.IRLimit, Settings.GainDB,
                             Settings.ForceMonoIn, Settings.AutoGain};
    EXPECT_TRUE(std::equal(read, read + 5, again)) << ReadText(ini);
    EXPECT_EQ(Settings.IRFile, file);
  }
}

TEST_F(SettingsStore, ErrorTextIsSavedAndReadLikeAPath) {
  LoadSettings();
  std::strcpy(Settings.IRFile, "-File is not a standard 16 bit .WAV file");
  SaveSettings();
  Settings.IRFile[0] = '\0';
  LoadSettings();
  EXPECT_STREQ(Settings.IRFile, "-File is not a standard 16 bit .WAV file");
}

TEST_F(SettingsStore, WithoutAnIniPathNothingIsWritten) {
  Settings.IniPath[0] = '\0';
  LoadSettings();
  EXPECT_EQ(Settings.Active, 1);
  SaveSettings();
  char windows[MAX_PATH];
  GetWindowsDirectoryA(windows, MAX_PATH);
  char probe[16];
  GetPrivateProfileStringA("Quillarven", "Active", "none", probe, sizeof probe, "win.ini");
  EXPECT_STREQ(probe, "none");
}

// A file open elsewhere for a moment is busy, not unwritable: it stays the
// settings file.
TEST_F(SettingsStore, ABusyFileIsKept) {
  WriteText(ini, "[Quillarven]\r\nGainDB=-3\r\n");
  HANDLE other =
      CreateFileA(ini.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ChooseSettingsFile();
  CloseHandle(other);
  EXPECT_EQ(std::string(Settings.IniPath), ini);
}

// Temporary files of saves a crash cut short are removed; a young one may be
// another save in progress, and the IR tool's are its own.
TEST_F(SettingsStore, OnlyTheStoresOldTemporaryFilesAreRemoved) {
  const std::string leftover = dir + "\\qls1A.tmp", writing = dir + "\\qls2B.tmp",
                    tools = dir + "\\qlv3C.tmp";
  for (const std::string& name : {leftover, writing, tools}) WriteText(name, "x");
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const ULONGLONG hourAgo =
      ((ULONGLONG{now.dwHighDateTime} << 32) | now.dwLowDateTime) - 3600ULL * 10000000;
  const FILETIME old{static_cast<DWORD>(hourAgo), static_cast<DWORD>(hourAgo >> 32)};
  for (const std::string& name : {leftover, tools}) {
    HANDLE file =
        CreateFileA(name.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    SetFileTime(file, nullptr, nullptr, &old);
    CloseHandle(file);
  }
  ChooseSettingsFile();
  EXPECT_EQ(GetFileAttributesA(leftover.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(GetFileAttributesA(writing.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(GetFileAttributesA(tools.c_str()), INVALID_FILE_ATTRIBUTES);
  for (const std::string& name : {writing, tools}) DeleteFileA(name.c_str());
}

TEST(DerivePluginPaths, TakesTheModulesDirectory) {
  char exe[MAX_PATH];
  GetModuleFileNameA(nullptr, exe, MAX_PATH);
  DerivePluginPaths(nullptr);
  std::string expected = exe;
  expected = expected.substr(0, expected.rfind('\\'));
  EXPECT_EQ(std::string(Settings.PluginDir), expected);
  EXPECT_EQ(std::string(Settings.IniPath), expected + "\\plugin.ini");
}

}  // namespace
