// SPDX-License-Identifier: GPL-2.0-or-later
// qlv_irtool.exe's entry: the plug-in folder and settings found the way the
// plug-in finds its own, and a console that stays open for files dropped
// on the program in Explorer.
#include <windows.h>
// After windows.h:
#include <conio.h>

#include <string>
#include <vector>

#include "settings/settings.h"
#include "tools/irtool/files.h"
#include "tools/irtool/irtool.h"

namespace {

// Started by Explorer (files dropped on it, or a double click) the console
// is ours alone and closes with us: wait for a key so that the listener
// can read it. Never when input is not a console, so scripts never hang.
bool ConsoleClosesWithUs() {
  DWORD mode = 0;
  if (!GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) return false;
  DWORD processes[2];
  return GetConsoleProcessList(processes, 2) == 1;
}

// Text in the ANSI code page (plugin.ini's paths) as UTF-8.
std::string FromAnsi(const char* text) {
  const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  std::wstring wide(n > 0 ? n : 1, L'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], n);
  return Utf8(wide.c_str());
}

// The program's folder, whatever characters its name has.
std::string ProgramDir() {
  std::wstring name(32768, L'\0');
  const DWORD n = GetModuleFileNameW(nullptr, &name[0], DWORD(name.size()));
  name.resize(n < name.size() ? n : 0);
  return Utf8(name.substr(0, name.find_last_of(L'\\')).c_str());
}

}  // namespace

// Wide: the names a listener drops on the program need not fit the ANSI
// code page. Everything inside the tool is UTF-8.
int wmain(int argc, wchar_t** wargv) {
  std::vector<std::string> args(argc);
  std::vector<char*> argv;
  for (int i = 0; i < argc; ++i) {
    args[i] = Utf8(wargv[i]);
    argv.push_back(&args[i][0]);
  }
  // The program lives beside the DLL: GetModuleFileName of the program
  // gives the same folder, and the same plugin.ini the plug-in reads.
  DerivePluginPaths(nullptr);
  ChooseSettingsFile();
  LoadSettings();
  ToolContext context;
  context.programDir = ProgramDir();
  context.irFile = FromAnsi(Settings.IRFile);
  context.irDir = FromAnsi(Settings.IRDir);
  context.limitOn = Settings.IRLimitEn;
  context.limitMs = Settings.IRLimit;
  context.lowLatency = Settings.LowLatency;
  context.resampleIr = Settings.ResampleIR;
  char wisdom[kPathChars];
  int status = kStatusCannotWrite;
  if (ComposeWisdomPath(wisdom)) {
    context.wisdomPath = JoinPath(context.programDir, FileName(wisdom));
    status = RunIrTool(argc, argv.data(), context);
  } else {
    Say(stdout, "qlv_irtool: the path of its folder is too long for the plug-in\n");
  }
  if ((argc < 2 || !IsVerb(argv[1])) && ConsoleClosesWithUs()) {
    Say(stdout, "\nPress any key to close this window.\n");
    FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));
    _getch();
  }
  return status;
}
