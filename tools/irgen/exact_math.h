// SPDX-License-Identifier: GPL-2.0-or-later
// Exp, Sin, Cos and a seeded random source from + - * / alone, so that the
// generated impulse responses are the same bytes whatever libm is linked.
#pragma once

#include <cmath>
#include <cstdint>

namespace irgen {

constexpr double kPi = 3.14159265358979323846;

// e^x by a power-of-two reduction and a Taylor series; |x| up to about 700.
inline double Exp(double x) {
  constexpr double kLn2Hi = 6.93147180369123816490e-01;  // few bits, so k * hi is exact
  constexpr double kLn2Lo = 1.90821492927058770002e-10;
  constexpr double kInvLn2 = 1.44269504088896338700e+00;
  const double k = std::floor(x * kInvLn2 + 0.5);  // floor and ldexp are exact
  const double r = (x - k * kLn2Hi) - k * kLn2Lo;
  double term = 1.0, sum = 1.0;
  for (int n = 1; n <= 20; ++n) {
    term = term * r / n;
    sum += term;
  }
  return std::ldexp(sum, static_cast<int>(k));
}

// Sine and cosine for |x| <= pi, all the filter design needs.
inline double Sin(double x) {
  double term = x, sum = x;
  for (int n = 1; n <= 15; ++n) {
    term = -term * x * x / ((2 * n) * (2 * n + 1));
    sum += term;
  }
  return sum;
}

inline double Cos(double x) {
  double term = 1.0, sum = 1.0;
  for (int n = 1; n <= 15; ++n) {
    term = -term * x * x / ((2 * n - 1) * (2 * n));
    sum += term;
  }
  return sum;
}

// SplitMix64: tiny, full period, and its output is fixed by the seed alone.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}

  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

  // Uniform in [0, 1) with 53 random bits.
  double Uniform() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }

 private:
  uint64_t state_;
};

}  // namespace irgen
