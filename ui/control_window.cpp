// SPDX-License-Identifier: GPL-2.0-or-later
// The control window: every control writes its setting the moment it
// changes; Load and Apply prepare the engine on the UI thread.
#include "ui/control_window.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>

#include "life/life.h"
#include "settings/settings.h"
#include "ui/about_window.h"
#include "ui/dialog_frame.h"
#include "ui/file_chooser.h"
#include "ui/graph_control.h"
#include "ui/ir_converter.h"
#include "ui/resource.h"

const char* const kLoadErrorTexts[4] = {
    "",
    "-Couldn't open file.",
    "-File is not a standard 16 bit .WAV file",
    "-Not enough memory.",
};

namespace {

// Posted when a preparation elsewhere (the audio thread's, on a channel
// change) has set the gain.
constexpr UINT kGainSetMessage = WM_APP + 1;

// Posted by the audio thread when the stream's rate asks for the IR again.
constexpr UINT kPrepareForRateMessage = WM_APP + 2;

// Posted by the conversion's thread as its job ends.
constexpr UINT kConversionMessage = WM_APP + 3;

// While a save has failed, it is tried again this often, so that a host
// that never calls Quit still keeps the change.
constexpr UINT_PTR kSaveRetryTimer = 1;
constexpr UINT kSaveRetryMs = 2000;
constexpr UINT_PTR kFollowTimer = 2;  // the music's loudness, every kFollowMs

// A slider moved since its last save (a drag is saved when it ends).
bool sliderUnsaved = false;

// The file the last Load refused for its form (IRFile holds the error
// text), which the IR tool may convert: empty for none; what the tool read
// of it (a rate of 0: not yet known); and the job that asks or converts.
char refusedFile[kPathChars];
ToolRead refusedRead;
WPARAM conversionJob = 0;
bool converting = false;  // the job converts rather than asks

HINSTANCE instance = nullptr;            // the module whose resources we show
std::atomic<HWND> shownWindow{nullptr};  // the open control window, for the poster

void PostGainSet() {
  if (HWND window = shownWindow.load()) PostMessageA(window, kGainSetMessage, 0, 0);
}

}  // namespace

bool AskWindowToPrepareForRate() {
  HWND window = shownWindow.load();
  return window && PostMessageA(window, kPrepareForRateMessage, 0, 0);
}

