// SPDX-License-Identifier: GPL-2.0-or-later
// The process-wide settings record, its INI store and the small rules that
// go with it: paths, the decibel gain rule and the numeric reading.
#pragma once

#include <atomic>
#include <cstdint>

constexpr int kPathChars = 260;  // path fields, terminator included

// Numeric fields are shared with the audio thread without a lock: each is
// one atomic word, read and written whole. IRFile and IRDir change only on
// the UI thread, under EngineLock, so a reload never sees half a path.
struct ReverbSettings {
  std::atomic<int32_t> Active;        // effect on (non-zero) or bypassed
  char IRFile[kPathChars];            // IR path, or an error text after a failed Load
  char IRDir[kPathChars];             // where the file chooser opens
  std::atomic<int32_t> IRLimitEn;     // limit the IR's length
  std::atomic<int32_t> IRLimit;       // the limit in ms; the engine takes 0 as 10
  std::atomic<int32_t> GainDB;        // input gain in whole dB
  std::atomic<int32_t> ForceMonoIn;   // mix stereo input to mono
  std::atomic<int32_t> ForceMonoOut;  // produce mono output
  std::atomic<int32_t> AutoGain;      // derive GainDB from the IR at a full load
  // Stored only once they leave their default (or are in the file already):
  std::atomic<int32_t> LowLatency;     // 1: the partitioned engine, output within a few ms
  std::atomic<int32_t> ResampleIR;     // 1: IRs converted to the stream's rate
  std::atomic<int32_t> Mix{100};       // percent wet, read once a call: 100 the reverb alone,
                                       // 0 the music alone; beyond 0..100 the nearest end
  std::atomic<int32_t> MatchLoudness;  // 1: the wet at the music's loudness, GainDB an
                                       // offset from it; automatic gain does not act
  // Not stored:
  std::atomic<double> GainLinear;   // 10^(GainDB * 0.05), read per frame
  std::atomic<int32_t> SampleRate;  // last rate the host passed, Hz
  char PluginDir[kPathChars];       // the library's directory, no trailing backslash
  char IniPath[kPathChars];         // where settings are saved: PluginDir + "\plugin.ini",
                                    // or the per-user file; empty when neither fits
};

static_assert(std::atomic<double>::is_always_lock_free, "GainLinear must move whole");
static_assert(std::atomic<int32_t>::is_always_lock_free, "settings words must move whole");

extern ReverbSettings Settings;

extern const char kSettingsSection[];  // "Quillarven"

// The linear gain of `db` whole dB: 10^(db * 0.05).
double GainLinearOf(int32_t db);

// Sets GainDB and GainLinear = GainLinearOf(GainDB) as one pair; every
// writer of the gain uses it, from any thread.
void SetGainDB(int32_t db);

// SetGainDB only while GainDB is still `expected`; true when it wrote.
bool ReplaceGainDB(int32_t expected, int32_t db);

// Called after a preparation set the gain, on whichever thread prepared, so
// that a window can show the gain in force; null for none. It must not wait.
extern std::atomic<void (*)()> GainSetByEngine;

// Cuts text in place at its last backslash (empty when there is none).
void StripFileName(char* text);

// The text after the last backslash or colon; with neither, the text from
// its second character (which drops the dash of an error text). An empty
// text yields itself. Points into the given text.
const char* FileNamePart(const char* path);

// Reads a number like atol (leading blanks, a sign, digits), saturating at
// the 32-bit bounds instead of overflowing.
int32_t ParseSettingNumber(const char* text);

// Writes dir followed by suffix into dst (kPathChars). When the result does
// not fit, dst is left empty and the result is false.
bool ComposePath(char* dst, const char* dir, const char* suffix);

// Fills the default IR file and directory where they are empty (and a
// PluginDir is known).
void ApplyDefaultPaths();

// PluginDir\dsp_qlv3.dat, the FFT planning data (FFTW wisdom), into path
// (kPathChars); false and empty when it does not fit or no PluginDir is known.
bool ComposeWisdomPath(char* path);

// Win32 build only. Sets PluginDir and IniPath (beside the DLL) from the
// library's file name; both stay empty when the directory does not fit.
void DerivePluginPaths(void* instance);

// Win32 build only, after DerivePluginPaths: where the settings live. The
// per-user file (%APPDATA%\Quillarven Convolution\plugin.ini) when it exists;
// else plugin.ini beside the DLL when it can be written (or is only busy
// for a moment); else the per-user file, first read from the one beside the
// DLL. Removes the temporary files of saves that a crash cut short there.
void ChooseSettingsFile();

// The INI store (Win32 build only): the nine keys of section "Quillarven",
// and LowLatency, ResampleIR and Mix where they differ from their defaults
// or are in the file already.
// A save replaces the file whole and says whether it was written; a failed
// save changes nothing and leaves SavePending() true until one succeeds.
void LoadSettings();
bool SaveSettings();
bool SavePending();
