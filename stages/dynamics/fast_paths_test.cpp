// The dynamics stage's main gain: its fast path against the saturating form, bit for bit, on
// random and adversarial gains, factors and steps.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "fixedpoint/operands_testing.h"
#include "stages/dynamics/dynamics_reference.h"

namespace halvern {
namespace {

void expect_same_main_gain(std::vector<int16_t> x, int16_t g1, int16_t g0, int16_t m,
                           int16_t step) {
  std::vector<int16_t> y = x;
  apply_main_gain(x.data(), static_cast<int>(x.size()), g1, g0, m, step);
  apply_main_gain_saturating(y.data(), static_cast<int>(y.size()), g1, g0, m, step);
  ASSERT_EQ(x, y) << "g1 " << g1 << " g0 " << g0 << " m " << m << " step " << step;
}

TEST(MainGainFast, RandomAndExtremeGainsFactorsAndSteps) {
  std::mt19937 rng(4);
  for (int trial = 0; trial < 3000; ++trial) {
    const int n = 1 + static_cast<int>(rng() % 640);
    std::vector<int16_t> x(static_cast<size_t>(n));
    for (auto& v : x) v = edgy(rng);
    const int16_t g0 = edgy(rng);
    const int16_t g1 = trial % 5 == 0 ? g0 : edgy(rng);
    // Steps are not negative (the reference's weight would leave 16 bits).
    const auto step = static_cast<int16_t>(trial % 4 == 0 ? edgy(rng) & MAX_16 : MAX_16 / n);
    expect_same_main_gain(x, g1, g0, edgy(rng), step);
  }
  // The weight reaching 0 exactly and passing it, and a step of 0.
  const std::vector<int16_t> x(320, MIN_16);
  for (const int16_t step : {int16_t{0}, int16_t{102}, int16_t{103}, MAX_16}) {
    expect_same_main_gain(x, MAX_16, MIN_16, MAX_16, step);
    expect_same_main_gain(x, MIN_16, MAX_16, 2048, step);
  }
}

}  // namespace
}  // namespace halvern
