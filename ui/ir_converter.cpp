// SPDX-License-Identifier: GPL-2.0-or-later
// The conversion of a refused IR: qlv_irtool.exe converts it into a folder
// of the job's own in the IR folder, and the copy is then moved into place
// under a name no other file has. The tool is the only reader of foreign
// files; the DLL only runs it and reads what it prints.
#include "ui/ir_converter.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kTool[] = "\\qlv_irtool.exe";
constexpr char kIrFolder[] = "\\Impulse Responses";

// The tool's exit statuses this file tells apart, and two of its own.
constexpr DWORD kToolCannotWrite = 4;
constexpr DWORD kNotStarted = 1000;
constexpr DWORD kStopped = 1001;

struct Job {
  HWND window;
  UINT message;
  WPARAM number;
  char file[kPathChars];
  bool convert;
  ToolRead read;
  ConversionResult result;
};

// Written by the UI thread before the worker starts and read after it ends;
// the worker writes the result before it posts its message.
Job job;
WPARAM lastNumber = 0;
HANDLE worker = nullptr;  // the job's thread, until EndConversion
HANDLE stop = nullptr;    // set: the job ends where it stands
std::atomic<bool> underWay{false};

bool Stopping() { return WaitForSingleObject(stop, 0) == WAIT_OBJECT_0; }

// ---- What the tool prints: a line "Read  <file>: <format>, <rate> Hz,
// <n> channel(s), <s> s (<frames> frames)" once it has read a header; a
// last line "<file>: <why>" when it refuses; "Wrote <file>: ..." for what
// it wrote.

// The digits at `text` as a number; -1 for none.
int64_t NumberAt(const char* text) {
  int64_t n = -1;
  for (int i = 0; i < 15 && text[i] >= '0' && text[i] <= '9'; ++i) {
    n = (n < 0 ? 0 : n * 10) + (text[i] - '0');
  }
  return n;
}

// The last `what` in [from, to); null for none.
const char* LastIn(const char* from, const char* to, const char* what) {
  const char* last = nullptr;
  for (const char* at = from; (at = std::strstr(at, what)) && at < to; ++at) last = at;
  return last;
}

// A file's name may hold anything, so the numbers are found from the end.
bool ParseRead(const char* log, ToolRead* read) {
  const char* line = std::strncmp(log, "Read  ", 6) == 0 ? log : std::strstr(log, "\nRead  ");
  if (!line) return false;
  const char* end = std::strchr(line + 1, '\n');
  if (!end) end = line + std::strlen(line);
  const char* hz = LastIn(line, end, " Hz, ");
  const char* open = LastIn(line, end, " (");
  if (!hz || !open) return false;
  const char* digits = hz;
  while (digits > line && digits[-1] >= '0' && digits[-1] <= '9') --digits;
  const int64_t rate = NumberAt(digits), channels = NumberAt(hz + 5);
  read->frames = NumberAt(open + 2);
  read->rate = static_cast<int32_t>(rate > INT32_MAX ? -1 : rate);
  read->channels = static_cast<int32_t>(channels > INT32_MAX ? -1 : channels);
  return read->rate >= 0 && read->channels >= 0 && read->frames >= 0;
}

// The reason of the tool's last line, up to its first ':', ';' or '(': a
// path holds no ": ", since ':' comes only after a drive letter.
void ParseWhy(const char* log, char* why, size_t size) {
  size_t end = std::strlen(log);
  while (end > 0 && (log[end - 1] == '\n' || log[end - 1] == '\r')) --end;
  size_t start = end;
  while (start > 0 && log[start - 1] != '\n') --start;
  const char* text = std::strstr(log + start, ": ");
  size_t n = 0;
  if (text && text < log + end) {
    text += 2;
    while (n + 1 < size && text + n < log + end && !std::strchr(":;(\r", text[n])) ++n;
    while (n > 0 && text[n - 1] == ' ') --n;
    std::memcpy(why, text, n);
  }
  why[n] = '\0';
}

void ReadLog(const char* path, char* log, size_t size) {
  log[0] = '\0';
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD got = 0;
  if (ReadFile(file, log, static_cast<DWORD>(size - 1), &got, nullptr)) log[got] = '\0';
  CloseHandle(file);
}