namespace {

int32_t Checked(HWND window, int id) {
  return static_cast<int32_t>(SendDlgItemMessageA(window, id, BM_GETCHECK, 0, 0));
}

void SetCheck(HWND window, int id, int32_t value) {
  SendDlgItemMessageA(window, id, BM_SETCHECK, static_cast<WPARAM>(value), 0);
}

// Automatic gain does not act while the loudness is matched; its check stays.
void EnableAutoGain(HWND window) {
  EnableWindow(GetDlgItem(window, IDC_AUTO_GAIN), Settings.MatchLoudness == 0);
}

void ShowGain(HWND window) {
  char text[32];
  std::snprintf(text, sizeof text, "Set: %d dB", static_cast<int>(Settings.GainDB));
  SetDlgItemTextA(window, IDC_GAIN_READOUT, text);
}

void ShowMix(HWND window) {
  char text[32];
  std::snprintf(text, sizeof text, "%d %% wet", static_cast<int>(Settings.Mix));
  SetDlgItemTextA(window, IDC_MIX_READOUT, text);
}

void ShowIrName(HWND window) {
  SetDlgItemTextA(window, IDC_IR_NAME, FileNamePart(Settings.IRFile));
}

// Shows a setting's value on its slider, which clamps it to the slider's
// range; returns the value shown. No scroll notification is sent: nothing
// shown here is a listener's change.
int32_t ShowOnSlider(HWND window, int id, int32_t value, int32_t offset) {
  const int64_t position = int64_t{value} + offset;  // saturated: an extreme cannot wrap
  SendDlgItemMessageA(window, id, TBM_SETPOS, TRUE,
                      static_cast<LPARAM>(position > INT32_MAX ? INT32_MAX : position));
  return static_cast<int32_t>(SendDlgItemMessageA(window, id, TBM_GETPOS, 0, 0) - offset);
}

// Gives a slider its range and steps.
void SetUpSlider(HWND window, int id, int low, int high, int line, int page) {
  SendDlgItemMessageA(window, id, TBM_SETRANGE, FALSE, MAKELONG(low, high));
  SendDlgItemMessageA(window, id, TBM_SETLINESIZE, 0, line);
  SendDlgItemMessageA(window, id, TBM_SETPAGESIZE, 0, page);
}

// Shows a setting on its slider; a stored value outside the slider's range
// becomes the clamped one, unless another thread set it meanwhile.
void ShowSetting(HWND window, int id, std::atomic<int32_t>& setting) {
  int32_t value = setting;
  const int32_t shown = ShowOnSlider(window, id, value, 0);
  if (shown != value) setting.compare_exchange_strong(value, shown);
}

// The slider and readout follow the gain in force. A stored value outside
// the slider's range becomes the clamped one, unless another thread's
// preparation set the gain meanwhile.
void OnGainSet(HWND window) {
  const int32_t value = Settings.GainDB;
  const int32_t shown = ShowOnSlider(window, IDC_GAIN_SLIDER, value, 60);
  if (shown != value) ReplaceGainDB(value, shown);
  ShowGain(window);
}

// Shows the gain that a preparation may have set, and repaints the graph.
void AfterPrepare(HWND window) {
  OnGainSet(window);
  InvalidateGraph(window);
}

// The music is followed only while the match is on: no wake-up else.
void FollowWhileMatching(HWND window) {
  if (Settings.MatchLoudness) {
    SetTimer(window, kFollowTimer, kFollowMs, nullptr);
  } else {
    KillTimer(window, kFollowTimer);
  }
}

void OnInitDialog(HWND window, HINSTANCE module) {
  instance = module;
  // First: a preparation on the audio thread may set the gain while the
  // controls are filled, and must find someone to tell.
  shownWindow = window;
  GainSetByEngine = PostGainSet;
  SetTimer(window, kSaveRetryTimer, kSaveRetryMs, nullptr);
  FollowWhileMatching(window);

  SetCheck(window, IDC_ACTIVE, Settings.Active);
  SetCheck(window, IDC_FORCE_MONO_IN, Settings.ForceMonoIn);
  SetCheck(window, IDC_FORCE_MONO_OUT, Settings.ForceMonoOut);
  EnableForceMonoIn(window, Settings.ForceMonoOut == 0);

  SetUpSlider(window, IDC_GAIN_SLIDER, 0, 80, 1, 10);
  SendDlgItemMessageA(window, IDC_GAIN_SLIDER, TBM_SETTICFREQ, 20, 0);
  OnGainSet(window);

  SetUpSlider(window, IDC_LIMIT_SLIDER, 1, 4000, 10, 100);
  ShowSetting(window, IDC_LIMIT_SLIDER, Settings.IRLimit);

  SetCheck(window, IDC_AUTO_GAIN, Settings.AutoGain);
  SetCheck(window, IDC_MATCH_LOUDNESS, Settings.MatchLoudness);
  EnableAutoGain(window);
  SetCheck(window, IDC_IR_LIMIT_EN, Settings.IRLimitEn);
  SetCheck(window, IDC_LOW_LATENCY, Settings.LowLatency);
  SetCheck(window, IDC_RESAMPLE_IR, Settings.ResampleIR);

  SetUpSlider(window, IDC_MIX_SLIDER, 0, 100, 1, 10);
  SendDlgItemMessageA(window, IDC_MIX_SLIDER, TBM_SETTICFREQ, 25, 0);
  ShowSetting(window, IDC_MIX_SLIDER, Settings.Mix);
  ShowMix(window);
  ShowIrName(window);
  refusedFile[0] = '\0';
  conversionJob = 0;
  DragAcceptFiles(window, TRUE);
}

// Shows or hides "Convert and load"; the keyboard's focus on it goes to Load.
void ShowConvertButton(HWND window, bool shown) {
  HWND button = GetDlgItem(window, IDC_CONVERT);
  if (!shown && GetFocus() == button) {
    SendMessageA(window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(window, IDC_LOAD)),
                 TRUE);
  }
  ShowWindow(button, shown ? SW_SHOW : SW_HIDE);
}

// Another file chosen: what the last refusal offered ends.
void ForgetRefusedFile(HWND window) {
  EndConversion();
  conversionJob = 0;
  refusedFile[0] = '\0';
  ShowConvertButton(window, false);
}

