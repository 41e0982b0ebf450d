// SPDX-License-Identifier: GPL-2.0-or-later
// ChooseIrFile and AboutWindowProc: the two small modal windows that the
// control window opens on the UI thread.
#include "ui/file_chooser.h"

#include <commdlg.h>
#include <direct.h>

#include <cstring>

#include "engine/engine_lock.h"
#include "plugin/plugin.h"
#include "settings/settings.h"
#include "ui/file_name.h"
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
  ofn.lpstrFilter = "Wave files (*.wav)\0*.wav\0";
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = file;
  ofn.nMaxFile = kPathChars;
  ofn.lpstrInitialDir = Settings.IRDir;
  ofn.lpstrTitle = "Choose impulse response";
  ofn.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
  ofn.lpstrDefExt = "WAV";
  const BOOL chosen = GetOpenFileNameA(&ofn);
  if (chosen) {
    // A reload on the audio thread reads IRFile under the same lock.
    EngineLockGuard hold;
    std::memcpy(Settings.IRFile, file, kPathChars);
    std::memcpy(Settings.IRDir, Settings.IRFile, kPathChars);
    StripFileName(Settings.IRDir);
  }
  if (haveSaved) _chdir(saved);
  return chosen;
}

namespace {

// The read-me from text resource 169; it must end in its own NUL.
void ShowReadme(HWND window) {
  HRSRC found = FindResourceA(Module.instance, MAKEINTRESOURCEA(IDR_README), "TEXT");
  HGLOBAL loaded = found ? LoadResource(Module.instance, found) : nullptr;
  const char* text = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
  const DWORD size = found ? SizeofResource(Module.instance, found) : 0;
  if (text && size > 0 && text[size - 1] == '\0') SetDlgItemTextA(window, IDC_README, text);
}

}  // namespace

// Controls: 2 OK (IDCANCEL, so Escape closes too), 1101 read-me edit.
INT_PTR CALLBACK AboutWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM /*lParam*/) {
  switch (message) {
    case WM_INITDIALOG:
      ShowReadme(window);
      return TRUE;
    case WM_COMMAND:
      if (HIWORD(wParam) != 0 || LOWORD(wParam) != IDC_ABOUT_OK) return FALSE;
      EndDialog(window, 1);
      return TRUE;
    case WM_CLOSE:
      EndDialog(window, 1);
      return TRUE;
    default:
      return FALSE;
  }
}
