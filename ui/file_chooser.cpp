// SPDX-License-Identifier: GPL-2.0-or-later
// ChooseIrFile: the file-open dialog that the control window's Load runs on
// the UI thread.
#include "ui/file_chooser.h"

#include <commdlg.h>
#include <direct.h>

#include <cstring>

#include "life/life.h"
#include "settings/settings.h"
#include "ui/resource.h"

BOOL ChooseIrFile(HWND owner) {
  // The dialog may change the process's working directory; a directory too
  // long to save is not restored rather than cut.
  char saved[kPathChars];
  const bool haveSaved = _getcwd(saved, kPathChars) != nullptr;

  char file[kPathChars];
  const char* initial = Settings.IRFile[0] ? FileNamePart(Settings.IRFile) : "*.wav";
  std::strncpy(file, initial, kPathChars - 1);
  file[kPathChars - 1] = '\0';

  OPENFILENAMEA ofn;
  std::memset(&ofn, 0, sizeof ofn);
  ofn.lStructSize = OPENFILENAME_SIZE_VERSION_400A;  // 76
  ofn.hwndOwner = owner;
  // All files too: a file of another form is offered to the IR tool.
  ofn.lpstrFilter = "Wave files: mono, stereo, true stereo (*.wav)\0*.wav\0All files (*.*)\0*.*\0";
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = file;
  ofn.nMaxFile = kPathChars;
  ofn.lpstrInitialDir = Settings.IRDir;
  ofn.lpstrTitle = "Choose impulse response";
  ofn.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
  ofn.lpstrDefExt = "WAV";
  const BOOL chosen = GetOpenFileNameA(&ofn);
  if (chosen) NameIrFile(file, true);
  if (haveSaved) _chdir(saved);
  return chosen;
}
