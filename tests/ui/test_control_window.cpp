// SPDX-License-Identifier: GPL-2.0-or-later
// The control window as the UI thread opens it: its state from the
// settings, every command, the sliders, Load through the real file chooser
// and by dropped files, Convert and load with the shipped IR tool, the
// About window, and screenshots of both.
#include <direct.h>

#include <atomic>
#include <cctype>

#include "settings/settings.h"
#include "tests/support/plugin_fixture.h"
#include "ui/control_window.h"
#include "ui/graph_control.h"
#include "ui/ir_converter.h"

namespace {

class ControlWindow : public PluginInProcess {
 protected:
  int SliderPos(int id) {
    return static_cast<int>(SendDlgItemMessageA(window, id, TBM_GETPOS, 0, 0));
  }
  int SliderMin(int id) {
    return static_cast<int>(SendDlgItemMessageA(window, id, TBM_GETRANGEMIN, 0, 0));
  }
  int SliderMax(int id) {
    return static_cast<int>(SendDlgItemMessageA(window, id, TBM_GETRANGEMAX, 0, 0));
  }
  bool Enabled(int id) { return IsWindowEnabled(GetDlgItem(window, id)) != 0; }
};

TEST_F(ControlWindow, OpensWithTheStoredSettings) {
  const std::string ir = Path("Impulse Responses\\Chapel.wav");
  WriteIni("Active=0\r\nIRFile=" + ir +
           "\r\nIRLimitEn=1\r\nIRLimit=250\r\nGainDB=-12\r\nForceMonoIn=1\r\n"
           "ForceMonoOut=1\r\nAutoGain=0\r\nMatchLoudness=1\r\n");
  Start();
  EXPECT_EQ(ui::Text(window), kControlTitle);
  EXPECT_EQ(ui::Checked(window, IDC_ACTIVE), 0);
  EXPECT_EQ(ui::Checked(window, IDC_FORCE_MONO_IN), 1);
  EXPECT_EQ(ui::Checked(window, IDC_FORCE_MONO_OUT), 1);
  EXPECT_FALSE(Enabled(IDC_FORCE_MONO_IN));
  EXPECT_EQ(ui::Checked(window, IDC_IR_LIMIT_EN), 1);
  EXPECT_EQ(ui::Checked(window, IDC_AUTO_GAIN), 0);
  EXPECT_EQ(ui::Checked(window, IDC_MATCH_LOUDNESS), 1);
  EXPECT_FALSE(Enabled(IDC_AUTO_GAIN));
  EXPECT_EQ(SliderMin(IDC_GAIN_SLIDER), 0);
  EXPECT_EQ(SliderMax(IDC_GAIN_SLIDER), 80);
  EXPECT_EQ(SliderPos(IDC_GAIN_SLIDER), 48);
  EXPECT_EQ(SliderMin(IDC_LIMIT_SLIDER), 1);
  EXPECT_EQ(SliderMax(IDC_LIMIT_SLIDER), 4000);
  EXPECT_EQ(SliderPos(IDC_LIMIT_SLIDER), 250);
  EXPECT_EQ(ui::ItemText(window, IDC_GAIN_READOUT), "Set: -12 dB");
  EXPECT_EQ(ui::ItemText(window, IDC_IR_NAME), "Chapel.wav");
  EXPECT_NE(BlockInForce(), 0);  // prepared before the window opened
}

TEST_F(ControlWindow, DefaultsWithAutomaticGain) {
  Start();
  EXPECT_EQ(ui::Checked(window, IDC_ACTIVE), 1);
  EXPECT_EQ(ui::Checked(window, IDC_AUTO_GAIN), 1);
  EXPECT_EQ(ui::Checked(window, IDC_MATCH_LOUDNESS), 0);
  EXPECT_TRUE(Enabled(IDC_AUTO_GAIN));
  EXPECT_TRUE(Enabled(IDC_FORCE_MONO_IN));
  EXPECT_EQ(SliderPos(IDC_LIMIT_SLIDER), 4000);
  // The first preparation set the gain from the IR before the window opened.
  EXPECT_EQ(SliderPos(IDC_GAIN_SLIDER), Settings.GainDB + 60);
  EXPECT_EQ(ui::ItemText(window, IDC_GAIN_READOUT),
            "Set: " + std::to_string(Settings.GainDB) + " dB");
}

TEST_F(ControlWindow, StoredValuesOutOfRangeAreClampedAndKept) {
  const struct {
    const char* ini;
    int gain, limit, mix;
  } cases[] = {{"GainDB=35\r\nIRLimit=0\r\nAutoGain=0\r\nMix=150\r\n", 20, 1, 100},
               {"GainDB=-100\r\nIRLimit=9000\r\nAutoGain=0\r\nMix=-5\r\n", -60, 4000, 0},
               {"GainDB=99999999999\r\nIRLimit=-5\r\nAutoGain=0\r\n", 20, 1, 100}};
  for (const auto& c : cases) {
    WriteIni(c.ini);
    Start();
    EXPECT_EQ(Settings.GainDB, c.gain);
    EXPECT_DOUBLE_EQ(Settings.GainLinear, std::pow(10.0, c.gain * 0.05));
    EXPECT_EQ(ui::ItemText(window, IDC_GAIN_READOUT), "Set: " + std::to_string(c.gain) + " dB");
    EXPECT_EQ(Settings.IRLimit, c.limit);
    EXPECT_EQ(Settings.Mix, c.mix);
    Stop();
    const std::string ini = ReadIni();
    const bool mixStored = std::string(c.ini).find("Mix=") != std::string::npos;
    EXPECT_EQ(ini.find("Mix=" + std::to_string(c.mix) + "\r\n") != std::string::npos, mixStored)
        << ini;
    EXPECT_NE(ini.find("GainDB=" + std::to_string(c.gain) + "\r\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("IRLimit=" + std::to_string(c.limit) + "\r\n"), std::string::npos) << ini;
  }
}

TEST_F(ControlWindow, CheckBoxesWriteTheirSettingsAtOnce) {
  WriteIni("AutoGain=0\r\n");
  Start();
  const struct {
    int id;
    const std::atomic<int32_t>& setting;
    int32_t after;
  } boxes[] = {{IDC_ACTIVE, Settings.Active, 0},
               {IDC_IR_LIMIT_EN, Settings.IRLimitEn, 1},
               {IDC_AUTO_GAIN, Settings.AutoGain, 1},
               {IDC_FORCE_MONO_IN, Settings.ForceMonoIn, 1}};
  for (const auto& box : boxes) {
    ui::Click(window, box.id);
    EXPECT_EQ(box.setting.load(), box.after) << box.id;
  }
  ui::Click(window, IDC_ACTIVE);
  EXPECT_EQ(Settings.Active, 1);
  // Mono output disables mono input but keeps its check and its setting.
  ui::Click(window, IDC_FORCE_MONO_OUT);
  EXPECT_EQ(Settings.ForceMonoOut, 1);
  EXPECT_FALSE(Enabled(IDC_FORCE_MONO_IN));
  EXPECT_EQ(ui::Checked(window, IDC_FORCE_MONO_IN), 1);
  EXPECT_EQ(Settings.ForceMonoIn, 1);
  ui::Click(window, IDC_FORCE_MONO_OUT);
  EXPECT_TRUE(Enabled(IDC_FORCE_MONO_IN));
  EXPECT_EQ(ui::Checked(window, IDC_FORCE_MONO_IN), 1);
}

// The controls after the window's first 22: low latency and rate matching act
// at the next Apply, the dry/wet mix and loudness matching at once; each is
// saved as it changes, and written only once it left its default or was in
// the file.
TEST_F(ControlWindow, LowLatencyRateMatchingTheMixAndLoudness) {
  WriteIni("AutoGain=0\r\n");
  Start();
  auto saved = [&](const std::string& line) {
    return ReadIni().find(line + "\r\n") != std::string::npos;
  };
  // No two controls share a mnemonic.
  std::string letters;
  for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    const std::string text = ui::Text(child);
    const size_t at = text.find('&');
    if (at == std::string::npos || at + 1 >= text.size()) continue;
    const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(text[at + 1])));
    EXPECT_EQ(letters.find(letter), std::string::npos) << text;
    letters += letter;
  }
  EXPECT_EQ(letters.size(), 12u) << letters;
  EXPECT_EQ(SliderMin(IDC_MIX_SLIDER), 0);
  EXPECT_EQ(SliderMax(IDC_MIX_SLIDER), 100);
  EXPECT_EQ(SliderPos(IDC_MIX_SLIDER), 100);
  EXPECT_EQ(ui::ItemText(window, IDC_MIX_READOUT), "100 % wet");
  const int32_t block = BlockInForce();
  ui::Click(window, IDC_LOW_LATENCY);
  ui::Click(window, IDC_RESAMPLE_IR);
  EXPECT_EQ(Settings.LowLatency, 1);
  EXPECT_EQ(Settings.ResampleIR, 1);
  EXPECT_TRUE(saved("LowLatency=1"));
  EXPECT_TRUE(saved("ResampleIR=1"));
  EXPECT_EQ(BlockInForce(), block);
  ui::Click(window, IDC_APPLY);
  EXPECT_TRUE(WaitFor([] { return BlockInForce() == 512; }));
  EXPECT_EQ(PreparedInForce().ResampleIR, 1);
  EXPECT_FALSE(saved("Mix=100"));
  HWND mix = GetDlgItem(window, IDC_MIX_SLIDER);
  SendMessageA(mix, TBM_SETPOS, TRUE, 37);
  SendMessageA(window, WM_HSCROLL, 0, reinterpret_cast<LPARAM>(mix));
  EXPECT_EQ(Settings.Mix, 37);
  EXPECT_EQ(ui::ItemText(window, IDC_MIX_READOUT), "37 % wet");
  EXPECT_TRUE(saved("Mix=37"));
  ui::Click(window, IDC_LOW_LATENCY);
  EXPECT_TRUE(saved("LowLatency=0"));  // in the file now: kept as it is

