// SPDX-License-Identifier: GPL-2.0-or-later
// Win32 test support: the poll loop, finding and driving this process's
// windows (the file chooser and dropped files too), screenshots, this
// process's threads and children, and a process launcher whose output goes
// to a file.
#pragma once

#include <windows.h>
// After windows.h, which they need.
#include <commctrl.h>
#include <gtest/gtest.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/audio.h"
#include "tests/support/png_writer.h"

// Polls `done` every 20 ms for up to `ms`; true as soon as it holds.
inline bool WaitFor(const std::function<bool()>& done, int ms = 15000) {
  for (int waited = 0; waited < ms; waited += 20) {
    if (done()) return true;
    Sleep(20);
  }
  return done();
}

namespace ui {

inline std::string Text(HWND window) {
  char text[4096] = "";
  GetWindowTextA(window, text, sizeof text);
  return text;
}

inline std::string ItemText(HWND dialog, int id) { return Text(GetDlgItem(dialog, id)); }

struct TitleSearch {
  std::string title;
  HWND found;
};

// Titles are read without sending messages: steady while windows come and go.
inline BOOL CALLBACK MatchTitle(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<TitleSearch*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid != GetCurrentProcessId() || !IsWindowVisible(window)) return TRUE;
  WCHAR wide[256] = L"";
  InternalGetWindowText(window, wide, 256);
  char narrow[256] = "";
  WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, sizeof narrow, nullptr, nullptr);
  if (search->title != narrow) return TRUE;
  search->found = window;
  return FALSE;
}

// Waits up to `ms` for a visible top-level window of this process.
inline HWND WaitForWindow(const std::string& title, int ms = 15000) {
  TitleSearch search{title, nullptr};
  WaitFor(
      [&] {
        EnumWindows(MatchTitle, reinterpret_cast<LPARAM>(&search));
        return search.found != nullptr;
      },
      ms);
  return search.found;
}

inline bool WaitGone(HWND window, int ms = 15000) {
  return WaitFor([&] { return !IsWindow(window); }, ms);
}

