// SPDX-License-Identifier: GPL-2.0-or-later
// Runs the plug-in in this test process as a host would (Init on this
// thread, the control window on the plug-in's own UI thread), with the test
// executable's folder as the plug-in folder.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "plugin/plugin.h"
#include "tests/support/audio.h"
#include "tests/support/engine.h"
#include "tests/support/win32.h"
#include "ui/resource.h"
#include "version.h"

constexpr char kControlTitle[] = QLV_TITLE;
constexpr char kAboutTitle[] = QLV_ABOUT_TITLE;
constexpr char kChooserTitle[] = "Choose impulse response";

class PluginInProcess : public ::testing::Test {
 protected:
  std::filesystem::path dir;  // the "plug-in folder": where the test exe lives
  HWND window = nullptr;
  bool started = false;

  void SetUp() override {
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    dir = std::filesystem::path(exe).parent_path();
    std::filesystem::create_directories(dir / "Impulse Responses");
    WritePcm16(Path("Impulse Responses\\Chapel.wav"), DecayingIr(2, 3 * 44100));
    std::filesystem::remove(Ini());
    Module.instance = GetModuleHandleA(nullptr);  // resources are linked in
  }

  void TearDown() override {
    if (started) Quit(&Module);
    started = false;
  }

  std::string Ini() const { return (dir / "plugin.ini").string(); }
  std::string Path(const std::string& name) const { return (dir / name).string(); }

  void WriteIni(const std::string& lines) { WriteText(Ini(), "[Quillarven]\r\n" + lines); }
  std::string ReadIni() const { return ReadText(Ini()); }

  // Init, then wait for the control window that the UI thread opens.
  void Start() {
    ASSERT_EQ(Init(&Module), 0);
    started = true;
    window = ui::WaitForWindow(kControlTitle);
    ASSERT_NE(window, nullptr) << "no control window";
  }

  void Stop() {
    Quit(&Module);
    started = false;
  }

  // Load, and `path` picked in the real file chooser (empty: cancelled).
  bool LoadThroughChooser(const std::string& path) {
    ui::ClickAsync(window, IDC_LOAD);
    return ui::ChooseFile(kChooserTitle, path);
  }
};
