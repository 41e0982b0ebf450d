// SPDX-License-Identifier: GPL-2.0-or-later
// The file operations the IR tool needs, one small layer per platform:
// folders, listing files, and output that appears whole or not at all.
#pragma once

#include <string>
#include <vector>

// The last part of a path, after any slash or backslash.
std::string FileName(const std::string& path);

// dir + separator + name, with the platform's separator.
std::string JoinPath(const std::string& dir, const std::string& name);

bool IsFolder(const std::string& path);
bool Exists(const std::string& path);

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