// Runs the tool with `args`, hidden, in `folder`, with its output in a file
// there that `log` gets when it ends. Its exit status, or kNotStarted or
// kStopped.
DWORD RunTool(const char* args, const char* folder, char* log, size_t size) {
  log[0] = '\0';
  char tool[kPathChars], logPath[kPathChars], line[4 * kPathChars];
  const int n =
      std::snprintf(line, sizeof line, "\"%s%s\" convert %s", Settings.PluginDir, kTool, args);
  if (!ComposePath(tool, Settings.PluginDir, kTool) ||
      !ComposePath(logPath, folder, "\\tool.txt") || n < 0 || n >= static_cast<int>(sizeof line)) {
    return kNotStarted;
  }
  // No console at all, so no console host that could outlive the tool
  // holding its files; and a file, not a pipe, for the same reason.
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE out =
      CreateFileA(logPath, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  HANDLE in = CreateFileA("NUL", GENERIC_READ, 0, &inherit, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = out;
  PROCESS_INFORMATION process = {};
  const bool started = out != INVALID_HANDLE_VALUE && in != INVALID_HANDLE_VALUE &&
                       CreateProcessA(tool, line, nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr,
                                      folder, &startup, &process);
  if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
  if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
  if (!started) return kNotStarted;
  CloseHandle(process.hThread);
  const HANDLE either[2] = {process.hProcess, stop};
  DWORD status = kStopped;
  if (WaitForMultipleObjects(2, either, FALSE, INFINITE) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process.hProcess, &status);
  } else {
    // Ended where it stands, unless its IR is written and it only tunes
    // for it: then what it writes beside the DLL is let end whole.
    ReadLog(logPath, log, size);
    if (!std::strstr(log, "\nWrote ") ||
        WaitForSingleObject(process.hProcess, 5000) != WAIT_OBJECT_0) {
      TerminateProcess(process.hProcess, kStopped);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
  }
  CloseHandle(process.hProcess);
  ReadLog(logPath, log, size);
  return status;
}

// ---- Files.

bool IrFolder(char* path) { return ComposePath(path, Settings.PluginDir, kIrFolder); }

// A folder of the job's own in the IR folder: the copy then moves into
// place in one step, and nothing of a stopped job is left elsewhere.
bool MakeJobFolder(char* folder) {
  char irs[kPathChars], name[MAX_PATH];
  if (!IrFolder(irs)) return false;
  CreateDirectoryA(irs, nullptr);
  if (!GetTempFileNameA(irs, "qlc", 0, name)) return false;
  DeleteFileA(name);
  return ComposePath(folder, name, "") && CreateDirectoryA(folder, nullptr);
}

void RemoveJobFolder(const char* folder) {
  char pattern[kPathChars], path[kPathChars];
  if (!ComposePath(pattern, folder, "\\*")) return;
  // A scanner, or Wine, may hold a file of the ended process for a moment.
  for (int attempt = 0; attempt < 50; ++attempt) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const int n = std::snprintf(path, sizeof path, "%s\\%s", folder, found.cFileName);
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && n > 0 && n < kPathChars) {
          DeleteFileA(path);
        }
      } while (FindNextFileA(search, &found));
      FindClose(search);
    }
    if (RemoveDirectoryA(folder)) return;
    Sleep(20);
  }
}

// The disk takes the copy: its samples and header, with some to spare.
bool RoomFor(const char* folder, const ToolRead& read) {
  ULARGE_INTEGER free;
  if (!GetDiskFreeSpaceExA(folder, &free, nullptr, nullptr)) return true;  // the tool will say
  return free.QuadPart >= static_cast<ULONGLONG>(read.frames) * read.channels * 2 + 65536;
}

