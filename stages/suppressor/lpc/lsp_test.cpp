#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "stages/suppressor/lpc/lpc_reference.h"

namespace halvern {
namespace {

using Coeffs = std::array<int16_t, LPC_ORDER + 1>;
using Pairs = std::array<int16_t, LPC_ORDER>;

constexpr double PI = std::numbers::pi;

// Rounds toward zero, except that a value within 1e-9 of an integer is that integer (so that
// 32768 cos(2 pi / 3) is -16384 despite the rounding of the double cosine).
int32_t truncate_exact(double v) {
  const double nearest = std::round(v);
  return std::abs(v - nearest) < 1e-9 ? static_cast<int32_t>(nearest)
                                      : static_cast<int32_t>(std::trunc(v));
}

TEST(LpcTables, RecomputedFromFormulas) {
  for (int k = 0; k <= 60; ++k) {
    int32_t expected = truncate_exact(32768.0 * std::cos(PI * k / 60.0));
    if (k == 0) expected = 32760;
    if (k == 60) expected = -32760;
    EXPECT_EQ(LSP_GRID[k], expected) << "LSP_GRID " << k;
  }
  std::array<int32_t, 65> c{};
  for (int k = 0; k <= 64; ++k) {
    c[k] = static_cast<int32_t>(std::lround(32768.0 * std::cos(PI * k / 64.0)));
    EXPECT_EQ(LSF_COS_TABLE[k], std::min(c[k], int32_t{32767})) << "LSF_COS_TABLE " << k;
  }
  for (int k = 0; k < 64; ++k) {
    const double slope = 1048576.0 / (c[k + 1] - c[k]);
    EXPECT_EQ(LSF_SLOPE_TABLE[k], std::lround(slope)) << "LSF_SLOPE_TABLE " << k;
  }
}

TEST(ChebyshevValue, HalfAtCosineSixtyWithoutCoefficients) {
  const std::array<int16_t, 6> zeros = {1024, 0, 0, 0, 0, 0};
  EXPECT_EQ(chebyshev_value(16384, zeros.data()), 8192);
}

// T5 + f1 T4 + f2 T3 + f3 T2 + f4 T1 + f5 / 2 at x, in double precision.
double chebyshev_reference(double x, const std::array<int16_t, 6>& f) {
  const double w = std::acos(x);
  return std::cos(5 * w) + (f[1] * std::cos(4 * w) + f[2] * std::cos(3 * w) +
                            f[3] * std::cos(2 * w) + f[4] * std::cos(w) + f[5] / 2.0) /
                               1024.0;
}

TEST(ChebyshevValue, MatchesDoubleEvaluation) {
  const std::vector<std::array<int16_t, 6>> polynomials = {
      {1024, -1024, 1024, -1024, 1024, -1024},
      {1024, 1024, 1024, 1024, 1024, 1024},
      {1024, -1700, 2100, -1500, 900, -400},
      {1024, 300, -800, 120, 777, -1301},
      {1024, 0, 0, 0, 0, 2047},
  };
  for (const auto& f : polynomials) {
    for (int x = -32768; x <= 32767; x += 97) {
      const double ref = chebyshev_reference(x / 32768.0, f);
      if (std::abs(ref) > 1.99) continue;  // the Q14 result saturates there
      EXPECT_NEAR(chebyshev_value(static_cast<int16_t>(x), f.data()), 16384.0 * ref, 3.0)
          << "x " << x << ", f1 " << f[1];
    }
  }
}

TEST(LspToLsf, WorkedValues) {
  struct Case {
    const char* name;
    Pairs lsp;
    Pairs expected;
  };
  Pairs out_of_order{};
  out_of_order[8] = -16384;
  Pairs saturating{};
  saturating[8] = -32768;
  saturating[9] = 32767;
  Pairs saturated;
  saturated.fill(32767);
  saturated[9] = 0;
  Pairs eights;
  eights.fill(8192);
  Pairs out_of_order_lsf = eights;
  out_of_order_lsf[8] = 10800;
  const std::vector<Case> cases = {
      {"fallback zeros", Pairs{}, eights},
      {"ends and cos 60",
       {32767, 32767, 32767, 16384, 16384, 16384, 16384, -32768, -32768, -32768},
       {0, 0, 0, 5461, 5461, 5461, 5461, 16384, 16384, 16384}},
      {"cosines of k pi / 11",
       {31441, 27566, 21458, 13612, 4663, -4663, -13612, -21458, -27566, -31441},
       {1486, 2977, 4467, 5957, 7447, 8937, 10427, 11917, 13407, 14898}},
      {"out of order, extrapolated", out_of_order, out_of_order_lsf},
      {"out of order, saturated", saturating, saturated},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pairs lsf{};
    lsp_to_lsf(c.lsp.data(), lsf.data());
    EXPECT_EQ(lsf, c.expected);
  }
}

// Every cosine maps to 16384 acos(x) / pi within the error of the chord through the table's
// interval, and larger cosines never give larger frequencies. Over a step h = pi / 64 the chord
// of the arc cosine errs by about (h^2 / 8) |cot w| in angle, 1.6 |cot w| units; in the two outer
// intervals, where the arc cosine behaves like a square root, by up to a quarter of the interval
// (64 units) plus the effect of the 32767 limit.
TEST(LspToLsf, FollowsArcCosine) {
  int16_t previous = -1;
  for (int x = 32767; x >= -32768; --x) {
    Pairs lsp;
    lsp.fill(static_cast<int16_t>(x));
    Pairs lsf{};
    lsp_to_lsf(lsp.data(), lsf.data());
    const double w = std::acos(x / 32768.0);
    const bool outer = w < PI / 64 || w > PI - PI / 64;
    const double tolerance = outer ? 72.0 : 1.0 + 2.0 * std::abs(1.0 / std::tan(w));
    ASSERT_NEAR(lsf[0], 16384.0 / PI * w, tolerance) << "x " << x;
    ASSERT_GE(lsf[0], previous) << "x " << x;
    for (int i = 1; i < LPC_ORDER; ++i) ASSERT_EQ(lsf[i], lsf[0]) << "x " << x;
    previous = lsf[0];
  }
}

// A(z) = (P(z) + Q(z)) / 2 with P(z) = (1 + 1/z) prod (1 - 2 cos w / z + 1/z^2) over sum_angles
// and Q(z) = (1 - 1/z) prod (...) over difference_angles, rounded to Q12; none when a coefficient
// does not fit.
std::optional<Coeffs> predictor_from_angles(const std::vector<double>& sum_angles,
                                            const std::vector<double>& difference_angles) {
  const auto build = [](double sign, const std::vector<double>& angles) {
    std::vector<double> p = {1.0, sign};
    for (const double w : angles) {
      std::vector<double> next(p.size() + 2, 0.0);
      for (size_t j = 0; j < p.size(); ++j) {
        next[j] += p[j];
        next[j + 1] -= 2.0 * std::cos(w) * p[j];
        next[j + 2] += p[j];
      }
      p = next;
    }
    return p;
  };
  const std::vector<double> p = build(1.0, sum_angles);
  const std::vector<double> q = build(-1.0, difference_angles);
  Coeffs a{};
  for (int j = 0; j <= LPC_ORDER; ++j) {
    const long v = std::lround(4096.0 * (p[j] + q[j]) / 2.0);
    if (v < -32768 || v > 32767) return std::nullopt;
    a[j] = static_cast<int16_t>(v);
  }
  return a;
}

// The angles in (0, pi) at which the polynomials that the search evaluates change sign, in double
// precision: G1 and G2 with the coefficients of the predictor's sum and difference polynomials
// (A(z) +- z^-11 A(1/z), their roots at z = -1 and +1 divided out), rounded down to Q10 as the
// search forms them, evaluated as G(cos w) = sum f[k] cos((5 - k) w) + f[5] / 2 on a fine grid
// and refined by bisection. Sorted ascending.
std::vector<double> reference_angles(const Coeffs& a) {
  std::array<int, 6> f1 = {1024, 0, 0, 0, 0, 0};
  std::array<int, 6> f2 = {1024, 0, 0, 0, 0, 0};
  for (int i = 0; i < 5; ++i) {
    f1[i + 1] = static_cast<int>(std::floor((a[i + 1] + a[10 - i]) / 4.0)) - f1[i];
    f2[i + 1] = static_cast<int>(std::floor((a[i + 1] - a[10 - i]) / 4.0)) + f2[i];
  }
  const auto value = [](double w, const std::array<int, 6>& f) {
    double g = f[5] / 2.0;
    for (int k = 0; k < 5; ++k) g += f[k] * std::cos((5 - k) * w);
    return g;
  };
  std::vector<double> roots;
  constexpr int STEPS = 20000;
  for (const auto* f : {&f1, &f2}) {
    for (int s = 1; s <= STEPS; ++s) {
      double lo = PI * (s - 1) / STEPS;
      double hi = PI * s / STEPS;
      const bool negative = value(lo, *f) < 0;
      if ((value(hi, *f) < 0) == negative) continue;
      for (int b = 0; b < 60; ++b) {
        const double mid = 0.5 * (lo + hi);
        ((value(mid, *f) < 0) == negative ? lo : hi) = mid;
      }
      roots.push_back(0.5 * (lo + hi));
    }
  }
  std::sort(roots.begin(), roots.end());
  return roots;
}

Pairs run_lsp(const Coeffs& a, const Pairs& fallback) {
  Pairs lsp{};
  lpc_to_lsp(a.data(), lsp.data(), fallback.data());
  return lsp;
}

constexpr Pairs MARKER_FALLBACK = {11, 22, 33, 44, 55, 66, 77, 88, 99, 111};

TEST(LpcToLsp, TrivialPredictorGivesCosinesOfMultiplesOfPiOverEleven) {
  const Coeffs trivial = {4096, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const Pairs lsp = run_lsp(trivial, MARKER_FALLBACK);
  EXPECT_EQ(lsp, (Pairs{31441, 27567, 21458, 13612, 4664, -4662, -13612, -21458, -27566, -31440}));
  for (int k = 1; k <= LPC_ORDER; ++k) {
    EXPECT_NEAR(lsp[k - 1], std::lround(32768.0 * std::cos(k * PI / 11.0)), 1.0) << k;
  }
}

// Predictors built from known, interlaced line spectral frequencies (a few hand-picked, the rest
// random with roots at least 0.04 apart): the search within 8 units of the double-precision
// cosines, and the frequencies within that over 2 pi sin w plus the error of the table's chord of
// the arc cosine (see LspToLsf.FollowsArcCosine).
TEST(LpcToLsp, KnownRootsMatchDoubleSearch) {
  std::vector<std::vector<double>> angle_sets = {
      {0.25, 0.4, 0.7, 0.9, 1.3, 1.5, 1.9, 2.2, 2.6, 2.9},
      {0.5, 0.55, 0.9, 1.2, 1.6, 1.65, 2.0, 2.4, 2.7, 3.0},
      {0.06, 0.3, 0.35, 0.8, 1.0, 1.05, 1.7, 2.3, 2.9, 3.05},
      {0.2, 0.28, 0.33, 0.41, 0.9, 1.1, 1.4, 1.45, 2.8, 2.85},
  };
  uint32_t seed = 99;
  while (angle_sets.size() < 40) {
    std::vector<double> w;
    while (w.size() < 10) {
      seed = seed * 1664525u + 1013904223u;
      const double c = 0.06 + (PI - 0.12) * (seed >> 8) / double(1 << 24);
      if (std::all_of(w.begin(), w.end(), [c](double o) { return std::abs(o - c) > 0.04; })) {
        w.push_back(c);
      }
    }
    std::sort(w.begin(), w.end());
    if (predictor_from_angles({w[0], w[2], w[4], w[6], w[8]}, {w[1], w[3], w[5], w[7], w[9]})) {
      angle_sets.push_back(w);
    }
  }
  for (const auto& w : angle_sets) {
    const std::optional<Coeffs> a =
        predictor_from_angles({w[0], w[2], w[4], w[6], w[8]}, {w[1], w[3], w[5], w[7], w[9]});
    ASSERT_TRUE(a.has_value());
    const std::vector<double> ref = reference_angles(*a);
    ASSERT_EQ(ref.size(), 10u);
    const Pairs lsp = run_lsp(*a, MARKER_FALLBACK);
    ASSERT_NE(lsp, MARKER_FALLBACK) << "set from " << w[0];
    Pairs lsf{};
    lsp_to_lsf(lsp.data(), lsf.data());
    for (int i = 0; i < LPC_ORDER; ++i) {
      SCOPED_TRACE("set from " + std::to_string(w[0]) + ", root " + std::to_string(i));
      const double angle = ref[i];
      EXPECT_NEAR(lsp[i], 32768.0 * std::cos(angle), 8.0);
      const bool outer = angle < PI / 64 || angle > PI - PI / 64;
      const double chord = outer ? 72.0 : 1.0 + 2.0 * std::abs(1.0 / std::tan(angle));
      EXPECT_NEAR(lsf[i], 16384.0 / PI * angle, chord + 8.0 / (2.0 * PI * std::sin(angle)));
    }
  }
}

// A highest difference root beyond the last grid point (-32760) leaves nine roots: the fallback
// is returned unchanged. The same predictor with that root moved inside gives ten.
TEST(LpcToLsp, NineRootsGiveFallback) {
  const std::vector<double> sum = {0.3, 0.9, 1.5, 2.0, 2.5};
  const std::optional<Coeffs> nine = predictor_from_angles(sum, {0.6, 1.2, 1.8, 2.2, PI - 0.012});
  ASSERT_TRUE(nine.has_value());
  const std::vector<double> ref = reference_angles(*nine);
  ASSERT_EQ(ref.size(), 10u);
  ASSERT_LT(32768.0 * std::cos(ref[9]), -32760.0);
  ASSERT_GT(32768.0 * std::cos(ref[8]), -32760.0);
  EXPECT_EQ(run_lsp(*nine, MARKER_FALLBACK), MARKER_FALLBACK);
  Pairs shared = MARKER_FALLBACK;  // the output may be the fallback itself
  lpc_to_lsp(nine->data(), shared.data(), shared.data());
  EXPECT_EQ(shared, MARKER_FALLBACK);

  const std::optional<Coeffs> ten = predictor_from_angles(sum, {0.6, 1.2, 1.8, 2.2, PI - 0.1});
  ASSERT_TRUE(ten.has_value());
  EXPECT_NE(run_lsp(*ten, MARKER_FALLBACK), MARKER_FALLBACK);
}

// Two sum roots (0.3, 0.5) before the first difference root (0.8): after the root at 0.3 the
// search looks in the difference polynomial, so the sum root at 0.5 is passed over and the
// search ends short. All ten roots exist on the grid's range, so a search that took the nearer
// sign change would have found them.
TEST(LpcToLsp, RootsAlternateBetweenPolynomials) {
  const std::optional<Coeffs> a =
      predictor_from_angles({0.3, 0.5, 1.5, 2.0, 2.5}, {0.8, 1.2, 1.8, 2.2, 2.8});
  ASSERT_TRUE(a.has_value());
  const std::vector<double> ref = reference_angles(*a);
  ASSERT_EQ(ref.size(), 10u);
  EXPECT_GT(32768.0 * std::cos(ref[9]), -32760.0);
  EXPECT_EQ(run_lsp(*a, MARKER_FALLBACK), MARKER_FALLBACK);

  // With the fallback of ten zeros, every frequency is half the band.
  Pairs lsf{};
  const Pairs zeros = run_lsp(*a, Pairs{});
  lsp_to_lsf(zeros.data(), lsf.data());
  Pairs eights;
  eights.fill(8192);
  EXPECT_EQ(lsf, eights);
}

}  // namespace
}  // namespace halvern
