// SPDX-License-Identifier: GPL-2.0-or-later
// The impulse response generator: its own maths against libm, and the files
// it writes measured as a listener would judge them (decay, colour, width).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "tools/irgen/exact_math.h"
#include "tools/wav_io.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
const char* const kNames[] = {"Chapel", "Small Room", "Large Hall", "Plate"};

TEST(ExactMath, AgreesWithLibm) {
  for (double x = -40; x <= 40; x += 0.0173) {
    EXPECT_NEAR(irgen::Exp(x), std::exp(x), 1e-15 * std::exp(x)) << x;
  }
  EXPECT_NEAR(irgen::Exp(-700), std::exp(-700), 1e-15 * std::exp(-700));
  for (double x = -kPi; x <= kPi; x += 0.0031) {
    EXPECT_NEAR(irgen::Sin(x), std::sin(x), 2e-15) << x;
    EXPECT_NEAR(irgen::Cos(x), std::cos(x), 2e-15) << x;
  }
}

TEST(ExactMath, RandomIsUniformAndSeeded) {
  irgen::Random a(7), b(7), c(8);
  double sum = 0, squares = 0;
  bool differs = false;
  const int n = 200000;
  for (int i = 0; i < n; ++i) {
    const double u = a.Uniform();
    ASSERT_GE(u, 0.0);
    ASSERT_LT(u, 1.0);
    ASSERT_EQ(u, b.Uniform());
    differs |= u != c.Uniform();
    sum += u;
    squares += u * u;
  }
  EXPECT_TRUE(differs);
  EXPECT_NEAR(sum / n, 0.5, 0.005);
  EXPECT_NEAR(squares / n - (sum / n) * (sum / n), 1.0 / 12, 0.002);
}

// A fourth-order Butterworth filter, independent of the generator's.
std::vector<double> Filter(const std::vector<double>& x, bool high, double hz, int rate) {
  const double w = 2 * kPi * hz / rate, cw = std::cos(w);
  const double alpha = std::sin(w) / std::sqrt(2.0), a0 = 1 + alpha;
  const double edge = (high ? 1 + cw : 1 - cw) / 2 / a0;
  const double b[3] = {edge, high ? -2 * edge : 2 * edge, edge};
  const double a[2] = {-2 * cw / a0, (1 - alpha) / a0};
  std::vector<double> y = x;
  for (int pass = 0; pass < 2; ++pass) {
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (double& s : y) {
      const double out = b[0] * s + b[1] * x1 + b[2] * x2 - a[0] * y1 - a[1] * y2;
      x2 = x1, x1 = s, y2 = y1, y1 = out, s = out;
    }
  }
  return y;
}

// Reverberation time from Schroeder's backward integral: a line fitted
// between -5 and -35 dB, extrapolated to -60 dB.
double Rt60(const std::vector<double>& left, const std::vector<double>& right, int rate) {
  std::vector<double> edc(left.size());
  double tail = 0;
  for (size_t i = left.size(); i-- > 0;) {
    tail += left[i] * left[i] + right[i] * right[i];
    edc[i] = tail;
  }
  double n = 0, st = 0, sd = 0, stt = 0, std_ = 0;
  for (size_t i = 0; i < edc.size(); ++i) {
    const double db = 10 * std::log10(edc[i] / edc[0]);
    if (db > -5) continue;
    if (db < -35) break;
    const double t = static_cast<double>(i) / rate;
    n += 1, st += t, sd += db, stt += t * t, std_ += t * db;
  }
  const double slope = (n * std_ - st * sd) / (n * stt - st * st);
  return -60 / slope;
}

struct Ir {
  PcmAudio pcm;
  std::vector<double> left, right;
};

class GeneratedIrs : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const char* tool = std::getenv("QLV_MAKE_IRS");
    const char* work = std::getenv("QLV_IRGEN_WORK");
    ASSERT_TRUE(tool && work) << "QLV_MAKE_IRS and QLV_IRGEN_WORK must be set";
    dir_ = work;
    for (const char* run : {"/a", "/b"}) {
      const std::string cmd = "rm -rf '" + dir_ + run + "' && '" + tool + "' '" + dir_ + run + "'";
      ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    }
    for (const char* name : kNames) {
      Ir& ir = irs_[name];
      ASSERT_TRUE(ReadPcm16(dir_ + "/a/" + name + ".wav", &ir.pcm)) << name;
      for (size_t i = 0; i + 1 < ir.pcm.samples.size(); i += 2) {
        ir.left.push_back(ir.pcm.samples[i] / 32768.0);
        ir.right.push_back(ir.pcm.samples[i + 1] / 32768.0);
      }
    }
  }

  static const Ir& Get(const char* name) { return irs_[name]; }

  static double BandRt60(const char* name, bool high, double hz) {
    const Ir& ir = Get(name);
    return Rt60(Filter(ir.left, high, hz, 44100), Filter(ir.right, high, hz, 44100), 44100);
  }

  static std::string dir_;
  static std::map<std::string, Ir> irs_;
};

std::string GeneratedIrs::dir_;
std::map<std::string, Ir> GeneratedIrs::irs_;

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(GeneratedIrs, SameBytesOnEveryRun) {
  for (const char* name : kNames) {
    const std::string a = Bytes(dir_ + "/a/" + name + ".wav");
    EXPECT_GT(a.size(), 44u) << name;
    EXPECT_TRUE(a == Bytes(dir_ + "/b/" + name + ".wav")) << name;
  }
}