bool SameContent(const char* a, const char* b) {
  HANDLE files[2];
  for (int k = 0; k < 2; ++k) {
    files[k] =
        CreateFileA(k ? b : a, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  LARGE_INTEGER sizes[2] = {};
  bool same = files[0] != INVALID_HANDLE_VALUE && files[1] != INVALID_HANDLE_VALUE &&
              GetFileSizeEx(files[0], &sizes[0]) && GetFileSizeEx(files[1], &sizes[1]) &&
              sizes[0].QuadPart == sizes[1].QuadPart;
  char chunks[2][16384];
  DWORD got[2] = {1, 1};
  while (same && got[0] > 0 && !Stopping()) {
    same = ReadFile(files[0], chunks[0], sizeof chunks[0], &got[0], nullptr) &&
           ReadFile(files[1], chunks[1], sizeof chunks[1], &got[1], nullptr) && got[0] == got[1] &&
           std::memcmp(chunks[0], chunks[1], got[0]) == 0;
  }
  for (HANDLE file : files) {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
  return same && got[0] == 0;
}

// Moves the tool's IR from the job's folder into the IR folder under its
// own name, or where another file has that name under the first of
// "name (2).wav", "name (3).wav"... that is free: never over a file. One of
// the same content (the same file converted before) is taken as it is.
Conversion Place(const char* folder, char* copy) {
  char pattern[kPathChars], made[kPathChars], irs[kPathChars];
  WIN32_FIND_DATAA found;
  HANDLE search = ComposePath(pattern, folder, "\\*.wav") ? FindFirstFileA(pattern, &found)
                                                          : INVALID_HANDLE_VALUE;
  if (search == INVALID_HANDLE_VALUE) return Conversion::CannotWrite;
  FindClose(search);
  const int n = std::snprintf(made, sizeof made, "%s\\%s", folder, found.cFileName);
  if (n < 0 || n >= kPathChars || !IrFolder(irs)) return Conversion::CannotWrite;
  char* dot = std::strrchr(found.cFileName, '.');
  if (dot) *dot = '\0';
  for (int number = 1; number < 100 && !Stopping(); ++number) {
    const int length =
        number == 1
            ? std::snprintf(copy, kPathChars, "%s\\%s.wav", irs, found.cFileName)
            : std::snprintf(copy, kPathChars, "%s\\%s (%d).wav", irs, found.cFileName, number);
    if (length < 0 || length >= kPathChars) break;
    if (MoveFileExA(made, copy, 0)) return Conversion::Converted;
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) break;
    if (SameContent(made, copy)) return Conversion::Converted;
  }
  copy[0] = '\0';
  return Stopping() ? Conversion::Stopped : Conversion::CannotWrite;
}

// ---- The job.

// What the tool reads of the file, and whether it converts it as it is;
// `why` says why not.
Conversion Ask(const char* folder, ToolRead* read, char* why, size_t size) {
  char args[3 * kPathChars], log[8192];
  // Channels that no file has stop the tool right after it read the
  // header: it says what it read, or why it cannot read it.
  std::snprintf(args, sizeof args, "\"%s\" --channels 65535,65535 --out \"%s\"", job.file, folder);
  const DWORD status = RunTool(args, folder, log, sizeof log);
  if (status == kStopped) return Conversion::Stopped;
  if (status == kNotStarted) return Conversion::NoTool;
  if (!ParseRead(log, read)) return Conversion::Unreadable;
  if (read->channels != 1 && read->channels != 2 && read->channels != 4) {
    std::snprintf(why, size, "%d channels", static_cast<int>(read->channels));
  } else if (read->frames == 0) {
    std::snprintf(why, size, "it holds no audio");
  } else if (read->rate < 1000 || read->rate > 768000) {
    std::snprintf(why, size, "its rate, %d Hz", static_cast<int>(read->rate));
  } else {
    return Conversion::Convertible;
  }
  return Conversion::NotAsItIs;
}

Conversion Convert(const char* folder, ConversionResult* result) {
  const ToolRead& read = result->read;
  if (!RoomFor(folder, read)) return Conversion::NoRoom;
  // At the file's own rate, so that the plug-in sees the room's real rate.
  // The tool then tunes for the copy, which the plug-in reads only at its
  // next start: it is given no time for that.
  char args[3 * kPathChars], log[8192];
  std::snprintf(args, sizeof args, "\"%s\" --rate %d --out \"%s\" --seconds 0.001", job.file,
                static_cast<int>(read.rate), folder);
  const DWORD status = RunTool(args, folder, log, sizeof log);
  if (status == kStopped) return Conversion::Stopped;
  if (status == kNotStarted) return Conversion::NoTool;
  // Written, even when tuning failed after it.
  const Conversion placed = Place(folder, result->copy);
  if (placed != Conversion::CannotWrite || status == 0) return placed;
  if (status == kToolCannotWrite) {
    return RoomFor(folder, read) ? Conversion::CannotWrite : Conversion::NoRoom;
  }
  ToolRead again;
  if (!ParseRead(log, &again)) return Conversion::Unreadable;
  ParseWhy(log, result->why, sizeof result->why);
  return Conversion::Refused;
}

Conversion Run(ConversionResult* result) {
  char tool[kPathChars], folder[kPathChars];
  if (!ComposePath(tool, Settings.PluginDir, kTool) ||
      GetFileAttributesA(tool) == INVALID_FILE_ATTRIBUTES) {
    return Conversion::NoTool;
  }
  if (!MakeJobFolder(folder)) return Conversion::CannotWrite;
  // A conversion asks first unless it knows what the tool reads.
  result->read = job.read;
  Conversion outcome = Conversion::Convertible;
  if (!job.convert || job.read.rate == 0) {
    outcome = Ask(folder, &result->read, result->why, sizeof result->why);
  }
  if (job.convert && outcome == Conversion::Convertible) outcome = Convert(folder, result);
  RemoveJobFolder(folder);
  return outcome;
}

DWORD WINAPI Worker(LPVOID held) {
  std::memset(&job.result, 0, sizeof job.result);
  job.result.outcome = Run(&job.result);
  if (job.result.outcome != Conversion::Stopped) {
    PostMessageA(job.window, job.message, job.number, 0);
  }
  FreeLibraryAndExitThread(static_cast<HMODULE>(held), 0);
}

}  // namespace

WPARAM StartConversion(HWND window, UINT message, const char* file, bool convert,
                       const ToolRead& known) {
  EndConversion();
  job.window = window;
  job.message = message;
  if (++lastNumber == 0) ++lastNumber;  // 0 is no job
  job.number = lastNumber;
  std::snprintf(job.file, sizeof job.file, "%s", file);
  job.convert = convert;
  job.read = known;
  // A reference on the library of its own, as every thread of ours holds.
  HMODULE held = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&job), &held);
  stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  worker = held && stop ? CreateThread(nullptr, 0, Worker, held, 0, nullptr) : nullptr;
  if (!worker) {
    if (held) FreeLibrary(held);
    if (stop) CloseHandle(stop);
    stop = nullptr;
    return 0;
  }
  underWay = true;
  return job.number;
}

const ConversionResult& ConversionEnded() { return job.result; }

void EndConversion() {
  if (!worker) return;
  SetEvent(stop);
  WaitForSingleObject(worker, INFINITE);
  CloseHandle(worker);
  CloseHandle(stop);
  worker = nullptr;
  stop = nullptr;
  underWay = false;
}

bool ConversionUnderWay() { return underWay; }
