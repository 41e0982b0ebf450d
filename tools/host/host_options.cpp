// SPDX-License-Identifier: GPL-2.0-or-later
// Parsing and help text of qlv_host's command line.
#include "tools/host/host_options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kUsage[] = R"(Usage: qlv_host [options] PLUGIN.dll [IN.wav [OUT.wav]]

Loads a DSP plug-in as the player does: LoadLibrary, winampDSPGetHeader2,
GetModule(0), GetModule(1), ... until null, then Init on module 0, streams
IN.wav (or --seconds of a generated stereo tone at 44.1 kHz) through
ModifySamples from an audio thread of its own, writes OUT.wav, calls Quit and
FreeLibrary straight after it. The main thread pumps messages throughout.

Streaming:
  --buffer N             frames per ModifySamples call (default 576, 1..65536)
  --random-buffers SEED  random frames per call, 1..4096, and one call in
                         eight with 0 frames; the same SEED, the same sizes
  --realtime             pace the calls at the audio's own speed, so the
                         plug-in's window can be used meanwhile
  --seconds S            length of the generated input (default 10)
  --bits N               bits per sample passed to the calls (default 16)
  --channels N           channel count passed (default: the buffer's own)
  --rate N               sample rate passed (default: the file's own)
  --rate-from RATE@MS    from MS ms of the stream's audio on, pass RATE
                         The buffer always holds 16-bit samples of the
                         file; it is big enough for the claimed layout.
  --change-channels      switch between the file's channel count and the
                         other of mono/stereo every half second of audio
                         (stereo to mono: (L + R) >> 1; mono to stereo: the
                         sample twice; back again the same way)

Host behaviour:
  --prefs                the preferences page: load, header, list modules,
                         free; no Init. Fails if a thread or window remains.
  --config-only          load, header, GetModule, Config without Init, free.
                         Fails if a thread or window remains.
  --config-after-init    call Config from another thread right after Init
  --module N             the module to run (default 0)
  --null-parent          pass a null parent window
  --hidden-parent        pass the host window but never show it
  --misalign N           every call into the plug-in, and the host's audio
                         thread and window procedures, run with esp N bytes
                         below a multiple of 16 at the call (0, 4, 8, 12;
                         default 0, as a mingw-built host)
  --quit-free-at-once    FreeLibrary straight after Quit returns (always so)
  --post-quit            post WM_QUIT to the main thread just before Quit
  --free-without-quit    FreeLibrary without Quit, as some hosts do; then
                         close the plug-in's window and wait for the threads
                         it started to end
  --close-window-ms N    after N ms of streaming (or at its end, if sooner)
                         send WM_CLOSE to the plug-in's visible top-level
                         window and wait for it to go
  --click ID@MS          after MS ms of streaming, click the control ID of
                         the plug-in's window (a button or check box), as
                         a person would; up to 8 with --drag, in time order
  --drag ID@MS           after MS ms of streaming, drag the slider ID of the
                         plug-in's window from one end to the other in 1 s
  --copy-file FROM TO@MS after MS ms of streaming, copy FROM over TO (an IR
                         rewritten while playing)
  --wait-ms N            pump messages N ms after Init, before streaming
  --hold-ms N            pump messages N ms after streaming, before Quit
  --cycles N             load .. free N times in one process; prints the
                         process's memory after each cycle
  --timeout-ms N         a plug-in call not returning within N ms is
                         reported as hung (default 10000; 0: wait for ever)
  --help                 this text

Everything goes to stdout, one line per step. Exit codes: 0 success, 1 usage
or WAV file error, 2 the plug-in broke the interface (missing export, wrong
version, Init failed, wrong frame count, write past the buffer, a thread or
window left by --prefs or --config-only), 3 a call hung, 4 a crash.
)";

bool ParseInt(const char* text, long low, long high, int* value) {
  if (!text || !*text) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno || *end || v < low || v > high) return false;
  *value = static_cast<int>(v);
  return true;
}

}  // namespace

const char* HostUsage() { return kUsage; }

