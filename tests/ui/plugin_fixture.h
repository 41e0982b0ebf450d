// SPDX-License-Identifier: GPL-2.0-or-later
// Runs the plug-in in this test process as a host would (Init on this
// thread, the control window on the plug-in's own UI thread), with the test
// executable's folder as the plug-in folder.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "engine/engine.h"
#include "plugin/plugin.h"
#include "tools/wav_io.h"
#include "ui/resource.h"
#include "ui_harness.h"

constexpr char kControlTitle[] = "Quillarven Convolution 3.1.0";
constexpr char kAboutTitle[] = "About Quillarven Convolution 3.1.0";
constexpr char kChooserTitle[] = "Choose impulse response";

// A decaying stereo IR with a known shape, long enough to draw a curve.
inline PcmAudio DecayingIr(double seconds, int channels = 2, unsigned seed = 1) {
  PcmAudio ir;
  ir.channels = channels;
  const int frames = static_cast<int>(seconds * 44100);
  ir.samples.resize(size_t(frames) * channels);
  uint32_t x = seed * 2654435761u + 1;
  for (int j = 0; j < frames; ++j) {
    const double envelope = 24000.0 * std::exp(-5.0 * j / 44100.0);
    for (int c = 0; c < channels; ++c) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      ir.samples[size_t(j) * channels + c] =
          static_cast<int16_t>(envelope * ((x % 2001) / 1000.0 - 1.0));
    }
  }
  if (frames > 0) ir.samples[0] = 30000;
  return ir;
}

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
    WritePcm16((dir / "Impulse Responses" / "Chapel.wav").string(), DecayingIr(3.0));
    std::filesystem::remove(Ini());
    Module.instance = GetModuleHandleA(nullptr);  // resources are linked in
  }

  void TearDown() override {
    if (started) Quit(&Module);
    started = false;
  }

  std::string Ini() const { return (dir / "plugin.ini").string(); }
  std::string Path(const std::string& name) const { return (dir / name).string(); }

  void WriteIni(const std::string& lines) {
    std::ofstream(Ini(), std::ios::binary) << "[Quillarven]\r\n" << lines;
  }

  std::string ReadIni() const {
    std::ifstream in(Ini(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

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

  // Waits for the UI thread to finish what a posted click started.
  bool WaitFor(const std::function<bool()>& done, int ms = 15000) {
    for (int waited = 0; waited < ms; waited += 20) {
      if (done()) return true;
      Sleep(20);
    }
    return done();
  }
};