  // While the loudness is matched automatic gain does not act: its box is
  // disabled and keeps its check.
  EXPECT_FALSE(saved("MatchLoudness=0"));
  for (int32_t on : {1, 0}) {
    ui::Click(window, IDC_MATCH_LOUDNESS);
    EXPECT_EQ(Settings.MatchLoudness, on);
    EXPECT_TRUE(saved("MatchLoudness=" + std::to_string(on)));
    EXPECT_EQ(Enabled(IDC_AUTO_GAIN), on == 0);
    EXPECT_EQ(ui::Checked(window, IDC_AUTO_GAIN), 0);
    EXPECT_EQ(Settings.AutoGain, 0);
  }
}

// Changes act at once, and are saved at once: a host that never calls Quit
// must not lose what the listener changed.
TEST_F(ControlWindow, ChangesActAndAreSavedWithoutQuit) {
  WriteText(Ini(), "[Quillarven]\r\nLowLatency=1\r\n[Other]\r\nKept=1\r\n");
  Start();
  auto saved = [&](const std::string& line) {
    return ReadIni().find(line + "\r\n") != std::string::npos;
  };
  ui::Click(window, IDC_FORCE_MONO_IN);
  EXPECT_TRUE(saved("ForceMonoIn=1"));
  EXPECT_TRUE(saved("[Other]\r\nKept=1"));  // other sections kept
  HWND limit = GetDlgItem(window, IDC_LIMIT_SLIDER);
  SendMessageA(limit, TBM_SETPOS, TRUE, 1234);
  SendMessageA(window, WM_HSCROLL, 0, reinterpret_cast<LPARAM>(limit));
  EXPECT_EQ(Settings.IRLimit, 1234);
  EXPECT_TRUE(saved("IRLimit=1234"));
  EXPECT_TRUE(saved("LowLatency=1"));  // a key the plug-in reads but never writes
}

