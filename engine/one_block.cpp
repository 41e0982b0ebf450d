// SPDX-License-Identifier: GPL-2.0-or-later
// The one-block engine: overlap-save with one block at least as long as the
// IR, real transforms of twice its length, one block of latency.
#include <cstring>

#include "engine/engine.h"
#include "engine/plans.h"

namespace {

struct OneBlock {
  int32_t FftLength;           // N = 2h
  fftw_plan ForwardPlan;       // N reals to N/2+1 complex bins
  fftw_plan InversePlan;       // N/2+1 complex bins to N reals
  ChannelPair WorkBuffer;      // previous block, then current block or output; N each
  ChannelPair SpectrumBuffer;  // block spectra, scratch; N + 2 each (DC..Nyquist bins)
  ChannelPair IrSpectrum;      // halfcomplex IR spectra, N each
  ChannelPair CrossSpectrum;   // true stereo: the cross paths' spectra, N each
  double* CrossBins;           // true stereo: output 0's summed products, N + 2
  double* InputBlock[2];       // current block's scaled input, h each
};

OneBlock* StateOf(const ConvolutionEngine* e) { return static_cast<OneBlock*>(e->State); }

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

// out = x0 h0 + x1 h1, each product formed as SpectrumProduct forms it, so
// that with h1 silent out is x0 h0 bit for bit; out may be x0 itself.
void SpectrumPairProduct(double* out, const double* x0, const double* h0, const double* x1,
                         const double* h1, int32_t n) {
  out[0] = x0[0] * h0[0] + x1[0] * h1[0];
  out[1] = x0[1];
  for (int32_t k = 1; k < n / 2; ++k) {
    const double a = x0[2 * k], b = x0[2 * k + 1], c = h0[k], d = h0[n - k];
    const double e = x1[2 * k], f = x1[2 * k + 1], g = h1[k], q = h1[n - k];
    out[2 * k] = (a * c - b * d) + (e * g - f * q);
    out[2 * k + 1] = (a * d + b * c) + (e * q + f * g);
  }
  out[n] = x0[n] * h0[n / 2] + x1[n] * h1[n / 2];
  out[n + 1] = x0[n + 1];
}

fftw_complex* Bins(double* spectrum) { return reinterpret_cast<fftw_complex*>(spectrum); }

bool Build(ConvolutionEngine* e, PreparedIr* ir, const PartitionLayout&) {
  auto* s = static_cast<OneBlock*>(AllocZeroed(1, sizeof(OneBlock)));
  if (!s) return false;
  e->State = s;
  const int32_t n = ir->FftLength;
  const int32_t h = n / 2;
  const int32_t channels = e->Route.WorkChannels;
  s->FftLength = n;
  s->ForwardPlan = ir->Forward;
  s->InversePlan = ir->Inverse;
  s->IrSpectrum = ir->Spectra;
  s->CrossSpectrum = ir->Cross;
  ir->Forward = ir->Inverse = nullptr;
  ir->Spectra = ir->Cross = ChannelPair{};
  if (e->Route.BlockMode == BlockTrueStereo) {
    s->CrossBins = AllocDoubles(int64_t{n} + 2);
    if (!s->CrossBins) return false;
  }
  if (!AllocChannelPair(&s->WorkBuffer, channels, n) ||
      !AllocChannelPair(&s->SpectrumBuffer, channels, int64_t{n} + 2)) {
    return false;
  }
  for (int c = 0; c < channels; ++c) {
    s->InputBlock[c] = AllocDoubles(h);
    if (!s->InputBlock[c]) return false;
    e->Input[c] = s->InputBlock[c];
    e->Output[c] = s->WorkBuffer.Data[c] + h;
    e->History[c] = s->WorkBuffer.Data[c];
  }
  e->BlockLength = h;
  return true;
}

// Transforms the full block, multiplies by the IR and keeps the valid half.
void Step(ConvolutionEngine* e) {
  OneBlock& b = *StateOf(e);
  const int32_t n = b.FftLength;
  const int32_t h = e->BlockLength;
  double** work = b.WorkBuffer.Data;
  double** spectrum = b.SpectrumBuffer.Data;
  double** ir = b.IrSpectrum.Data;
  switch (e->Route.BlockMode) {
    case BlockMono:
      fftw_execute_dft_r2c(b.ForwardPlan, work[0], Bins(spectrum[0]));
      SpectrumProduct(spectrum[0], ir[0], n);
      fftw_execute_dft_c2r(b.InversePlan, Bins(spectrum[0]), work[0]);
      std::memcpy(work[0], b.InputBlock[0], sizeof(double) * h);
      break;
    case BlockOneToTwoIrs:
      fftw_execute_dft_r2c(b.ForwardPlan, work[0], Bins(spectrum[0]));
      std::memcpy(spectrum[1], spectrum[0], sizeof(double) * (n + 2));
      SpectrumProduct(spectrum[0], ir[0], n);
      SpectrumProduct(spectrum[1], ir[1], n);
      fftw_execute_dft_c2r(b.InversePlan, Bins(spectrum[0]), work[0]);
      fftw_execute_dft_c2r(b.InversePlan, Bins(spectrum[1]), work[1]);
      std::memcpy(work[0], b.InputBlock[0], sizeof(double) * h);
      std::memcpy(work[1], b.InputBlock[0], sizeof(double) * h);
      break;
    default: {  // two channels: IR channel 0 for both, each its own, or true stereo
      fftw_execute_dft_r2c(b.ForwardPlan, work[0], Bins(spectrum[0]));
      fftw_execute_dft_r2c(b.ForwardPlan, work[1], Bins(spectrum[1]));
      double* first = spectrum[0];
      if (e->Route.BlockMode == BlockTrueStereo) {  // each output's two paths summed
        double** cross = b.CrossSpectrum.Data;
        first = b.CrossBins;
        SpectrumPairProduct(first, spectrum[0], ir[0], spectrum[1], cross[0], n);
        SpectrumPairProduct(spectrum[1], spectrum[1], ir[1], spectrum[0], cross[1], n);
      } else {
        SpectrumProduct(spectrum[0], ir[0], n);
        SpectrumProduct(spectrum[1], e->Route.BlockMode == BlockTwoWithOneIr ? ir[0] : ir[1], n);
      }
      fftw_execute_dft_c2r(b.InversePlan, Bins(first), work[0]);
      fftw_execute_dft_c2r(b.InversePlan, Bins(spectrum[1]), work[1]);
      std::memcpy(work[0], b.InputBlock[0], sizeof(double) * h);
      std::memcpy(work[1], b.InputBlock[1], sizeof(double) * h);
      break;
    }
  }
}

// The work buffer is all Output and History: nothing else to clear.
void Reset(ConvolutionEngine*) {}

void Release(ConvolutionEngine* e) {
  OneBlock* b = StateOf(e);
  if (!b) return;
  FreeChannelPair(&b->WorkBuffer);
  FreeChannelPair(&b->SpectrumBuffer);
  FreeChannelPair(&b->IrSpectrum);
  FreeChannelPair(&b->CrossSpectrum);
  FreeMemory(b->CrossBins);
  for (double*& block : b->InputBlock) {
    FreeMemory(block);
    block = nullptr;
  }
  DestroyPlan(&b->ForwardPlan);
  DestroyPlan(&b->InversePlan);
  FreeMemory(b);
  e->State = nullptr;
}

int64_t Bytes(const ConvolutionEngine& e) {
  const OneBlock& b = *StateOf(&e);
  const int64_t n = b.FftLength;
  const int64_t perChannel = n + (n + 2) + n / 2;  // work, spectrum, input block
  const int64_t crossBins = b.CrossBins ? n + 2 : 0;
  return 8 * (perChannel * e.Route.WorkChannels + n * e.Route.IrChannels + crossBins) + sizeof b;
}

int Lengths(int64_t frames, const PartitionLayout&, PlannedLength lengths[kMaxPlannedLengths]) {
  const int32_t n = TransformLength(frames);
  if (n == 0) return 0;
  lengths[0] = {n, true};
  return 1;
}

}  // namespace

extern const EngineKind kOneBlockEngine = {Build, Step,    Reset, Release,
                                           Bytes, Lengths, false, true};
