// SPDX-License-Identifier: GPL-2.0-or-later
// ProcessSamples: streaming overlap-save convolution of the host's buffers,
// one block of latency, cut at every block boundary.
#include <cstring>

#include "engine/engine.h"
#include "engine/engine_lock.h"

namespace {

// S = S * H, bin by bin (the ordinary complex product, DC and Nyquist
// included), for N even: S holds N/2 + 1 interleaved complex bins as FFTW's
// real-to-complex transform leaves them, H is halfcomplex (r0..r(N/2),
// i(N/2-1)..i1). The arithmetic is that of the halfcomplex product.
void SpectrumProduct(double* s, const double* h, int32_t n) {
  s[0] *= h[0];
  for (int32_t k = 1; k < n / 2; ++k) {
    const double a = s[2 * k], b = s[2 * k + 1], c = h[k], d = h[n - k];
    s[2 * k] = a * c - b * d;
    s[2 * k + 1] = a * d + b * c;
  }
  s[n] *= h[n / 2];
}

fftw_complex* Bins(double* spectrum) { return reinterpret_cast<fftw_complex*>(spectrum); }

// The low-latency engine's step: the block's input in, its output out.
void PartitionedStep() {
  ConvolutionEngine& e = Engine;
  const double* input[2] = {e.InputBlock[0], e.InputBlock[1]};
  double* output[2] = {e.WorkBuffer.Data[0] + e.BlockLength,
                       e.WorkBuffer.Channels > 1 ? e.WorkBuffer.Data[1] + e.BlockLength : nullptr};
  LowLatencyStep(&e.Partitioned, input, output);
  e.FillPos = e.BlockLength;
  e.OutputCursor[0] = e.OutputCursor[1] = e.BlockLength;
  e.InputCursor[0] = e.InputCursor[1] = 0;
}

// Transforms the full block, multiplies by the IR and keeps the valid half.
void BlockStep() {
  ConvolutionEngine& e = Engine;
  const int32_t n = e.FftLength;
  const int32_t h = e.BlockLength;
  double** work = e.WorkBuffer.Data;
  double** spectrum = e.SpectrumBuffer.Data;
  double** ir = e.IrSpectrum.Data;
  switch (e.BlockMode) {
    case BlockMono:
      fftw_execute_dft_r2c(e.ForwardPlan, work[0], Bins(spectrum[0]));
      SpectrumProduct(spectrum[0], ir[0], n);
      fftw_execute_dft_c2r(e.InversePlan, Bins(spectrum[0]), work[0]);
      std::memcpy(work[0], e.InputBlock[0], sizeof(double) * h);
      break;
    case BlockOneToTwoIrs:
      fftw_execute_dft_r2c(e.ForwardPlan, work[0], Bins(spectrum[0]));
      std::memcpy(spectrum[1], spectrum[0], sizeof(double) * (n + 2));
      SpectrumProduct(spectrum[0], ir[0], n);
      SpectrumProduct(spectrum[1], ir[1], n);
      fftw_execute_dft_c2r(e.InversePlan, Bins(spectrum[0]), work[0]);
      fftw_execute_dft_c2r(e.InversePlan, Bins(spectrum[1]), work[1]);
      std::memcpy(work[0], e.InputBlock[0], sizeof(double) * h);
      std::memcpy(work[1], e.InputBlock[0], sizeof(double) * h);
      break;
    default: {  // two channels, with IR channel 0 or each with its own
      const double* ir1 = e.BlockMode == BlockTwoWithOneIr ? ir[0] : ir[1];
      fftw_execute_dft_r2c(e.ForwardPlan, work[0], Bins(spectrum[0]));
      fftw_execute_dft_r2c(e.ForwardPlan, work[1], Bins(spectrum[1]));
      SpectrumProduct(spectrum[0], ir[0], n);
      SpectrumProduct(spectrum[1], ir1, n);
      fftw_execute_dft_c2r(e.InversePlan, Bins(spectrum[0]), work[0]);
      fftw_execute_dft_c2r(e.InversePlan, Bins(spectrum[1]), work[1]);
      std::memcpy(work[0], e.InputBlock[0], sizeof(double) * h);
      std::memcpy(work[1], e.InputBlock[1], sizeof(double) * h);
      break;
    }
  }
  e.FillPos = h;
  e.OutputCursor[0] = e.OutputCursor[1] = h;
  e.InputCursor[0] = e.InputCursor[1] = 0;
}

// Per-frame rule of the four input modes over `count` frames: read the
// output, then store the new input in its place and in InputBlock.
void ProcessFrames(int16_t* s, int32_t count) {
  ConvolutionEngine& e = Engine;
  double* out0 = e.WorkBuffer.Data[0] + e.OutputCursor[0];
  double* in0 = e.InputBlock[0] + e.InputCursor[0];
  switch (e.InputMode) {
    case InputMono:
      for (int32_t i = 0; i < count; ++i) {
        const double x = s[i] * Settings.GainLinear.load(std::memory_order_relaxed);
        s[i] = ToSample(out0[i]);
        out0[i] = in0[i] = x;
      }
      break;
    case InputMixedToOne:
      for (int32_t i = 0; i < count; ++i) {
        const double g = Settings.GainLinear.load(std::memory_order_relaxed);
        const double x = (s[2 * i] + s[2 * i + 1]) * g * 0.5;
        s[2 * i] = s[2 * i + 1] = ToSample(out0[i]);
        out0[i] = in0[i] = x;
      }
      break;
    case InputMixedToTwo: {
      double* out1 = e.WorkBuffer.Data[1] + e.OutputCursor[1];
      for (int32_t i = 0; i < count; ++i) {
        const double g = Settings.GainLinear.load(std::memory_order_relaxed);
        const double x = (s[2 * i] + s[2 * i + 1]) * g * 0.5;
        s[2 * i] = ToSample(out0[i]);
        s[2 * i + 1] = ToSample(out1[i]);
        out0[i] = in0[i] = x;
      }
      e.OutputCursor[1] += count;
      break;
    }
    default: {  // InputStereo
      double* out1 = e.WorkBuffer.Data[1] + e.OutputCursor[1];
      double* in1 = e.InputBlock[1] + e.InputCursor[1];
      for (int32_t i = 0; i < count; ++i) {
        const double g = Settings.GainLinear.load(std::memory_order_relaxed);
        const double xl = s[2 * i] * g;
        const double xr = s[2 * i + 1] * g;
        s[2 * i] = ToSample(out0[i]);
        s[2 * i + 1] = ToSample(out1[i]);
        out0[i] = in0[i] = xl;
        out1[i] = in1[i] = xr;
      }
      e.OutputCursor[1] += count;
      e.InputCursor[1] += count;
      break;
    }
  }
  e.OutputCursor[0] += count;
  e.InputCursor[0] += count;
}

}  // namespace