bool ParseHostOptions(int argc, char** argv, HostOptions* o, std::string* error) {
  int positional = 0;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    // Options with a number: name, range, destination.
    struct Numeric {
      const char* name;
      long low, high;
      int* value;
    };
    int seed = 0;
    const Numeric numeric[] = {
        {"--buffer", 1, 65536, &o->buffer},
        {"--bits", 0, 64, &o->bits},
        {"--channels", 0, 64, &o->channels},
        {"--rate", 0, 0x7fffffff, &o->rate},
        {"--module", 0, 63, &o->module},
        {"--misalign", 0, 12, &o->misalign},
        {"--close-window-ms", 0, 0x7fffffff, &o->closeWindowMs},
        {"--wait-ms", 0, 0x7fffffff, &o->waitMs},
        {"--hold-ms", 0, 0x7fffffff, &o->holdMs},
        {"--cycles", 1, 100000, &o->cycles},
        {"--timeout-ms", 0, 0x7fffffff, &o->timeoutMs},
        {"--random-buffers", 0, 0x7fffffff, &seed},
    };
    bool matched = false;
    for (const Numeric& n : numeric) {
      if (std::strcmp(a, n.name) != 0) continue;
      if (!ParseInt(next, n.low, n.high, n.value)) {
        *error = std::string(a) + " needs a whole number from " + std::to_string(n.low) + " to " +
                 std::to_string(n.high);
        return false;
      }
      if (n.value == &seed) {
        o->randomBuffers = true;
        o->seed = static_cast<uint32_t>(seed);
      }
      matched = true;
      ++i;
      break;
    }
    if (matched) continue;
    if (std::strcmp(a, "--seconds") == 0) {
      char* end = nullptr;
      o->seconds = next ? std::strtod(next, &end) : -1;
      if (!next || *end || !(o->seconds >= 0 && o->seconds <= 3600)) {
        *error = "--seconds needs a number from 0 to 3600";
        return false;
      }
      ++i;
    } else if (std::strcmp(a, "--click") == 0 || std::strcmp(a, "--drag") == 0) {
      int control = 0, ms = 0;
      char extra = 0;
      if (!next || o->clickCount == 8 || std::sscanf(next, "%d@%d%c", &control, &ms, &extra) != 2 ||
          control < 1 || ms < 0) {
        *error = std::string(a) + " needs a control id and a time in ms as ID@MS, at most 8 in all";
        return false;
      }
      o->clicks[o->clickCount++] = {control, ms, a[2] == 'd'};
      ++i;
    } else if (std::strcmp(a, "--copy-file") == 0) {
      const char* to = i + 2 < argc ? argv[i + 2] : nullptr;
      const char* at = to ? std::strrchr(to, '@') : nullptr;
      char extra = 0;
      if (!next || !at || at == to || std::sscanf(at + 1, "%d%c", &o->copyMs, &extra) != 1 ||
          o->copyMs < 0) {
        *error = "--copy-file needs a file, and a file and a time in ms as TO@MS";
        return false;
      }
      o->copyFrom = next;
      o->copyTo.assign(to, at);
      i += 2;
    } else if (std::strcmp(a, "--rate-from") == 0) {
      char extra = 0;
      if (!next || std::sscanf(next, "%d@%d%c", &o->rateFrom, &o->rateFromMs, &extra) != 2 ||
          o->rateFrom < 0 || o->rateFromMs < 0) {
        *error = "--rate-from needs a rate and a time in ms as RATE@MS";
        return false;
      }
      ++i;
    } else if (std::strcmp(a, "--realtime") == 0) {
      o->realtime = true;
    } else if (std::strcmp(a, "--change-channels") == 0) {
      o->changeChannels = true;
    } else if (std::strcmp(a, "--prefs") == 0) {
      o->mode = HostMode::kPrefs;
    } else if (std::strcmp(a, "--config-only") == 0) {
      o->mode = HostMode::kConfigOnly;
    } else if (std::strcmp(a, "--config-after-init") == 0) {
      o->configAfterInit = true;
    } else if (std::strcmp(a, "--null-parent") == 0) {
      o->nullParent = true;
    } else if (std::strcmp(a, "--hidden-parent") == 0) {
      o->hiddenParent = true;
    } else if (std::strcmp(a, "--quit-free-at-once") == 0) {
      // The only order there is; accepted so that scripts can say so.
    } else if (std::strcmp(a, "--post-quit") == 0) {
      o->postQuit = true;
    } else if (std::strcmp(a, "--free-without-quit") == 0) {
      o->freeWithoutQuit = true;
    } else if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
      o->help = true;
    } else if (a[0] == '-' && a[1] == '-') {
      *error = std::string("unknown option ") + a;
      return false;
    } else {
      std::string* slots[] = {&o->plugin, &o->input, &o->output};
      if (positional == 3) {
        *error = std::string("too many file names: ") + a;
        return false;
      }
      *slots[positional++] = a;
    }
  }
  if (o->help) return true;
  if (o->misalign % 4 != 0) {
    *error = "--misalign must be 0, 4, 8 or 12";
    return false;
  }
  if (o->plugin.empty()) {
    *error = "no plug-in DLL named";
    return false;
  }
  return true;
}
