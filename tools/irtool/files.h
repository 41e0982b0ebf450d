// SPDX-License-Identifier: GPL-2.0-or-later
// The file operations the IR tool needs, one small layer per platform:
// folders, listing files, output that appears whole or not at all, and
// the names the plug-in can open. Paths are UTF-8 everywhere.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The last part of a path, after any slash or backslash.
std::string FileName(const std::string& path);

// dir + separator + name, with the platform's separator.
std::string JoinPath(const std::string& dir, const std::string& name);

bool IsFolder(const std::string& path);
bool Exists(const std::string& path);

// Bytes in the file; -1 when it cannot be asked.
int64_t FileSize(const std::string& path);

// As std::fopen and sf_open.
std::FILE* OpenFile(const std::string& path, const char* mode);
SNDFILE* OpenSound(const std::string& path, SF_INFO* info);

// Makes the folder itself (not its parents); true when it exists afterwards.
bool MakeFolder(const std::string& path);

// The *.wav files directly in a folder (any letter case), sorted by name.
std::vector<std::string> WavFilesIn(const std::string& dir);

// The names of the files (not folders) directly in a folder.
std::vector<std::string> FileNamesIn(const std::string& dir);

// Creates an empty temporary file in the folder `dest` will be in and
// returns its path; empty when the folder does not take new files.
std::string CreateTempBeside(const std::string& dest);

// Renames the temporary file to `dest` in one step. Without `replace` an
// existing `dest` is left alone and the result is false.
bool CommitTemp(const std::string& temp, const std::string& dest, bool replace);

void RemoveFile(const std::string& path);

// The plug-in keeps its paths in the ANSI code page. The name with each
// character that code page cannot hold replaced by '_' (never by a look-
// alike, never by '?'); and whether a path can be held there whole.
std::string PluginFileName(const std::string& name);
bool PluginCanOpen(const std::string& path);

// A name as the file system compares it: without regard to letter case.
std::string FoldCase(const std::string& name);

// Writes the text to `out` at once; a Windows console gets it as Unicode.
void Print(std::FILE* out, const std::string& text);

// Whether `out` is a console (or terminal), where a line can be redrawn.
bool IsConsole(std::FILE* out);

#ifdef _WIN32
// UTF-8 from and to Windows' UTF-16.
std::string Utf8(const wchar_t* wide);
std::wstring Wide(const std::string& utf8);
#endif
