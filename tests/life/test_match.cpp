// SPDX-License-Identifier: GPL-2.0-or-later
// Match loudness: the K-weighting and the match gain against the formula
// worked out directly, and the engine in force following the music: a glide
// counted in frames, never a step, none through a quiet passage.
#include <fftw3.h>

#include <cmath>
#include <complex>

#include "ir/loudness.h"
#include "tests/support/engine_fixture.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

TEST(Loudness, KWeightingAndTheMatchGainAsWorkedOut) {
  // A 997 Hz sine at full scale in one channel reads -3.01 LUFS.
  EXPECT_NEAR(-0.691 + 10 * std::log10(0.5 * KWeightPower(997, 48000)), -3.01, 0.01);

  // A two-tap IR, h = (1/2, 1/4), against pink music: g^2 is the music's
  // K-weighted power over the wet's, bin by bin.
  constexpr int n = 16384, rate = 44100;
  std::vector<double> h(n, 0.0), spectrum(n);
  h[0] = 16384.0 / (32768.0 * n);
  h[1] = 8192.0 / (32768.0 * n);
  fftw_plan plan = fftw_plan_r2r_1d(n, h.data(), spectrum.data(), FFTW_R2HC, FFTW_ESTIMATE);
  fftw_execute(plan);
  fftw_destroy_plan(plan);
  static IrLoudness ir{};
  AddLoudnessPath(&ir, 0, 1.0, spectrum.data(), n, ReferenceFft(rate));
  static LoudnessReference pink;
  PinkReference(1, rate, &pink);
  double music = 0.0, wet = 0.0;
  for (int j = 0; j < kLoudnessBins; ++j) {
    const double w = 2 * kPi * j / ReferenceFft(rate);
    const double h2 = std::norm(0.5 + 0.25 * std::polar(1.0, -w));
    music += pink.Power[0][j];
    wet += pink.Power[0][j] * h2;
  }
  EXPECT_NEAR(20 * std::log10(MatchGain(ir, pink)), 10 * std::log10(music / wet), 0.01);
}

class Match : public EngineTest {
 protected:
  // Noise through a one-pole filter: dark (a bass-heavy mix) or bright.
  static PcmAudio Music(int64_t frames, bool bright, uint32_t seed) {
    PcmAudio audio = Noise(2, frames, seed, 6000);
    double last[2] = {0.0, 0.0};
    for (size_t i = 0; i < audio.samples.size(); ++i) {
      double& y = last[i % 2];
      const double x = audio.samples[i];
      const double out = bright ? x - y : 0.05 * x + 0.95 * y;
      y = bright ? x : out;
      audio.samples[i] = static_cast<int16_t>(std::clamp(out, -32000.0, 32000.0));
    }
    return audio;
  }

  // Streams `audio` as the host does, with the window's timer;
  // the match in force after each buffer.
  static std::vector<double> Play(PcmAudio audio) {
    constexpr int kTimer = 44100 * kFollowMs / 1000;
    std::vector<double> match;
    const int frames = static_cast<int>(audio.samples.size() / 2);
    for (int at = 0; at < frames; at += 576) {
      const int n = std::min(576, frames - at);
      ProcessSamples(nullptr, audio.samples.data() + 2 * at, n, 16, 2, 44100);
      if (at / kTimer != (at + n) / kTimer) FollowLoudness();
      match.push_back(MatchGainInForce());
    }
    return match;
  }
};

// A dark room heard with dark music, then with bright music: the match
// stays 10 s, then glides linearly over 2 s to the bright music's, never
// stepping; a quiet passage then changes nothing.
TEST_F(Match, TheRoomFollowsTheMusicWithoutAStep) {
  PcmAudio room = Click(2, 1000);
  for (int j = 1; j < 1000; ++j) room.samples[2 * j] = room.samples[2 * j + 1] = 0;
  for (int j = 0; j < 1000; ++j) {
    room.samples[2 * j] = room.samples[2 * j + 1] = static_cast<int16_t>(20000 * std::pow(0.97, j));
  }
  for (int low : {0, 1}) {
    SCOPED_TRACE(low ? "low latency" : "one block");
    TearDown();
    SetUp();
    Settings.LowLatency = low;
    Settings.MatchLoudness = 1;
    UseIr(room);
    Play(Music(12 * 44100, false, 70));
    MatchLoudnessNow();
    Play(Music(3 * 44100, false, 71));
    const double dark = MatchGainInForce();
    const std::vector<double> match = Play(Music(26 * 44100, true, 72));
    // Where it moved, and where it arrived.
    size_t from = 0, to = 0;
    while (from < match.size() && match[from] == dark) ++from;
    to = from;
    while (to < match.size() && match[to] != match.back()) ++to;
    ASSERT_LT(from, match.size()) << "no glide";
    EXPECT_GT(20 * std::log10(match.back() / dark), 3.0);
    EXPECT_GE(from * 576, 10u * 44100);  // 10 s away first
    EXPECT_NEAR((to - from + 1) * 576.0, 2 * 44100, 2 * 576);
    const double step = (match.back() - dark) / (2 * 44100) * 576;
    for (size_t k = from; k < to; ++k) {  // the last buffer ends the glide part way
      EXPECT_NEAR(match[k] - match[k - 1], step, std::fabs(step) * 0.01) << k;
    }
    // Silence: the music's match cannot be told, and nothing moves.
    const double bright = match.back();
    PcmAudio quiet = Noise(2, 20 * 44100, 73, 0);
    for (double m : Play(quiet)) ASSERT_EQ(m, bright);
  }
}

}  // namespace
