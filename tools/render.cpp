// SPDX-License-Identifier: GPL-2.0-or-later
// qlv_render: streams a 16-bit WAV file through the engine in host-sized
// buffers, as the player would, and writes the result.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/engine_lock.h"
#include "life/life.h"
#include "tools/wav_io.h"

namespace {

const char kUsage[] =
    "usage: qlv_render --ir IR.wav [options] in.wav out.wav\n"
    "  --gain DB       input gain in dB (default 0)\n"
    "  --auto-gain     derive the gain from the IR's spectral peak\n"
    "  --limit MS      use at most MS milliseconds of the IR\n"
    "  --mono-in       mix stereo input to mono before convolving\n"
    "  --mono-out      produce mono output\n"
    "  --low-latency   the partitioned engine: output lags by 512 frames, not the IR's length\n"
    "  --buffer N      frames per buffer (default 576)\n"
    "  --bits 8|16|24  stream and write the output at this depth (default 16)\n"
    "  --resample-ir   convert the IR to the input's sample rate (ResampleIR=1)\n"
    "  --tail          append silence so the reverb tail is kept\n";

int Fail(const char* message) {
  std::fprintf(stderr, "qlv_render: %s\n%s", message, kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string ir, in, out;
  int buffer = 576;
  int bits = 16;
  bool tail = false;
  Settings.Active = 1;
  Settings.AutoGain = 0;
  int32_t gain = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--ir" && hasValue) {
      ir = argv[++i];
    } else if (arg == "--gain" && hasValue) {
      gain = std::atoi(argv[++i]);
    } else if (arg == "--auto-gain") {
      Settings.AutoGain = 1;
    } else if (arg == "--limit" && hasValue) {
      Settings.IRLimitEn = 1;
      Settings.IRLimit = std::atoi(argv[++i]);
    } else if (arg == "--mono-in") {
      Settings.ForceMonoIn = 1;
    } else if (arg == "--mono-out") {
      Settings.ForceMonoOut = 1;
    } else if (arg == "--low-latency") {
      Settings.LowLatency = 1;
    } else if (arg == "--buffer" && hasValue) {
      buffer = std::atoi(argv[++i]);
    } else if (arg == "--bits" && hasValue) {
      bits = std::atoi(argv[++i]);
    } else if (arg == "--resample-ir") {
      Settings.ResampleIR = 1;
    } else if (arg == "--tail") {
      tail = true;
    } else if (arg[0] == '-') {
      return Fail(("unknown option " + arg).c_str());
    } else if (in.empty()) {
      in = arg;
    } else {
      out = arg;
    }
  }
  if (ir.empty() || in.empty() || out.empty()) return Fail("IR, input and output are needed");
  if (buffer < 1) return Fail("--buffer must be at least 1");
  if (bits != 8 && bits != 16 && bits != 24) return Fail("--bits takes 8, 16 or 24");
  if (ir.size() >= kPathChars) return Fail("IR path too long");
  std::snprintf(Settings.IRFile, kPathChars, "%s", ir.c_str());
  SetGainDB(gain);

  PcmAudio audio;
  if (!ReadPcm16(in, &audio)) return Fail("input is not a 16-bit PCM mono or stereo WAV file");
  Settings.SampleRate = audio.rate;
  StartLife(false);
  const int32_t result = PrepareEngine(audio.channels);
  if (result != PrepareOk) {
    static const char* const kWhy[] = {"", "cannot open the IR", "the IR is not a 16-bit WAV",
                                       "not enough memory"};
    return Fail(kWhy[result]);
  }
  const int32_t block = EngineInForce()->BlockLength;
  if (tail) audio.samples.resize(audio.samples.size() + 2 * size_t(block) * audio.channels);

  // The input at the depth asked for: 24 bits below it, 8 bits above.
  const int bytes = bits / 8;
  std::vector<uint8_t> pcm(audio.samples.size() * bytes);
  for (size_t i = 0; i < audio.samples.size(); ++i) {
    const int32_t v = bits == 24  ? audio.samples[i] * 256
                      : bits == 8 ? (audio.samples[i] >> 8) + 128
                                  : audio.samples[i];
    for (int k = 0; k < bytes; ++k) pcm[i * bytes + k] = static_cast<uint8_t>(v >> (8 * k));
  }
  const auto start = std::chrono::steady_clock::now();
  const int64_t frames = audio.Frames();
  for (int64_t at = 0; at < frames; at += buffer) {
    const int32_t n = static_cast<int32_t>(std::min<int64_t>(buffer, frames - at));
    ProcessSamples(nullptr, reinterpret_cast<int16_t*>(pcm.data() + at * audio.channels * bytes), n,
                   bits, audio.channels, audio.rate);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!WritePcm(out, audio.channels, audio.rate, bits, pcm)) {
    return Fail("cannot write the output");
  }
  std::printf("%s: %lld frames, %d ch, %d Hz, %d bits, IR block %d (latency %.1f ms), gain %d dB\n",
              out.c_str(), static_cast<long long>(frames), audio.channels, audio.rate, bits, block,
              1000.0 * block / audio.rate, static_cast<int>(Settings.GainDB));
  std::printf("%.3f s of audio in %.3f s: %.0fx realtime\n", double(frames) / audio.rate, seconds,
              double(frames) / audio.rate / (seconds > 0 ? seconds : 1e-9));
  UnloadEngine();
  return 0;
}