// The gain acts at every step and is saved however the slider moved: a drag
// when it ends, the wheel and the keyboard at once (either may end without
// TB_ENDTRACK, as a key whose release goes to another window).
TEST_F(ControlWindow, EveryWayOfMovingTheGainSaves) {
  WriteIni("AutoGain=0\r\nGainDB=0\r\n");
  Start();
  HWND gain = GetDlgItem(window, IDC_GAIN_SLIDER);
  auto saved = [&](int db) {
    return ReadIni().find("GainDB=" + std::to_string(db) + "\r\n") != std::string::npos;
  };
  SendMessageA(gain, WM_KEYDOWN, VK_LEFT, 0);
  EXPECT_EQ(Settings.GainDB, -1);  // one line is one dB
  EXPECT_TRUE(saved(-1)) << "keyboard";

  // Wine's trackbar ignores the wheel; Windows' steps by lines and tells its
  // window with TB_LINEUP or TB_LINEDOWN alone.
  SendMessageA(gain, TBM_SETPOS, TRUE, 56);
  SendMessageA(window, WM_HSCROLL, TB_LINEUP, reinterpret_cast<LPARAM>(gain));
  const int wheeled = -4;
  EXPECT_EQ(Settings.GainDB, wheeled);
  EXPECT_TRUE(saved(wheeled)) << "wheel";

  RECT thumb;
  SendMessageA(gain, TBM_GETTHUMBRECT, 0, reinterpret_cast<LPARAM>(&thumb));
  const int x = (thumb.left + thumb.right) / 2, y = (thumb.top + thumb.bottom) / 2;
  SendMessageA(gain, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
  SendMessageA(gain, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(x + 60, y));
  const int dragged = Settings.GainDB;
  EXPECT_GT(dragged, wheeled);
  EXPECT_EQ(ui::ItemText(window, IDC_GAIN_READOUT), "Set: " + std::to_string(dragged) + " dB");
  EXPECT_TRUE(saved(wheeled)) << "saved before the drag ended";
  SendMessageA(gain, WM_LBUTTONUP, 0, MAKELPARAM(x + 60, y));
  EXPECT_TRUE(saved(dragged)) << "drag";
}

// A save that fails (the file held open elsewhere) is tried again without a
// further change: a host that never calls Quit keeps the change too.
TEST_F(ControlWindow, AFailedSaveIsRetried) {
  WriteIni("AutoGain=0\r\n");
  Start();
  HANDLE held =
      CreateFileA(Ini().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ui::Click(window, IDC_FORCE_MONO_OUT);
  EXPECT_EQ(Settings.ForceMonoOut, 1);
  EXPECT_TRUE(SavePending());
  CloseHandle(held);
  EXPECT_TRUE(WaitFor([&] { return ReadIni().find("ForceMonoOut=1\r\n") != std::string::npos; }));
}

// Every message the gain slider gets while the window opens comes with a
// gain set by a preparation elsewhere, one dB lower each time.
int nextGain = 0;
LRESULT CALLBACK EngineDuringOpen(int code, WPARAM wParam, LPARAM lParam) {
  const auto* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
  if (code == HC_ACTION && call->message >= WM_USER &&
      GetDlgCtrlID(call->hwnd) == IDC_GAIN_SLIDER) {
    SetGainDB(--nextGain);
    if (auto tell = GainSetByEngine.load()) tell();
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// A preparation on the audio thread may set the gain at any moment while the
// window fills its controls: the window ends up showing that gain, and
// nothing it sets up itself is taken for a listener's change and saved.
TEST_F(ControlWindow, OpensShowingAGainSetMeanwhileAndSavesNothing) {
  const HINSTANCE self = GetModuleHandleA(nullptr);
  DerivePluginPaths(self);
  ASSERT_EQ(std::string(Settings.IniPath), Ini());
  SetGainDB(0);
  ASSERT_TRUE(RegisterGraphClass(self));
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_BAR_CLASSES};
  InitCommonControlsEx(&controls);
  nextGain = 0;
  HHOOK hook = SetWindowsHookExA(WH_CALLWNDPROC, EngineDuringOpen, nullptr, GetCurrentThreadId());
  HWND opened = CreateDialogParamA(self, MAKEINTRESOURCEA(IDD_CONTROL), nullptr, ControlWindowProc,
                                   reinterpret_cast<LPARAM>(self));
  UnhookWindowsHookEx(hook);
  ASSERT_NE(opened, nullptr);
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  EXPECT_LT(nextGain, -1);
  EXPECT_EQ(Settings.GainDB, nextGain);
  EXPECT_EQ(SendDlgItemMessageA(opened, IDC_GAIN_SLIDER, TBM_GETPOS, 0, 0), nextGain + 60);
  EXPECT_EQ(ui::ItemText(opened, IDC_GAIN_READOUT), "Set: " + std::to_string(nextGain) + " dB");
  DestroyWindow(opened);
  UnregisterClassA(kGraphClassName, self);
  EXPECT_FALSE(std::filesystem::exists(Ini()));
}

// A channel change prepares on the audio thread; automatic gain may set
// another gain there, which the window must show.
TEST_F(ControlWindow, ShowsTheGainAnAudioThreadPreparationSet) {
  PcmAudio ir;
  ir.channels = 2;
  ir.samples = {30000, -30000, 0, 0};  // mixed to mono, the IR is silent: 0 dB
  WritePcm16(Path("Impulse Responses\\Chapel.wav"), ir);
  Start();
  EXPECT_EQ(ui::ItemText(window, IDC_GAIN_READOUT), "Set: 6 dB");
  std::vector<short> mono(576, 1000);
  ModifySamples(&Module, mono.data(), 576, 16, 1, 44100);
  EXPECT_EQ(Settings.GainDB, 0);
  EXPECT_TRUE(WaitFor([&] { return ui::ItemText(window, IDC_GAIN_READOUT) == "Set: 0 dB"; }));
  EXPECT_EQ(SliderPos(IDC_GAIN_SLIDER), 60);
}

TEST_F(ControlWindow, EnterEscapeAndOkDoNotCloseButCloseDoes) {
  Start();
  SendMessageA(window, WM_COMMAND, IDOK, 0);
  SendMessageA(window, WM_COMMAND, IDCANCEL, 0);
  PostMessageA(GetDlgItem(window, IDC_ACTIVE), WM_KEYDOWN, VK_ESCAPE, 0);
  PostMessageA(GetDlgItem(window, IDC_ACTIVE), WM_KEYDOWN, VK_RETURN, 0);
  Sleep(300);
  EXPECT_TRUE(IsWindow(window));
  EXPECT_EQ(GetWindowLongA(window, GWL_STYLE) & WS_SYSMENU, 0);  // no close box
  SendMessageA(window, WM_CLOSE, 0, 0);
  EXPECT_TRUE(ui::WaitGone(window));
  Stop();  // returns at once: the UI thread has ended
}

TEST_F(ControlWindow, LoadThroughTheFileChooser) {
  WriteIni("AutoGain=0\r\n");
  Start();
  std::filesystem::create_directories(dir / "More IRs");
  const std::string good = Path("More IRs\\Hall.wav");
  WritePcm16(good, DecayingIr(1, 44100, 7));
  char before[MAX_PATH];
  _getcwd(before, MAX_PATH);

  ASSERT_TRUE(LoadThroughChooser(good));
  ASSERT_TRUE(WaitFor([&] { return ui::ItemText(window, IDC_IR_NAME) == "Hall.wav"; }));
  EXPECT_STREQ(Settings.IRFile, good.c_str());
  EXPECT_EQ(std::string(Settings.IRDir), Path("More IRs"));
  EXPECT_EQ(EngineNow().Route.IrChannels, 1);
  char after[MAX_PATH];
  _getcwd(after, MAX_PATH);
  EXPECT_STREQ(after, before);

  // A file that is no 16-bit WAV: the error text, IRDir follows the file.
  std::filesystem::create_directories(dir / "Bad");
  const std::string bad = Path("Bad\\float.wav");
  WriteBytes(bad, Wav(3, 1, 32, 4, 4));
  ASSERT_TRUE(LoadThroughChooser(bad));
  ASSERT_TRUE(WaitFor([&] {
    return ui::ItemText(window, IDC_IR_NAME) == "File is not a standard 16 bit .WAV file";
  }));
  EXPECT_STREQ(Settings.IRFile, "-File is not a standard 16 bit .WAV file");
  EXPECT_EQ(std::string(Settings.IRDir), Path("Bad"));
  EXPECT_EQ(BlockInForce(), 0);

  // Cancel changes nothing.
  ASSERT_TRUE(LoadThroughChooser(""));
  Sleep(200);
  EXPECT_STREQ(Settings.IRFile, "-File is not a standard 16 bit .WAV file");
  EXPECT_EQ(std::string(Settings.IRDir), Path("Bad"));
  Stop();
  EXPECT_NE(ReadIni().find("IRFile=-File is not a standard 16 bit .WAV file\r\n"),
            std::string::npos);
}

// Two more ways to a file: the chooser offers all files, and files dropped
// on the window load as if chosen with Load, the first of several.
TEST_F(ControlWindow, AllFilesAndDroppedFilesReachLoad) {
  WriteIni("AutoGain=0\r\n");
  Start();
  ui::ClickAsync(window, IDC_LOAD);
  HWND chooser = ui::WaitForWindow(kChooserTitle);
  ASSERT_NE(chooser, nullptr);
  HWND types = GetDlgItem(chooser, 0x470);
  char all[64] = "";
  SendMessageA(types, CB_GETLBTEXT, 1, reinterpret_cast<LPARAM>(all));
  EXPECT_EQ(SendMessageA(types, CB_GETCOUNT, 0, 0), 2);
  EXPECT_STREQ(all, "All files (*.*)");
  ASSERT_TRUE(ui::ChooseFile(kChooserTitle, ""));

  EXPECT_NE(GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_ACCEPTFILES, 0);
  for (const char* folder : {"More IRs", "Bad"}) std::filesystem::create_directories(dir / folder);
  const std::string good = Path("More IRs\\Hall.wav"), bad = Path("Bad\\float.wav");
  WritePcm16(good, DecayingIr(1, 44100, 7));
  WriteBytes(bad, Wav(3, 1, 32, 4, 4));
  ui::DropFiles(window, {good, bad});
  ASSERT_TRUE(WaitFor([&] { return ui::ItemText(window, IDC_IR_NAME) == "Hall.wav"; }));
  EXPECT_STREQ(Settings.IRFile, good.c_str());
  EXPECT_EQ(std::string(Settings.IRDir), Path("More IRs"));
  EXPECT_EQ(EngineNow().Route.IrChannels, 1);
  EXPECT_NE(ReadIni().find("IRFile=" + good + "\r\n"), std::string::npos);

  ui::DropFiles(window, {bad, good});
  ASSERT_TRUE(WaitFor([&] {
    return ui::ItemText(window, IDC_IR_NAME) == "File is not a standard 16 bit .WAV file";
  }));
  EXPECT_STREQ(Settings.IRFile, "-File is not a standard 16 bit .WAV file");
  EXPECT_EQ(std::string(Settings.IRDir), Path("Bad"));
  EXPECT_EQ(BlockInForce(), 0);
}

TEST_F(ControlWindow, ApplyReloadsWithoutTouchingTheLabel) {
  WriteIni("AutoGain=0\r\n");
  Start();
  EXPECT_EQ(BlockInForce(), ChooseBlockLength(3 * 44100));
  ui::Click(window, IDC_IR_LIMIT_EN);
  HWND limit = GetDlgItem(window, IDC_LIMIT_SLIDER);
  SendMessageA(limit, TBM_SETPOS, TRUE, 1000);
  SendMessageA(window, WM_HSCROLL, 0, reinterpret_cast<LPARAM>(limit));
  EXPECT_EQ(BlockInForce(), ChooseBlockLength(3 * 44100));  // not before Apply
  ui::ClickAsync(window, IDC_APPLY);
  // Loaded again once the new length is set and the file has been read.
  ASSERT_TRUE(WaitFor([] { return BlockInForce() == 44100; }));
  // With the file gone, Apply fails silently and the label stays.
  std::filesystem::remove(dir / "Impulse Responses" / "Chapel.wav");
  SendMessageA(limit, TBM_SETPOS, TRUE, 500);
  SendMessageA(window, WM_HSCROLL, 0, reinterpret_cast<LPARAM>(limit));
  ui::ClickAsync(window, IDC_APPLY);
  ASSERT_TRUE(WaitFor([] { return BlockInForce() == 0; }));
  EXPECT_EQ(ui::ItemText(window, IDC_IR_NAME), "Chapel.wav");
}

// Convert and load, with qlv_irtool.exe from the product build beside the
// test program, and an IR folder holding only the Chapel.
class Conversion : public ControlWindow {
 protected:
  const std::string kRefused = "File is not a standard 16 bit .WAV file";

  void SetUp() override {
    ControlWindow::SetUp();
    std::filesystem::remove(Path("qlv_irtool.exe"));
    std::filesystem::copy_file(WindowsPath("QLV_IRTOOL"), Path("qlv_irtool.exe"));
    for (const auto& entry : std::filesystem::directory_iterator(dir / "Impulse Responses")) {
      if (entry.path().filename() != "Chapel.wav") std::filesystem::remove_all(entry.path());
    }
    std::filesystem::remove_all(dir / "More IRs");
    std::filesystem::create_directories(dir / "More IRs");
    WriteIni("AutoGain=0\r\n");
  }

  static std::string Data(const std::string& name) {
    return WindowsPath("QLV_TESTDATA") + "\\" + name;
  }
  std::string Copy(const std::string& name) const { return Path("Impulse Responses\\" + name); }
  bool Offered() { return IsWindowVisible(GetDlgItem(window, IDC_CONVERT)) != 0; }

  // Refused as today; once the IR tool has had its say, offered or not.
  void ExpectRefused(bool offered) {
    ASSERT_TRUE(WaitFor([&] { return ui::ItemText(window, IDC_IR_NAME) == kRefused; }));
    EXPECT_EQ(std::string(Settings.IRFile), "-" + kRefused);
    EXPECT_TRUE(WaitFor([] { return !ConversionUnderWay(); }));
    EXPECT_EQ(Offered(), offered);
  }

  // Convert and load; the label says what it ended with.
  std::string Convert() {
    ui::ClickAsync(window, IDC_CONVERT);
    EXPECT_TRUE(WaitFor([&] {
      const std::string label = ui::ItemText(window, IDC_IR_NAME);
      return label != kRefused && label.rfind("Converting ", 0) != 0 && !ConversionUnderWay();
    }));
    return ui::ItemText(window, IDC_IR_NAME);
  }

  // The engine in force plays the copy as the model of the copy says.
  void ExpectPlays(const std::string& copy, int rate, int channels) {
    EXPECT_EQ(std::string(Settings.IRFile), copy);
    EXPECT_FALSE(Offered());
    PcmAudio ir;
    ASSERT_TRUE(ReadPcm16(copy, &ir)) << copy;
    EXPECT_EQ(ir.rate, rate) << copy;
    EXPECT_EQ(ir.channels, channels) << copy;
    const int32_t h = BlockInForce();
    ASSERT_EQ(h, ChooseBlockLength(ir.Frames())) << copy;
    const PcmAudio in = Noise(2, h + 2000, 3, 300);
    std::vector<int16_t> out = in.samples;
    StreamInPlace(out, 2, {576});
    EXPECT_LE(WorstDifference(out, ExpectedOutput(in, ir, 1.0, h)), 1) << copy;
  }
};

// Each refused by Load as before; the copy, at the file's own rate with its
// channels, loads in its place.
TEST_F(Conversion, RefusedFilesAreConvertedAndLoaded) {
  Start();
  const struct {
    const char *file, *copy;
    int rate, channels;
  } cases[] = {{"ir_s24_48k.wav", "ir_s24_48k.wav", 48000, 2},
               {"ir_f32_96k.wav", "ir_f32_96k.wav", 96000, 2},  // float, extensible
               {"ir_f32_4ch_48k.wav", "ir_f32_4ch_48k.wav", 48000, 4},
               {"ir_s24.aiff", "ir_s24.wav", 44100, 2}};
  for (const auto& c : cases) {
    ASSERT_TRUE(LoadThroughChooser(Data(c.file)));
    ExpectRefused(true);
    EXPECT_EQ(Convert(), c.copy);
    ExpectPlays(Copy(c.copy), c.rate, c.channels);
  }
  Stop();
  EXPECT_NE(ReadIni().find("IRFile=" + Copy("ir_s24.wav") + "\r\n"), std::string::npos);
}

// A dropped file is offered for conversion as a chosen one is; a file the
// IR tool cannot read either is not.
TEST_F(Conversion, ADroppedFileIsConvertedAlikeButGarbageIsNot) {
  Start();
  ui::DropFiles(window, {Data("ir_s24_48k.wav")});
  ExpectRefused(true);
  EXPECT_EQ(Convert(), "ir_s24_48k.wav");
  ExpectPlays(Copy("ir_s24_48k.wav"), 48000, 2);

  const std::string garbage = Path("More IRs\\noise.wav");
  WriteText(garbage, "RIFF, but nothing a reader knows");
  ui::DropFiles(window, {garbage});
  ExpectRefused(false);
  EXPECT_EQ(BlockInForce(), 0);
}

// Failures say why in the label and leave IRFile as the refusal left it; a
// copy never replaces another file of its name, and the same file
// converted again takes its copy as it is.
TEST_F(Conversion, FailuresSayWhyAndNoFileIsReplaced) {
  const PcmAudio other = DecayingIr(1, 1000, 9);
  WritePcm16(Copy("ir_s24_48k.wav"), other);
  Start();
  for (int again = 0; again < 2; ++again) {
    ui::DropFiles(window, {Data("ir_s24_48k.wav")});
    ExpectRefused(true);
    EXPECT_EQ(Convert(), "ir_s24_48k (2).wav") << again;
  }
  PcmAudio kept;
  ASSERT_TRUE(ReadPcm16(Copy("ir_s24_48k.wav"), &kept));
  EXPECT_EQ(kept.samples, other.samples);
  EXPECT_FALSE(std::filesystem::exists(Copy("ir_s24_48k (3).wav")));

  // The tool's own reason, in short: it reads the header but not the audio.
  const std::string cut = Path("More IRs\\cut.wav");
  const std::string whole = ReadText(Data("ir_s24_48k.wav"));
  WriteText(cut, whole.substr(0, whole.size() / 2));
  ui::DropFiles(window, {cut});
  ExpectRefused(true);
  EXPECT_EQ(Convert(), "Can't convert: truncated");

  // A file the tool read when refused, but not when converted.
  const std::string changed = Path("More IRs\\changed.wav");
  std::filesystem::copy_file(Data("ir_f32_96k.wav"), changed);
  ui::DropFiles(window, {changed});
  ExpectRefused(true);
  WriteText(changed, "no longer audio");
  EXPECT_EQ(Convert(), "Can't convert: the IR tool can't read it either");
  EXPECT_EQ(std::string(Settings.IRFile), "-" + kRefused);
  EXPECT_FALSE(Offered());

  // Without the tool the button stays, so that the label can say why.
  std::filesystem::remove(Path("qlv_irtool.exe"));
  ui::DropFiles(window, {Data("ir_f32_96k.wav")});
  ExpectRefused(true);
  EXPECT_EQ(Convert(), "Can't convert: no qlv_irtool.exe beside the plug-in");
  EXPECT_EQ(std::string(Settings.IRFile), "-" + kRefused);
  EXPECT_TRUE(Offered());
}

// Quit while the tool converts a long file ends it: no thread, no process
// and no file of it are left, and nothing was loaded.
TEST_F(Conversion, QuitWhileConvertingLeavesNothing) {
  const int threads = ThreadsOfThisProcess();
  Start();
  ui::DropFiles(window, {Data("long_s24.wav")});
  ExpectRefused(true);
  ui::ClickAsync(window, IDC_CONVERT);
  ASSERT_TRUE(WaitFor([] { return ChildProcesses("qlv_irtool.exe") == 1; }, 5000));
  EXPECT_EQ(ui::ItemText(window, IDC_IR_NAME), "Converting long_s24.wav...");
  Stop();
  EXPECT_EQ(ChildProcesses("qlv_irtool.exe"), 0);
  EXPECT_EQ(ThreadsOfThisProcess(), threads);
  EXPECT_FALSE(ConversionUnderWay());
  EXPECT_EQ(std::string(Settings.IRFile), "-" + kRefused);
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(dir / "Impulse Responses")) {
    left.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(left, std::vector<std::string>{"Chapel.wav"});
}

TEST_F(ControlWindow, AboutShowsTheReadmeAndClosesWithEscapeOrCloseBox) {
  Start();
  HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(IDR_README), "TEXT");
  ASSERT_NE(found, nullptr);
  const char* readme = static_cast<const char*>(LockResource(LoadResource(nullptr, found)));
  const DWORD size = SizeofResource(nullptr, found);
  ASSERT_GT(size, 100u);
  EXPECT_EQ(readme[size - 1], '\0');
  EXPECT_EQ(std::string(readme).size(), size - 1);  // one NUL, at the end
  EXPECT_NE(std::string(readme).find("\r\n"), std::string::npos);
  EXPECT_EQ(std::string(readme).find_first_of("\x80\x81\xff"), std::string::npos);

  for (int way = 0; way < 3; ++way) {
    ui::ClickAsync(window, IDC_HELP_BUTTON);
    HWND about = ui::WaitForWindow(kAboutTitle);
    ASSERT_NE(about, nullptr);
    EXPECT_FALSE(IsWindowEnabled(window));  // modal, owned by the control window
    char text[65536];
    GetDlgItemTextA(about, IDC_README, text, sizeof text);
    EXPECT_STREQ(text, readme);
    if (way == 0) {
      EXPECT_TRUE(
          ui::Screenshot(about, std::string(std::getenv("QLV_SCREENSHOTS")) + "/about_window.png"));
      PostMessageA(GetDlgItem(about, IDC_ABOUT_OK), WM_KEYDOWN, VK_ESCAPE, 0);
    } else if (way == 1) {
      PostMessageA(about, WM_CLOSE, 0, 0);
    } else {
      ui::ClickAsync(about, IDC_ABOUT_OK);
    }
    EXPECT_TRUE(ui::WaitGone(about)) << way;
    EXPECT_TRUE(WaitFor([&] { return IsWindowEnabled(window) != 0; }));
  }
}

TEST_F(ControlWindow, ScreenshotWithARealEnvelope) {
  WriteIni("IRLimitEn=1\r\nIRLimit=2500\r\n");
  Start();
  ASSERT_TRUE(
      ui::Screenshot(window, std::string(std::getenv("QLV_SCREENSHOTS")) + "/control_window.png"));
}

}  // namespace
