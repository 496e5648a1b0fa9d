// Lag estimation against signals shifted by a known lag.
#include "tools/running/sample_compare.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

namespace halvern::tools {
namespace {

std::vector<int16_t> noise(size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> normal(0.0, 3000.0);
  std::vector<int16_t> x(n);
  for (int16_t& v : x) v = static_cast<int16_t>(std::clamp(normal(random), -32768.0, 32767.0));
  return x;
}

TEST(Lag, FindsTheShiftEitherWayAndStaysWithinItsLimit) {
  const std::vector<int16_t> a = noise(16000, 1);
  for (int lag : {0, 1, 37, -250, 1999}) {
    std::vector<int16_t> b(a.size(), 0);
    for (size_t i = 0; i < a.size(); ++i) {
      const int64_t j = static_cast<int64_t>(i) + lag;
      if (j >= 0 && j < static_cast<int64_t>(b.size())) b[static_cast<size_t>(j)] = a[i];
    }
    const LagEstimate e = estimate_lag(a, b, 2000);
    EXPECT_EQ(e.lag, lag);
    EXPECT_GT(e.correlation, 0.8) << lag;
    EXPECT_TRUE(compare_samples(a, b, e.lag, 0).first < 0 || lag != 0) << lag;
  }
  std::vector<int16_t> late(a.size() + 500, 0);
  std::copy(a.begin(), a.end(), late.begin() + 500);
  EXPECT_LE(std::abs(estimate_lag(a, late, 100).lag), 100);
  EXPECT_EQ(estimate_lag(a, std::vector<int16_t>(a.size(), 0), 2000).lag, 0);  // silence
}

}  // namespace
}  // namespace halvern::tools
