// The fast forms of the linear-prediction steps and of the two divisions against their
// straightforward references, bit for bit, on random and adversarial inputs: values just inside
// and just past every bound a fast path relies on, full scale, -32768 everywhere, and inputs
// that send the divisions to their error paths.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "fixedpoint/dsp_ops.h"
#include "stages/suppressor/lpc/lpc.h"
#include "stages/suppressor/lpc/quotients.h"

namespace halvern {
namespace {

using Block = std::array<int16_t, LPC_BLOCK>;
using Lags = std::array<int32_t, LPC_ORDER + 1>;
using Coeffs = std::array<int16_t, LPC_ORDER + 1>;
using Pairs = std::array<int16_t, LPC_ORDER>;
using Polynomial = std::array<int16_t, 6>;

struct MessageLog {
  std::vector<std::string> messages;
  Diagnostics sink{&MessageLog::write, this, 0};

  static void write(void* user, const char* message) {
    static_cast<MessageLog*>(user)->messages.emplace_back(message);
  }
};

// The message of the fault f() raises, or "" when it returns.
template <typename F>
std::string fault_of(F f) {
  try {
    f();
  } catch (const ArithmeticFault& e) {
    return e.what();
  }
  return "";
}

int16_t pick(std::mt19937& rng, const std::vector<int16_t>& values) {
  return values[std::uniform_int_distribution<size_t>(0, values.size() - 1)(rng)];
}

TEST(DivSFast, EveryDenominatorAndItsExtremeNumerators) {
  for (int den = 1; den <= MAX_16; ++den) {
    for (const int num : {0, 1, den / 2, den - 1, den}) {
      ASSERT_EQ(div_s_fast(static_cast<int16_t>(num), static_cast<int16_t>(den)),
                div_s(static_cast<int16_t>(num), static_cast<int16_t>(den)))
          << num << " / " << den;
    }
  }
  std::mt19937 rng(1);
  for (int trial = 0; trial < 200000; ++trial) {
    const int den = std::uniform_int_distribution<int>(1, MAX_16)(rng);
    const int num = std::uniform_int_distribution<int>(0, den)(rng);
    ASSERT_EQ(div_s_fast(static_cast<int16_t>(num), static_cast<int16_t>(den)),
              div_s(static_cast<int16_t>(num), static_cast<int16_t>(den)))
        << num << " / " << den;
  }
}

TEST(DivSFast, InvalidInputsRaiseTheSameFault) {
  const std::vector<std::array<int16_t, 2>> invalid = {
      {1, 0}, {0, 0}, {5, 4}, {-1, 4}, {3, -4}, {MIN_16, MIN_16}, {MAX_16, 1}, {-1, -1}};
  for (const auto& [num, den] : invalid) {
    const std::string fast = fault_of([&] { div_s_fast(num, den); });
    EXPECT_FALSE(fast.empty()) << num << " / " << den;
    EXPECT_EQ(fast, fault_of([&] { div_s(num, den); })) << num << " / " << den;
  }
}

TEST(LDivideFast, RandomNormalisedAndInvalidInputs) {
  std::mt19937 rng(2);
  std::uniform_int_distribution<int32_t> any32(MIN_32, MAX_32);
  for (int trial = 0; trial < 100000; ++trial) {
    int32_t den = any32(rng);
    int32_t num = any32(rng);
    if (trial % 4 != 0) {  // mostly valid: normalised den, 0 <= num <= den
      den = static_cast<int32_t>(0x40000000u | (static_cast<uint32_t>(den) & 0x3fffffffu));
      num = static_cast<int32_t>(static_cast<uint32_t>(num) % (static_cast<uint32_t>(den) + 1u));
    }
    MessageLog fast_log;
    MessageLog exact_log;
    int32_t fast = 0;
    int32_t exact = 0;
    const std::string fast_fault =
        fault_of([&] { fast = L_divide_fast(num, den, &fast_log.sink); });
    const std::string exact_fault = fault_of([&] { exact = L_divide(num, den, &exact_log.sink); });
    ASSERT_EQ(fast_fault, exact_fault) << num << " / " << den;
    ASSERT_EQ(fast, exact) << num << " / " << den;
    ASSERT_EQ(fast_log.messages, exact_log.messages) << num << " / " << den;
  }
  // Denominators whose upper half is below 16383 make div_s fail inside L_divide.
  for (const int32_t den : {0, 1, 65535, 0x3ffeffff}) {
    EXPECT_EQ(fault_of([&] { L_divide_fast(0, den, nullptr); }),
              fault_of([&] { L_divide(0, den, nullptr); }))
        << den;
  }
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
    ASSERT_EQ(chebyshev_value(x, f.data()), chebyshev_value_reference(x, f.data()))
        << "x " << x << ", f " << f[1] << " " << f[2] << " " << f[3] << " " << f[4] << " " << f[5];
  }
  for (const Polynomial& f : polynomials) {
    for (int x = -32768; x <= 32767; x += 61) {
      ASSERT_EQ(chebyshev_value(static_cast<int16_t>(x), f.data()),
                chebyshev_value_reference(static_cast<int16_t>(x), f.data()))
          << "x " << x << ", f " << f[1] << " " << f[2] << " " << f[3] << " " << f[4] << " "
          << f[5];
    }
    for (const int16_t x : {MIN_16, int16_t{-32767}, int16_t{-1}, int16_t{0}, MAX_16}) {
      ASSERT_EQ(chebyshev_value(x, f.data()), chebyshev_value_reference(x, f.data()));
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

}  // namespace
}  // namespace halvern