int32_t ProcessSamples(void* /*module*/, int16_t* samples, int32_t frames, int32_t bits,
                       int32_t channels, int32_t rate) {
  Settings.SampleRate = rate;
  if (!Settings.Active) return frames;
  // Only 16-bit mono or stereo can be convolved in place; anything else is
  // passed through rather than misread or written past its end.
  if (bits != 16 || (channels != 1 && channels != 2)) return frames;
  if (channels != Engine.PreparedChannels) PrepareEngine(channels);
  if (!samples) return frames;

  // Loaded or not is read under the lock: a preparation under way on the UI
  // thread is waited for rather than leaving this buffer dry.
  EngineLockGuard hold;
  ConvolutionEngine& e = Engine;
  if (!e.EngineLoaded) return frames;
  const int32_t stride = e.InputMode == InputMono ? 1 : 2;
  if ((stride == 1) != (channels == 1)) return frames;
  int16_t* position = samples;
  int32_t remaining = frames;
  while (remaining > 0) {
    if (e.FillPos >= e.FftLength) {
      if (e.PreparedLowLatency) {
        PartitionedStep();
      } else {
        BlockStep();
      }
    }
    int32_t n = e.FftLength - e.FillPos;
    if (n > remaining) n = remaining;
    e.FillPos += n;
    remaining -= n;
    ProcessFrames(position, n);
    position += n * stride;
  }
  return frames;
}
