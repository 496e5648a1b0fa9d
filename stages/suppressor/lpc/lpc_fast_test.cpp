// The fast forms of the linear-prediction steps and of the two divisions against their
// straightforward references, bit for bit, on random and adversarial inputs: values just inside
// and just past every bound a fast path relies on, full scale, -32768 everywhere, and inputs
// that send the divisions to their error paths.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "fixedpoint/diagnostics_testing.h"
#include "fixedpoint/dsp_ops.h"
#include "stages/suppressor/lpc/lpc_reference.h"

namespace halvern {
namespace {

using Block = std::array<int16_t, LPC_BLOCK>;
using Lags = std::array<int32_t, LPC_ORDER + 1>;
using Coeffs = std::array<int16_t, LPC_ORDER + 1>;
using Pairs = std::array<int16_t, LPC_ORDER>;
using Polynomial = std::array<int16_t, 6>;

int16_t pick(std::mt19937& rng, const std::vector<int16_t>& values) {
  return values[std::uniform_int_distribution<size_t>(0, values.size() - 1)(rng)];
}

// Polynomials whose recurrence values just stay within, and just pass, the fast evaluation's
// limit of 8191 in the upper half: f = 8191 or 8192 everywhere, the same negated, a large f[1]
// alone (the start 16384 f[1] + 1024 x reaches an upper half of 8704), and random mixtures.
TEST(ChebyshevValueFast, MatchesReferenceAroundItsLimits) {
  std::vector<Polynomial> polynomials;
  for (const int16_t v : {int16_t{8191}, int16_t{8192}, int16_t{-8191}, int16_t{-8192}, MAX_16,
                          MIN_16, int16_t{2000}, int16_t{-2000}, int16_t{0}}) {
    polynomials.push_back({1024, v, v, v, v, v});
    polynomials.push_back({1024, v, 0, 0, 0, 0});
    polynomials.push_back({1024, 0, 0, 0, 0, v});
    polynomials.push_back({1024, v, static_cast<int16_t>(-v / 2), v, negate(v), v});
  }
  std::mt19937 rng(3);
  const std::vector<int16_t> edges = {MIN_16, -8192, -8191, -4096, -1,    0,
                                      1,      4096,  8191,  8192,  MAX_16};
  for (int i = 0; i < 400; ++i) {
    Polynomial f{1024, 0, 0, 0, 0, 0};
    for (int k = 1; k <= 5; ++k) {
      f[k] = i % 3 == 0
                 ? pick(rng, edges)
                 : static_cast<int16_t>(std::uniform_int_distribution<int>(-6000, 6000)(rng));
    }
    polynomials.push_back(f);
  }
  // Large coefficients at the ends of the cosine range, where the recurrence grows fastest:
  // many of these pass the limit in some step and saturate the reference there.
  std::uniform_int_distribution<int> large(-16384, 16384);
  const std::vector<int16_t> ends = {MIN_16, -32767, -32000, 32000, 32766, MAX_16};
  for (int i = 0; i < 20000; ++i) {
    Polynomial f{1024, 0, 0, 0, 0, 0};
    for (int k = 1; k <= 5; ++k) f[k] = static_cast<int16_t>(large(rng));
    const int16_t x = pick(rng, ends);
    ASSERT_EQ(chebyshev_value(x, f.data()), chebyshev_value_saturating(x, f.data()))
        << "x " << x << ", f " << f[1] << " " << f[2] << " " << f[3] << " " << f[4] << " " << f[5];
  }
  for (const Polynomial& f : polynomials) {
    for (int x = -32768; x <= 32767; x += 61) {
      ASSERT_EQ(chebyshev_value(static_cast<int16_t>(x), f.data()),
                chebyshev_value_saturating(static_cast<int16_t>(x), f.data()))
          << "x " << x << ", f " << f[1] << " " << f[2] << " " << f[3] << " " << f[4] << " "
          << f[5];
    }
    for (const int16_t x : {MIN_16, int16_t{-32767}, int16_t{-1}, int16_t{0}, MAX_16}) {
      ASSERT_EQ(chebyshev_value(x, f.data()), chebyshev_value_saturating(x, f.data()));
    }
  }
}

Block random_block(std::mt19937& rng, int amplitude) {
  std::uniform_int_distribution<int> dist(-amplitude - 1, amplitude);
  Block b{};
  for (auto& v : b) v = static_cast<int16_t>(dist(rng));
  return b;
}

void expect_same_autocorrelation(const Block& block, const std::string& what) {
  Lags fast{};
  Lags exact{};
  autocorrelation(block.data(), fast.data());
  autocorrelation_reference(block.data(), exact.data());
  ASSERT_EQ(fast, exact) << what;
}

TEST(AutocorrelationFast, RandomConstantAndBoundaryBlocks) {
  std::mt19937 rng(4);
  for (const int amplitude : {32767, 16384, 4000, 2896, 2897, 300, 3, 0}) {
    for (int trial = 0; trial < 50; ++trial) {
      expect_same_autocorrelation(random_block(rng, amplitude),
                                  "amplitude " + std::to_string(amplitude));
    }
  }
  for (const int16_t v : {MIN_16, int16_t{-32767}, int16_t{-2897}, int16_t{2896}, MAX_16}) {
    Block b;
    b.fill(v);
    expect_same_autocorrelation(b, "constant " + std::to_string(v));
    for (int n = 0; n < LPC_BLOCK; n += 2) b[n] = negate(v);
    expect_same_autocorrelation(b, "alternating " + std::to_string(v));
  }
  // Energies 1 + 2^31 - 1 (just halved) and one below (kept).
  Block sparse{};
  sparse[0] = 32767;
  sparse[1] = 32767;
  sparse[2] = 362;
  sparse[3] = 5;
  expect_same_autocorrelation(sparse, "energy 2^31");
  sparse[3] = 4;
  expect_same_autocorrelation(sparse, "energy below 2^31");
}

TEST(LevinsonDurbinFast, RandomAndRealLags) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int32_t> any32(MIN_32, MAX_32);
  for (int trial = 0; trial < 3000; ++trial) {
    Lags r{};
    if (trial % 2 == 0) {
      // The lags of a random block, as the stage forms them.
      const Block b = random_block(rng, trial % 4 == 0 ? 32767 : 500);
      autocorrelation_reference(b.data(), r.data());
    } else {
      for (auto& v : r) v = any32(rng);
      if (trial % 3 == 0)
        r[0] = static_cast<int32_t>(0x40000000u | (static_cast<uint32_t>(r[0]) & 0x3fffffffu));
    }
    Coeffs fast{};
    Coeffs exact{};
    MessageLog fast_log;
    MessageLog exact_log;
    const std::string fast_fault =
        fault_of([&] { levinson_durbin(fast.data(), r.data(), &fast_log.sink); });
    const std::string exact_fault =
        fault_of([&] { levinson_durbin_reference(exact.data(), r.data(), &exact_log.sink); });
    ASSERT_EQ(fast_fault, exact_fault) << "trial " << trial;
    ASSERT_EQ(fast, exact) << "trial " << trial;
    ASSERT_EQ(fast_log.messages, exact_log.messages) << "trial " << trial;
  }
}

TEST(LpcToLspFast, RandomPredictors) {
  std::mt19937 rng(6);
  const Pairs fallback = {11, 22, 33, 44, 55, 66, 77, 88, 99, 111};
  int found = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    Coeffs a{};
    a[0] = 4096;
    if (trial % 3 == 0) {
      // The predictor of a random block, as the stage forms it.
      const Block b = random_block(rng, 8000);
      Lags r{};
      autocorrelation_reference(b.data(), r.data());
      levinson_durbin_reference(a.data(), r.data(), nullptr);
    } else {
      const int amplitude = trial % 3 == 1 ? 6000 : 32767;
      for (int i = 1; i <= LPC_ORDER; ++i) {
        a[i] = static_cast<int16_t>(
            std::uniform_int_distribution<int>(-amplitude - 1, amplitude)(rng));
      }
    }
    Pairs fast{};
    Pairs exact{};
    lpc_to_lsp(a.data(), fast.data(), fallback.data());
    lpc_to_lsp_reference(a.data(), exact.data(), fallback.data());
    ASSERT_EQ(fast, exact) << "trial " << trial;
    found += fast != fallback;
  }
  EXPECT_GT(found, 500);  // the searches that find ten roots are well represented
}