TEST_F(GeneratedIrs, StereoCdRateWithDirectSoundAsPeakAndSilentEnd) {
  const std::map<std::string, double> seconds = {
      {"Chapel", 4.5}, {"Small Room", 0.6}, {"Large Hall", 3.0}, {"Plate", 2.5}};
  std::vector<double> energies;
  for (const char* name : kNames) {
    const Ir& ir = Get(name);
    EXPECT_EQ(ir.pcm.channels, 2) << name;
    EXPECT_EQ(ir.pcm.rate, 44100) << name;
    EXPECT_NEAR(ir.left.size() / 44100.0, seconds.at(name), 0.001) << name;
    double peak = 0, energy = 0;
    for (size_t i = 0; i < ir.left.size(); ++i) {
      peak = std::max({peak, std::fabs(ir.left[i]), std::fabs(ir.right[i])});
      energy += ir.left[i] * ir.left[i] + ir.right[i] * ir.right[i];
    }
    const double peak_db = 20 * std::log10(peak);
    EXPECT_GE(peak_db, -3) << name;
    EXPECT_LT(peak_db, 0) << name;
    EXPECT_EQ(ir.left[0], peak) << name;  // the direct sound leads
    EXPECT_EQ(ir.right[0], peak) << name;
    EXPECT_EQ(ir.left.back(), 0) << name;
    EXPECT_EQ(ir.right.back(), 0) << name;
    energies.push_back(10 * std::log10(energy));
  }
  const auto [low, high] = std::minmax_element(energies.begin(), energies.end());
  EXPECT_LT(*high - *low, 3) << "loudness differs between rooms";
}

TEST_F(GeneratedIrs, DecayTimesFitTheRooms) {
  std::map<std::string, double> rt;
  for (const char* name : kNames) {
    rt[name] = Rt60(Get(name).left, Get(name).right, 44100);
    std::printf("%-10s RT60 %.2f s\n", name, rt[name]);
  }
  EXPECT_GE(rt["Chapel"], 3.0);
  EXPECT_LE(rt["Chapel"], 4.0);
  EXPECT_NEAR(rt["Small Room"], 0.4, 0.1);
  EXPECT_NEAR(rt["Large Hall"], 2.35, 0.25);
  EXPECT_NEAR(rt["Plate"], 1.8, 0.2);
  EXPECT_LT(rt["Small Room"], rt["Plate"]);
  EXPECT_LT(rt["Plate"], rt["Large Hall"]);
  EXPECT_LT(rt["Large Hall"], rt["Chapel"]);
}

TEST_F(GeneratedIrs, HighsDieFirstInStoneAndHall) {
  for (const char* name : {"Chapel", "Large Hall"}) {
    const double low = BandRt60(name, false, 500), high = BandRt60(name, true, 4000);
    std::printf("%-10s RT60 below 500 Hz %.2f s, above 4 kHz %.2f s\n", name, low, high);
    EXPECT_LT(high, 0.8 * low) << name;
  }
  // The plate stays bright: its highs ring nearly as long as its lows.
  EXPECT_GT(BandRt60("Plate", true, 4000), 0.9 * BandRt60("Plate", false, 500));
}

TEST_F(GeneratedIrs, TailsAreDecorrelated) {
  for (const char* name : kNames) {
    const Ir& ir = Get(name);
    double lr = 0, ll = 0, rr = 0;
    for (size_t i = 4410; i < ir.left.size(); ++i) {
      lr += ir.left[i] * ir.right[i];
      ll += ir.left[i] * ir.left[i];
      rr += ir.right[i] * ir.right[i];
    }
    const double correlation = lr / std::sqrt(ll * rr);
    std::printf("%-10s L/R correlation after 100 ms %+.3f\n", name, correlation);
    EXPECT_LT(std::fabs(correlation), 0.3) << name;
  }
}

// Early parts: silence before the hall's first reflection, clear walls in the
// rooms, and a plate that is dense from its first millisecond.
TEST_F(GeneratedIrs, EarlyPartsMatchTheSpaces) {
  const auto loudest = [](const std::vector<double>& x, double from_ms, double to_ms) {
    double peak = 0;
    for (size_t i = size_t(from_ms * 44.1); i < size_t(to_ms * 44.1); ++i) {
      peak = std::max(peak, std::fabs(x[i]));
    }
    return peak;
  };
  const Ir& hall = Get("Large Hall");
  EXPECT_EQ(loudest(hall.left, 0.1, 24), 0);
  EXPECT_GT(loudest(hall.left, 24, 30), 0.1);
  const Ir& chapel = Get("Chapel");
  EXPECT_EQ(loudest(chapel.left, 0.1, 10), 0);
  // A discrete reflection stands well above the diffuse sound around it.
  EXPECT_GT(loudest(chapel.left, 10, 30), 4 * loudest(chapel.left, 100, 150));
  EXPECT_GT(loudest(Get("Small Room").left, 2, 10), 0.2);
  const Ir& plate = Get("Plate");
  int silent = 0;
  for (size_t i = 44; i < 441; ++i) silent += plate.left[i] == 0;
  EXPECT_LT(silent, 10);
}

}  // namespace
