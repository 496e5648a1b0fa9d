#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <string>
#include <vector>

#include "fixedpoint/diagnostics_testing.h"
#include "stages/suppressor/lpc/lpc_reference.h"

namespace halvern {
namespace {

using Lags = std::array<int32_t, LPC_ORDER + 1>;
using Coeffs = std::array<int16_t, LPC_ORDER + 1>;
using RealCoeffs = std::array<double, LPC_ORDER + 1>;

constexpr Coeffs TRIVIAL = {4096, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

// Collects the messages reported through a Diagnostics sink.
Coeffs run(const Lags& r, Diagnostics* diag = nullptr) {
  Coeffs a{};
  a.fill(-1);
  levinson_durbin(a.data(), r.data(), diag);
  return a;
}

// r[2m] = 2^30 step^m at the even lags, 0 at the odd ones, truncated toward zero.
Lags even_geometric(double step) {
  Lags r{};
  for (int m = 0; 2 * m <= LPC_ORDER; ++m) {
    r[2 * m] = static_cast<int32_t>(1073741824.0 * std::pow(step, m));
  }
  return r;
}

// r[i] = 2^30 rho^i, truncated toward zero: a first-order process.
Lags geometric(double rho) {
  Lags r{};
  for (int i = 0; i <= LPC_ORDER; ++i) r[i] = static_cast<int32_t>(1073741824.0 * std::pow(rho, i));
  return r;
}

TEST(LevinsonDurbin, WorkedValues) {
  struct Case {
    const char* name;
    Lags r;
    Coeffs expected;
  };
  const std::vector<Case> cases = {
      {"silent block", {1073741824, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, TRIVIAL},
      {"order-2 k near +1 is unstable", even_geometric(-0.9999), TRIVIAL},
      {"order-2 k near -1 passes",
       even_geometric(0.9999),
       {4096, 0, -4096, 0, -1, 0, -1, 0, 0, 0, 0}},
      {"first-order process", geometric(0.9), {4096, -3687, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"order-2 k of exactly +1 is unstable",
       {1073741824, 0, -1073741824, 0, 0, 0, 0, 0, 0, 0, 0},
       TRIVIAL},
  };
  EXPECT_EQ(even_geometric(-0.9999)[2], -1073634449);
  EXPECT_EQ(even_geometric(0.9999)[2], 1073634449);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MessageLog log;
    EXPECT_EQ(run(c.r, &log.sink), c.expected);
    EXPECT_EQ(log.sink.count, 0u);
  }
}

// Double-precision Levinson-Durbin recursion.
RealCoeffs levinson_reference(const std::array<double, LPC_ORDER + 1>& r) {
  RealCoeffs a{};
  a[0] = 1.0;
  double err = r[0];
  for (int i = 1; i <= LPC_ORDER; ++i) {
    double acc = r[i];
    for (int j = 1; j < i; ++j) acc += a[j] * r[i - j];
    const double k = -acc / err;
    RealCoeffs next = a;
    for (int j = 1; j < i; ++j) next[j] = a[j] + k * a[i - j];
    next[i] = k;
    a = next;
    err *= 1.0 - k * k;
  }
  return a;
}

// A(z) = product over the pole pairs (radius rho, angle w) of 1 - 2 rho cos w z^-1 + rho^2 z^-2.
RealCoeffs polynomial_from_poles(const std::vector<std::complex<double>>& poles) {
  RealCoeffs a{};
  a[0] = 1.0;
  int order = 0;
  for (const auto& p : poles) {
    const double c1 = -2.0 * p.real();
    const double c2 = std::norm(p);
    for (int j = order + 2; j >= 1; --j) {
      a[j] += c1 * a[j - 1] + (j >= 2 ? c2 * a[j - 2] : 0.0);
    }
    order += 2;
  }
  return a;
}

// Autocorrelation of the all-pole process 1/A(z) from its impulse response, scaled so that
// r[0] = 1.75 * 2^30 and truncated toward zero.
Lags ar_autocorrelation(const RealCoeffs& a) {
  std::vector<double> h(6000, 0.0);
  for (size_t n = 0; n < h.size(); ++n) {
    double v = n == 0 ? 1.0 : 0.0;
    for (int j = 1; j <= LPC_ORDER && j <= static_cast<int>(n); ++j) v -= a[j] * h[n - j];
    h[n] = v;
  }
  std::array<double, LPC_ORDER + 1> rd{};
  for (int i = 0; i <= LPC_ORDER; ++i) {
    for (size_t n = 0; n + i < h.size(); ++n) rd[i] += h[n] * h[n + i];
  }
  Lags r{};
  for (int i = 0; i <= LPC_ORDER; ++i) r[i] = static_cast<int32_t>(rd[i] / rd[0] * 1879048192.0);
  return r;
}

TEST(LevinsonDurbin, AllPoleProcessesMatchDoubleRecursion) {
  using P = std::complex<double>;
  const std::vector<std::vector<P>> pole_sets = {
      {std::polar(0.9, 0.4)},
      {std::polar(0.95, 1.9)},
      {std::polar(0.7, 2.9)},
      {std::polar(0.9, 0.3), std::polar(0.85, 1.2)},
      {std::polar(0.95, 0.7), std::polar(0.8, 2.5)},
      {std::polar(0.9, 0.5), std::polar(0.9, 1.3), std::polar(0.85, 2.2)},
  };
  for (const auto& poles : pole_sets) {
    const RealCoeffs truth = polynomial_from_poles(poles);
    const Lags r = ar_autocorrelation(truth);
    std::array<double, LPC_ORDER + 1> rd{};
    for (int i = 0; i <= LPC_ORDER; ++i) rd[i] = r[i];
    const RealCoeffs ref = levinson_reference(rd);
    MessageLog log;
    const Coeffs a = run(r, &log.sink);
    EXPECT_EQ(log.sink.count, 0u);
    EXPECT_EQ(a[0], 4096);
    for (int j = 1; j <= LPC_ORDER; ++j) {
      SCOPED_TRACE("poles " + std::to_string(poles.size()) + " at " +
                   std::to_string(std::arg(poles[0])) + ", coefficient " + std::to_string(j));
      EXPECT_NEAR(a[j], 4096.0 * ref[j], 2.0);
      EXPECT_NEAR(a[j], 4096.0 * truth[j], 2.0);
    }
  }
}

// Reflection coefficients from -31.0 up pass the stability test, however far beyond -1.0. Order 2
// is set up with r[0] = 2^30 and lag-1 correlation rho, which leaves the error
// alpha = 2^30 (1 - rho^2); r[2] makes the order-2 correlation t = -k2 alpha.
Lags second_order(double rho, double k2) {
  Lags r{};
  r[0] = 1073741824;
  r[1] = static_cast<int32_t>(std::lround(rho * r[0]));
  r[2] = static_cast<int32_t>(std::lround(rho * r[1] - k2 * r[0] * (1.0 - rho * rho)));
  return r;
}

TEST(LevinsonDurbin, NegativeReflectionsBeyondMinusOne) {
  // k2 = -1.5: A1 = -0.5 + 1.5 * 0.5 = 0.25, A2 = -1.5. The error turns negative, so every later
  // order reports an invalid division and goes on with k = 0.
  MessageLog log;
  const Coeffs a = run(second_order(0.5, -1.5), &log.sink);
  EXPECT_NEAR(a[1], 1024, 1);
  EXPECT_NEAR(a[2], -6144, 1);
  for (int j = 3; j <= LPC_ORDER; ++j) EXPECT_EQ(a[j], 0) << j;
  EXPECT_EQ(log.messages, std::vector<std::string>(8, "ERROR: Invalid input into L_divide!\n"));

  // rho = 1 - 2^-10 leaves a tiny error, so the order-2 quotient is scaled up by L_shl. k2 = -20
  // passes, and the outputs of 8.0 or more wrap in 16 bits: A1 = 19 rho gives about
  // 77824 - 65536, A2 = -20 gives -81920 + 65536 (saturation would give 32767 and -32768).
  const double rho = 1.0 - 1.0 / 1024.0;
  const Coeffs wrapped = run(second_order(rho, -20.0));
  EXPECT_NEAR(wrapped[1], 4096.0 * 19.0 * rho - 65536.0, 8.0);
  EXPECT_NEAR(wrapped[2], -16384, 8.0);

  // k2 = -40 saturates at -32.0 in Q26, below -31.0: the wrapped difference of the stability
  // test is positive and the output is the trivial predictor, without a message.
  MessageLog quiet;
  EXPECT_EQ(run(second_order(rho, -40.0), &quiet.sink), TRIVIAL);
  EXPECT_EQ(quiet.sink.count, 0u);
}

// An order-2 correlation beyond the normalised error is an invalid division: one message, k = 0
// for that order, and the recursion goes on.
TEST(LevinsonDurbin, InvalidDivisionReportsOnceAndContinues) {
  Lags r = second_order(0.5, 0.0);
  r[2] = 2147483647;  // t = r[2] - r[1] / 2 exceeds 2 alpha = 1.5 * 2^30
  // Later lags halve, so that with A = 1, -0.5 every later correlation is 0.
  r[3] = 1073741824;
  for (int i = 4; i <= LPC_ORDER; ++i) r[i] = r[i - 1] / 2;
  MessageLog log;
  EXPECT_EQ(run(r, &log.sink), (Coeffs{4096, -2048, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_EQ(log.messages.size(), 1u);
  EXPECT_EQ(log.messages[0], "ERROR: Invalid input into L_divide!\n");
  // Without a sink the same input gives the same coefficients.
  EXPECT_EQ(run(r, nullptr), (Coeffs{4096, -2048, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

// Lags (not an autocorrelation any signal can produce: |r[2]| > r[0]) that drive the error to
// exactly 0 at order 2, with a zero correlation at order 3. The zero denominator is refused like
// any invalid division, reported once per order, instead of ending the run.
TEST(LevinsonDurbin, ZeroErrorIsAnInvalidDivisionNotAFatalOne) {
  Lags r{};
  r[0] = 1073741824;
  r[1] = -965891306;
  r[2] = 1073741827;
  r[3] = -965891291;
  MessageLog log;
  Coeffs a{};
  ASSERT_NO_THROW(a = run(r, &log.sink));
  EXPECT_EQ(a[0], 4096);
  EXPECT_EQ(a[2], -4096);  // k2 = -1.0 (to one Q26 step)
  EXPECT_EQ(log.messages, std::vector<std::string>(8, "ERROR: Invalid input into L_divide!\n"));
}

}  // namespace
}  // namespace halvern