// Loads the file IRFile names, as Load does. A file refused for its form is
// offered for conversion once the IR tool says it converts it.
void LoadNamedFile(HWND window) {
  char file[kPathChars];
  std::memcpy(file, Settings.IRFile, kPathChars);
  const int32_t result = PrepareEngine(kStreamChannels);
  if (result >= PrepareOpenFailed && result <= PrepareNoMemory) {
    NameIrFile(kLoadErrorTexts[result], false);
  }
  AfterPrepare(window);
  ShowIrName(window);
  if (result != PrepareBadWav) return;
  std::memcpy(refusedFile, file, kPathChars);
  refusedRead = ToolRead{};
  converting = false;
  conversionJob = StartConversion(window, kConversionMessage, refusedFile, false, refusedRead);
}

void OnLoad(HWND window) {
  if (!ChooseIrFile(window)) return;
  ForgetRefusedFile(window);
  LoadNamedFile(window);
}

// Files dropped on the window: the first loads as if chosen with Load.
void OnDrop(HWND window, HDROP drop) {
  char file[kPathChars];
  const UINT length = DragQueryFileA(drop, 0, nullptr, 0);
  const bool fits =
      length > 0 && length < kPathChars && DragQueryFileA(drop, 0, file, kPathChars) == length;
  DragFinish(drop);
  if (!fits) return;
  NameIrFile(file, true);
  ForgetRefusedFile(window);
  LoadNamedFile(window);
  SaveSettings();
}

void OnConvert(HWND window) {
  if (!refusedFile[0]) return;
  ShowConvertButton(window, false);
  char text[kPathChars + 16];
  std::snprintf(text, sizeof text, "Converting %s...", FileNamePart(refusedFile));
  SetDlgItemTextA(window, IDC_IR_NAME, text);
  converting = true;
  conversionJob = StartConversion(window, kConversionMessage, refusedFile, true, refusedRead);
  if (conversionJob) return;
  SetDlgItemTextA(window, IDC_IR_NAME, "Can't convert: no thread could start");
  ShowConvertButton(window, true);
}

// Why a conversion failed, in the label: IRFile keeps the error text. The
// tool's own refusals say it in its words.
void ShowConversionFailure(HWND window, const ConversionResult& result) {
  const struct {
    Conversion outcome;
    const char* why;
  } kWhy[] = {{Conversion::NoTool, "no qlv_irtool.exe beside the plug-in"},
              {Conversion::NoRoom, "no room on the disk"},
              {Conversion::CannotWrite, "can't write in Impulse Responses"},
              {Conversion::Unreadable, "the IR tool can't read it either"}};
  const char* why = result.why;
  for (const auto& known : kWhy) {
    if (known.outcome == result.outcome) why = known.why;
  }
  char text[128];
  std::snprintf(text, sizeof text, "Can't convert: %s", why);
  SetDlgItemTextA(window, IDC_IR_NAME, text);
}

void OnConversionEnded(HWND window, WPARAM job) {
  if (job != conversionJob) return;  // ended before a later one replaced it
  const ConversionResult result = ConversionEnded();
  EndConversion();
  conversionJob = 0;
  const Conversion outcome = result.outcome;
  // What the listener can mend (the tool put back, room made) may be tried
  // again; a file the tool reads or converts otherwise may not.
  const bool again = outcome == Conversion::NoTool || outcome == Conversion::NoRoom ||
                     outcome == Conversion::CannotWrite;
  if (outcome == Conversion::Converted) {
    refusedFile[0] = '\0';
    NameIrFile(result.copy, false);
    LoadNamedFile(window);
    SaveSettings();
    return;
  }
  if (outcome == Conversion::Convertible) refusedRead = result.read;
  if (converting) ShowConversionFailure(window, result);
  ShowConvertButton(window, outcome == Conversion::Convertible || again);
}

// Each check box mirrors one setting.
struct CheckBox {
  int id;
  std::atomic<int32_t>* setting;
};
const CheckBox kCheckBoxes[] = {
    {IDC_ACTIVE, &Settings.Active},
    {IDC_FORCE_MONO_IN, &Settings.ForceMonoIn},
    {IDC_FORCE_MONO_OUT, &Settings.ForceMonoOut},
    {IDC_IR_LIMIT_EN, &Settings.IRLimitEn},
    {IDC_AUTO_GAIN, &Settings.AutoGain},
    {IDC_LOW_LATENCY, &Settings.LowLatency},  // both at the next Apply or Load
    {IDC_RESAMPLE_IR, &Settings.ResampleIR},
    {IDC_MATCH_LOUDNESS, &Settings.MatchLoudness},
};

