#include "fixedpoint/dsp_ops.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "fixedpoint/diagnostics_testing.h"

namespace halvern {
namespace {

TEST(DivS, QuotientAndFatalErrors) {
  EXPECT_EQ(div_s(16383, 16383), 32767);
  EXPECT_EQ(div_s(16383, 32767), 16383);
  EXPECT_EQ(div_s(0, 5), 0);
  for (int den = 16384; den <= 32767; ++den) {
    ASSERT_EQ(div_s(16383, static_cast<int16_t>(den)), 16383 * 32768 / den) << den;
  }
  EXPECT_EQ(fault_of([] { div_s(16383, 16382); }), "Division Error var1=16383  var2=16382\n");
  EXPECT_EQ(fault_of([] { div_s(16383, 0); }), "Division Error var1=16383  var2=0\n");
  EXPECT_EQ(fault_of([] { div_s(-1, 5); }), "Division Error var1=-1  var2=5\n");
  EXPECT_EQ(fault_of([] { div_s(16383, -2560); }), "Division Error var1=16383  var2=-2560\n");
  EXPECT_EQ(fault_of([] { div_s(0, 0); }), "Division by 0, Fatal error \n");
}

TEST(MpyProducts, CloseToExactProducts) {
  std::mt19937 rng(1);
  for (int i = 0; i < 100000; ++i) {
    const auto L = static_cast<int32_t>(rng());
    const auto n = static_cast<int16_t>(rng());
    const double exact16 = static_cast<double>(L) * n / 32768.0;
    EXPECT_NEAR(Mpy_32_16(L, n), exact16, 2.0) << L << " " << n;
    const auto L2 = static_cast<int32_t>(rng());
    const double exact32 = static_cast<double>(L) * L2 / 2147483648.0;
    EXPECT_NEAR(Mpy_32(L, L2), exact32, 4.0) << L << " " << L2;
  }
}

TEST(MpyProducts, KeepTheLowBits) {
  // The low term is shifted after doubling: 3 * 32767 * 2 >> 15 = 5, not 2 * (3 * 32767 >> 15).
  EXPECT_EQ(Mpy_32_16(6, 32767), 5);
  // The lo1 * lo2 term counts: 0x7fff * 0x7fff >> 15 = 32766, shifted by 14 gives 1.
  EXPECT_EQ(Mpy_32(0xfffe, 0xfffe), 1);
}

TEST(LDivide, QuotientAndInvalidInput) {
  MessageLog out;
  Diagnostics& diag = out.sink;
  EXPECT_EQ(L_divide(5, 3, &diag), 0);
  EXPECT_EQ(L_divide(-1, 3, &diag), 0);
  EXPECT_EQ(L_divide(1, -3, &diag), 0);
  EXPECT_EQ(diag.count, 3u);
  EXPECT_EQ(out.messages, std::vector<std::string>(3, "ERROR: Invalid input into L_divide!\n"));
  EXPECT_EQ(L_divide(5, 3, nullptr), 0);  // no sink: nothing printed, still 0

  std::mt19937 rng(9);
  for (int i = 0; i < 20000; ++i) {
    const int32_t den = 0x40000000 + static_cast<int32_t>(rng() % 0x3fffffffu);
    const int32_t num = static_cast<int32_t>(rng() % static_cast<uint32_t>(den));
    const double exact = static_cast<double>(num) / den * 2147483648.0;
    EXPECT_NEAR(L_divide(num, den, &diag), exact, 64.0) << num << " / " << den;
  }
  EXPECT_EQ(diag.count, 3u);
  // A denominator whose upper half is below 16383 reaches the fatal division.
  EXPECT_THROW(L_divide(0, 0, &diag), ArithmeticFault);
}

TEST(Random, LinearCongruentialSequence) {
  int16_t seed = 0;
  EXPECT_EQ(Random(&seed), 13849);
  EXPECT_EQ(seed, 13849);
  EXPECT_EQ(Random(&seed), static_cast<int16_t>((31821 * 13849 + 13849) & 0xffff));
  for (int32_t s = -32768; s <= 32767; ++s) {
    auto v = static_cast<int16_t>(s);
    ASSERT_EQ(Random(&v),
              static_cast<int16_t>((31821u * static_cast<uint32_t>(s) + 13849u) & 0xffff));
  }
}

}  // namespace
}  // namespace halvern
