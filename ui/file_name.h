// SPDX-License-Identifier: GPL-2.0-or-later
// The file-name part of a path, for labels and the file chooser.
#pragma once

// The text after the last backslash or colon; with neither, the text from
// its second character (which drops the dash of an error text). An empty
// text yields itself. Points into the given text.
const char* FileNamePart(const char* path);