// Cosines in every order, at and next to every table entry, and at the extremes: the index the
// walk of the reference reaches and the one found by halving must agree.
TEST(LspToLsfFast, EveryTableEntryAndOrder) {
  std::vector<int16_t> values = {MIN_16, -32767, 0, 1, -1, 32766, MAX_16};
  for (const int16_t c : LSF_COS_TABLE) {
    for (int d = -1; d <= 1; ++d) values.push_back(sat16(int32_t{c} + d));
  }
  std::mt19937 rng(8);
  for (int trial = 0; trial < 20000; ++trial) {
    Pairs lsp;
    std::uniform_int_distribution<int> any(MIN_16, MAX_16);
    for (auto& v : lsp) v = trial % 2 == 0 ? pick(rng, values) : static_cast<int16_t>(any(rng));
    // Descending, as a search gives them, a third of the time.
    if (trial % 3 == 0) std::sort(lsp.begin(), lsp.end(), std::greater<>());
    Pairs fast{};
    Pairs exact{};
    lsp_to_lsf(lsp.data(), fast.data());
    lsp_to_lsf_reference(lsp.data(), exact.data());
    ASSERT_EQ(fast, exact) << "trial " << trial;
  }
}

// Predictors of blocks holding close pairs of tones, as a howl gives them: roots of the two
// polynomials fall into neighbouring grid cells, where the search meets brackets that start at
// the root just found. Also predictors of resonant blocks and of chosen polynomials, whose
// recurrences pass the limit of the fast evaluation at many points, and the predictors whose
// polynomials vanish at grid points (every sign test there fails).
TEST(LpcToLspFast, TonalAndDegeneratePredictors) {
  std::mt19937 rng(9);
  const Pairs fallback = {11, 22, 33, 44, 55, 66, 77, 88, 99, 111};
  std::vector<Coeffs> predictors;
  for (int trial = 0; trial < 3000; ++trial) {
    std::uniform_real_distribution<double> freq(0.02, 3.1);
    const double f0 = freq(rng);
    const double gap = std::uniform_real_distribution<double>(0.0, 0.08)(rng);
    const double noise = std::uniform_real_distribution<double>(0.0, 2000.0)(rng);
    Block b{};
    for (int n = 0; n < LPC_BLOCK; ++n) {
      const double v = 9000.0 * std::sin(f0 * n) + 9000.0 * std::sin((f0 + gap) * n + 1.0) +
                       (trial % 3 == 0 ? 6000.0 * std::sin(freq(rng) * n) : 0.0) +
                       std::uniform_real_distribution<double>(-noise, noise)(rng);
      b[n] = static_cast<int16_t>(std::lround(std::fmax(-32768.0, std::fmin(32767.0, v))));
    }
    Lags r{};
    autocorrelation_reference(b.data(), r.data());
    Coeffs a{};
    levinson_durbin_reference(a.data(), r.data(), nullptr);
    predictors.push_back(a);
  }
  // Windowed blocks of three loud tones over faint noise: sharp resonances make the recurrence
  // values of many grid points pass the limit of the fast evaluation while the search still
  // finds ten roots.
  for (int trial = 0; trial < 3000; ++trial) {
    std::uniform_real_distribution<double> freq(0.01, trial % 2 == 0 ? 0.8 : 3.1);
    const double f1 = freq(rng);
    const double f2 = freq(rng);
    const double f3 = freq(rng);
    Block b{};
    for (int n = 0; n < LPC_BLOCK; ++n) {
      const double window = std::sin(std::numbers::pi * (n + 0.5) / LPC_BLOCK);
      const double v = window * (12000.0 * std::sin(f1 * n) + 8000.0 * std::sin(f2 * n + 1.0) +
                                 4000.0 * std::sin(f3 * n + 2.0)) +
                       std::uniform_real_distribution<double>(-30.0, 30.0)(rng);
      b[n] = static_cast<int16_t>(std::lround(std::fmax(-32768.0, std::fmin(32767.0, v))));
    }
    Lags r{};
    autocorrelation_reference(b.data(), r.data());
    Coeffs a{};
    levinson_durbin_reference(a.data(), r.data(), nullptr);
    predictors.push_back(a);
  }
  for (const int16_t last :
       {int16_t{4096}, int16_t{4095}, int16_t{4097}, int16_t{-4096}, int16_t{0}, MAX_16, MIN_16}) {
    Coeffs a{};
    a[0] = 4096;
    a[LPC_ORDER] = last;
    predictors.push_back(a);
  }
  for (int trial = 0; trial < 3000; ++trial) {
    // Large coefficients of alternating sign make the recurrences grow fastest at the ends.
    Coeffs a{};
    a[0] = 4096;
    for (int i = 1; i <= LPC_ORDER; ++i) {
      const int size = std::uniform_int_distribution<int>(2000, 12000)(rng);
      a[i] = static_cast<int16_t>(i % 2 == 0 ? size : -size);
    }
    predictors.push_back(a);
  }
  // Predictors built from chosen polynomials (a[i + 1] + a[10 - i] = 4 (f1[i + 1] + f1[i]) and
  // a[i + 1] - a[10 - i] = 4 (f2[i + 1] - f2[i]) give back f1 and f2 exactly): coefficients
  // within the limit of the fast evaluation, large enough that the recurrence values pass it
  // near the ends of the grid, where the fast search hands points over.
  for (int trial = 0; trial < 6000; ++trial) {
    const int size = trial % 2 == 0 ? 8191 : 3000;
    std::uniform_int_distribution<int> coefficient(-size, size);
    Polynomial f1{1024, 0, 0, 0, 0, 0};
    Polynomial f2{1024, 0, 0, 0, 0, 0};
    for (int i = 1; i <= 5; ++i) {
      f1[i] = static_cast<int16_t>(coefficient(rng));
      f2[i] = static_cast<int16_t>(coefficient(rng));
    }
    Coeffs a{};
    a[0] = 4096;
    bool fits = true;
    for (int i = 0; i < 5; ++i) {
      const int32_t sum = 4 * (f1[i + 1] + f1[i]);
      const int32_t difference = 4 * (f2[i + 1] - f2[i]);
      const int32_t low = (sum + difference) / 2;
      const int32_t high = (sum - difference) / 2;
      fits = fits && low >= MIN_16 && low <= MAX_16 && high >= MIN_16 && high <= MAX_16;
      a[i + 1] = static_cast<int16_t>(low);
      a[LPC_ORDER - i] = static_cast<int16_t>(high);
    }
    if (fits) predictors.push_back(a);
  }
  int found = 0;
  for (size_t i = 0; i < predictors.size(); ++i) {
    Pairs fast{};
    Pairs exact{};
    lpc_to_lsp(predictors[i].data(), fast.data(), fallback.data());
    lpc_to_lsp_reference(predictors[i].data(), exact.data(), fallback.data());
    ASSERT_EQ(fast, exact) << "predictor " << i;
    found += fast != fallback;
  }
  EXPECT_GT(found, 2000);
  EXPECT_GT(predictors.size(), 11000u);
}

}  // namespace
}  // namespace halvern