BOOL OnCommand(HWND window, int id) {
  for (const CheckBox& box : kCheckBoxes) {
    if (box.id != id) continue;
    *box.setting = Checked(window, id);
    if (id == IDC_FORCE_MONO_OUT) EnableForceMonoIn(window, Settings.ForceMonoOut == 0);
    if (id == IDC_MATCH_LOUDNESS) {
      EnableAutoGain(window);
      MatchLoudnessNow();
      FollowWhileMatching(window);
    }
    SaveSettings();
    return TRUE;
  }
  switch (id) {
    case IDC_LOAD:
      OnLoad(window);
      SaveSettings();
      return TRUE;
    case IDC_CONVERT:
      OnConvert(window);
      return TRUE;
    case IDC_APPLY:
      PrepareEngine(kStreamChannels);
      AfterPrepare(window);
      SaveSettings();
      return TRUE;
    case IDC_HELP_BUTTON:
      DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_ABOUT), window, AboutWindowProc,
                      reinterpret_cast<LPARAM>(instance));
      return TRUE;
    default:  // IDOK and IDCANCEL too: Enter and Escape do not close the window
      return FALSE;
  }
}

BOOL OnSlider(HWND window, HWND slider, int code) {
  const int id = slider ? GetDlgCtrlID(slider) : 0;
  const auto position = static_cast<int32_t>(SendMessageA(slider, TBM_GETPOS, 0, 0));
  if (id == IDC_LIMIT_SLIDER) {
    Settings.IRLimit = position;
  } else if (id == IDC_GAIN_SLIDER) {
    SetGainDB(position - 60);
    ShowGain(window);
  } else if (id == IDC_MIX_SLIDER) {
    Settings.Mix = position;  // heard from the next buffer
    ShowMix(window);
  } else {
    return FALSE;
  }
  // A drag is saved when it ends, not at every step. The wheel and the
  // keyboard may send no TB_ENDTRACK, so each of their steps is saved.
  if (code != TB_ENDTRACK) sliderUnsaved = true;
  if (code != TB_THUMBTRACK && sliderUnsaved) {
    sliderUnsaved = false;
    SaveSettings();
  }
  return TRUE;
}

}  // namespace

void EnableForceMonoIn(HWND window, BOOL enabled) {
  EnableWindow(GetDlgItem(window, IDC_FORCE_MONO_IN), enabled ? TRUE : FALSE);
}

// Controls: 1088 Active, 1086 Force mono input, 1084 Force mono output,
// 1098 IR size limiting, 1102 Auto input gain, 1037 gain slider with its
// readout 1103, 1036 IR limit slider, 1087 IR name, 3 Load, 1092 Apply,
// 9 Help, 1099 the graph; below a separator of their own, 1104 Low
// latency, 1105 Match the music's sample rate, 1106 the dry/wet slider
// with its readout 1107; beside Auto input gain, 1108 Match loudness;
// 1109 Convert and load, shown after a Load refused a file the IR tool
// converts.
INT_PTR CALLBACK ControlWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (OpenedOrClosed(window, message, lParam, OnInitDialog, 0)) return TRUE;
  switch (message) {
    case kGainSetMessage:
      OnGainSet(window);
      return TRUE;
    case kPrepareForRateMessage:
      PrepareForRate();
      AfterPrepare(window);
      return TRUE;
    case WM_TIMER:
      if (wParam == kSaveRetryTimer) {
        if (SavePending()) SaveSettings();
        ReleaseRetired();  // an engine that faded out, parked by the audio thread
      } else if (wParam == kFollowTimer) {
        FollowLoudness();
      }
      return TRUE;
    case kConversionMessage:
      OnConversionEnded(window, wParam);
      return TRUE;
    case WM_DROPFILES:
      OnDrop(window, reinterpret_cast<HDROP>(wParam));
      return TRUE;
    case WM_DESTROY:
      EndConversion();  // the tool's process ended and what it wrote removed
      GainSetByEngine = nullptr;
      shownWindow = nullptr;
      return FALSE;
    case WM_COMMAND:
      if (HIWORD(wParam) != 0) return TRUE;
      return OnCommand(window, LOWORD(wParam));
    case WM_HSCROLL:
    case WM_VSCROLL:
      return OnSlider(window, reinterpret_cast<HWND>(lParam), LOWORD(wParam));
    default:
      return FALSE;
  }
}
