// SPDX-License-Identifier: GPL-2.0-or-later
// The nine keys of a saved plugin.ini, in the order a save writes them,
// with their defaults: the text the tests expect a save to leave.
#pragma once

#include <map>
#include <string>

struct IniKey {
  const char* name;
  const char* fallback;  // the two paths: relative to the plug-in folder
};

inline const IniKey kIniKeys[] = {
    {"Active", "1"},
    {"IRFile", "\\Impulse Responses\\Chapel.wav"},
    {"IRDir", "\\Impulse Responses"},
    {"IRLimitEn", "0"},
    {"IRLimit", "4000"},
    {"GainDB", "0"},
    {"ForceMonoIn", "0"},
    {"ForceMonoOut", "0"},
    {"AutoGain", "1"},
};

// The whole text of a first save in plug-in folder `dir`: the defaults,
// with the values in `changed` in place of theirs.
inline std::string SavedIni(const std::string& dir,
                            const std::map<std::string, std::string>& changed = {}) {
  std::string text = "[Quillarven]\r\n";
  for (const IniKey& key : kIniKeys) {
    const auto found = changed.find(key.name);
    std::string value = key.fallback;
    if (found != changed.end()) {
      value = found->second;
    } else if (value[0] == '\\') {
      value = dir + value;
    }
    text += std::string(key.name) + "=" + value + "\r\n";
  }
  return text;
}
