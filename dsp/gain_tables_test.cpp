#include "dsp/gain_tables.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>

namespace halvern {
namespace {

TEST(GainTables, HalfDecibelSteps) {
  EXPECT_EQ(HALF_DB_GAIN_Q11[60], 2048);
  EXPECT_EQ(HALF_DB_GAIN_Q11[0], 56);
  EXPECT_EQ(HALF_DB_GAIN_Q11[108], 32392);
  for (size_t i = 0; i < HALF_DB_GAIN_Q11.size(); ++i) {
    const double exact = 2048.0 * std::pow(10.0, (static_cast<double>(i) - 60) / 40.0);
    EXPECT_LE(HALF_DB_GAIN_Q11[i], exact + 1.0) << i;
    EXPECT_GE(HALF_DB_GAIN_Q11[i], exact * 0.86) << i;
    if (i > 0) {
      EXPECT_GT(HALF_DB_GAIN_Q11[i], HALF_DB_GAIN_Q11[i - 1]);
    }
  }
}

}  // namespace
}  // namespace halvern