// Clicks a button without waiting for what the click opens.
inline void ClickAsync(HWND dialog, int id) {
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

// Clicks a check box the way a user does: it toggles, then tells its dialog.
inline void Click(HWND dialog, int id) { SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

inline int Checked(HWND dialog, int id) {
  return static_cast<int>(SendDlgItemMessageA(dialog, id, BM_GETCHECK, 0, 0));
}

// Answers the open-file dialog titled `title` once it shows: types `path`
// into its file-name box and presses OK, or cancels for an empty path.
// True when the dialog came and went.
inline bool ChooseFile(const std::string& title, const std::string& path) {
  HWND chooser = WaitForWindow(title);
  if (!chooser) return false;
  if (path.empty()) {
    PostMessageA(chooser, WM_COMMAND, IDCANCEL, 0);
  } else {
    HWND box = GetDlgItem(chooser, 0x47c);  // file name: a ComboBoxEx32
    HWND edit =
        FindWindowExA(FindWindowExA(box, nullptr, "ComboBox", nullptr), nullptr, "Edit", nullptr);
    if (!edit) edit = FindWindowExA(box, nullptr, "Edit", nullptr);
    if (!edit) return false;
    SendMessageA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
    PostMessageA(chooser, WM_COMMAND, IDOK, 0);
  }
  return WaitGone(chooser);
}

// Drops `files` on `window` as Explorer does: WM_DROPFILES with a handle
// that the window frees.
inline void DropFiles(HWND window, const std::vector<std::string>& files) {
  size_t bytes = sizeof(DROPFILES) + 1;
  for (const std::string& file : files) bytes += file.size() + 1;
  HGLOBAL memory = GlobalAlloc(GHND, bytes);
  auto* drop = static_cast<DROPFILES*>(GlobalLock(memory));
  drop->pFiles = sizeof(DROPFILES);
  char* names = reinterpret_cast<char*>(drop + 1);
  for (const std::string& file : files) {
    std::memcpy(names, file.c_str(), file.size() + 1);
    names += file.size() + 1;
  }
  GlobalUnlock(memory);
  PostMessageA(window, WM_DROPFILES, reinterpret_cast<WPARAM>(memory), 0);
}

// A 32-bit top-down bitmap of w by h pixels.
inline BITMAPINFO TopDown32(int w, int h) {
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = -h;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  return info;
}

// Copies the window's pixels from the screen after a repaint; PNG file.
inline bool Screenshot(HWND window, const std::string& path) {
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_FRAME);
  for (int i = 0; i < 10; ++i) {
    UpdateWindow(window);
    Sleep(50);
  }
  RECT r;
  GetWindowRect(window, &r);
  const int w = r.right - r.left, h = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  SelectObject(memory, old);
  BITMAPINFO info = TopDown32(w, h);
  std::vector<unsigned char> bgra(size_t(w) * h * 4);
  GetDIBits(memory, bitmap, 0, h, bgra.data(), &info, DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  std::vector<unsigned char> rgb(size_t(w) * h * 3);
  for (size_t i = 0; i < size_t(w) * h; ++i) {
    rgb[3 * i] = bgra[4 * i + 2];
    rgb[3 * i + 1] = bgra[4 * i + 1];
    rgb[3 * i + 2] = bgra[4 * i];
  }
  return png::Write(path, w, h, rgb);
}

}  // namespace ui

// This process's threads, or its children whose program is `exe`.
inline int CountInSnapshot(const char* exe) {
  HANDLE snapshot = CreateToolhelp32Snapshot(exe ? TH32CS_SNAPPROCESS : TH32CS_SNAPTHREAD, 0);
  int count = 0;
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  if (exe) {
    PROCESSENTRY32 process{};
    process.dwSize = sizeof process;
    for (BOOL more = Process32First(snapshot, &process); more;
         more = Process32Next(snapshot, &process)) {
      count += process.th32ParentProcessID == GetCurrentProcessId() &&
               lstrcmpiA(process.szExeFile, exe) == 0;
    }
  } else {
    THREADENTRY32 thread{};
    thread.dwSize = sizeof thread;
    for (BOOL more = Thread32First(snapshot, &thread); more;
         more = Thread32Next(snapshot, &thread)) {
      count += thread.th32OwnerProcessID == GetCurrentProcessId();
    }
  }
  CloseHandle(snapshot);
  return count;
}
inline int ThreadsOfThisProcess() { return CountInSnapshot(nullptr); }
inline int ChildProcesses(const char* exe) { return CountInSnapshot(exe); }

struct ProcessRun {
  DWORD exitCode = 1000;  // 1000: not started, 1001: ended after the timeout
  std::string out;        // standard output and error

  bool Says(const std::string& text) const { return out.find(text) != std::string::npos; }
};

// An empty folder beside the test program, one per test (`prefix` and the
// test's name): Wine's background processes may still hold an inherited
// output file of an earlier run.
inline std::filesystem::path FreshFolderBesideTest(const std::string& prefix) {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = prefix + test->test_suite_name() + "." + test->name();
  for (char& c : name) c = c == '/' ? '_' : c;
  char exe[MAX_PATH];
  GetModuleFileNameA(nullptr, exe, MAX_PATH);
  const std::filesystem::path dir = std::filesystem::path(exe).parent_path() / name;
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  std::filesystem::create_directories(dir);
  return dir;
}

// CTest hands the tests Unix paths: the same file as Wine names it.
inline std::string WindowsPath(const char* variable) {
  const char* value = std::getenv(variable);
  if (!value) return "";
  std::string path = value;
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) c = c == '/' ? '\\' : c;
  return path;
}

// Runs `command` (UTF-8) in `cwd` (null: ours) with standard input from NUL
// and its output in `outFile`: Wine's background processes keep inherited
// pipes open, so a pipe could wait for ever. A run past `timeoutMs` is ended.
inline ProcessRun RunProcess(const std::string& command, const std::string& outFile,
                             const char* cwd = nullptr, DWORD timeoutMs = 300000) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE out = CreateFileA(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                           0, nullptr);
  HANDLE in = CreateFileA("NUL", GENERIC_READ, 0, &inherit, OPEN_EXISTING, 0, nullptr);
  const auto wide = [](const std::string& utf8) {
    std::wstring text(utf8.size() + 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &text[0], int(text.size()));
    return text;
  };
  std::wstring line = wide(command);
  const std::wstring folder = wide(cwd ? cwd : "");
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = out;
  ProcessRun run;
  PROCESS_INFORMATION process{};
  if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr,
                     cwd ? folder.c_str() : nullptr, &startup, &process)) {
    if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_TIMEOUT) {
      TerminateProcess(process.hProcess, 1001);
      WaitForSingleObject(process.hProcess, INFINITE);
    }
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  CloseHandle(out);
  CloseHandle(in);
  run.out = ReadText(outFile);
  return run;
}
