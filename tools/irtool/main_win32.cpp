// SPDX-License-Identifier: GPL-2.0-or-later
// qlv_irtool.exe's entry: the plug-in folder and settings found the way the
// plug-in finds its own, and a console that stays open for files dropped
// on the program in Explorer.
#include <windows.h>
// After windows.h:
#include <conio.h>

#include "settings/settings.h"
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

}  // namespace

int main(int argc, char** argv) {
  // The program lives beside the DLL: GetModuleFileName of the program
  // gives the same folder, and the same plugin.ini the plug-in reads.
  DerivePluginPaths(nullptr);
  ChooseSettingsFile();
  LoadSettings();
  ToolContext context;
  context.programDir = Settings.PluginDir;
  context.irFile = Settings.IRFile;
  context.irDir = Settings.IRDir;
  context.limitOn = Settings.IRLimitEn;
  context.limitMs = Settings.IRLimit;
  context.lowLatency = Settings.LowLatency;
  char wisdom[kPathChars];
  int status = kStatusCannotWrite;
  if (ComposeWisdomPath(wisdom)) {
    context.wisdomPath = wisdom;
    status = RunIrTool(argc, argv, context);
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
