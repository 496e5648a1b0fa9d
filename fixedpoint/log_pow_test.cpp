#include "fixedpoint/log_pow.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace halvern {
namespace {

TEST(Log2, WorkedValues) {
  struct Case {
    int32_t L;
    int16_t exponent, fraction;
  };
  const Case cases[] = {{3, 1, 19167}, {1000, 9, 31644},        {0, 0, 0},          {-5, 0, 0},
                        {1, 0, 0},     {0x7fffffff, 30, 32766}, {0x40000000, 30, 0}};
  for (const Case& c : cases) {
    int16_t e = -1;
    int16_t f = -1;
    Log2(c.L, &e, &f);
    EXPECT_EQ(e, c.exponent) << c.L;
    EXPECT_EQ(f, c.fraction) << c.L;
  }
}

TEST(Log2, TableIsTheLogarithmOfOnePlusIOver32) {
  for (int i = 0; i < 32; ++i) {
    EXPECT_NEAR(tabLog[i], 32768.0 * std::log2(1.0 + i / 32.0), 2.0) << i;
  }
  EXPECT_EQ(tabLog[32], 32767);
}

TEST(Log2, CloseToTheExactLogarithm) {
  std::mt19937 rng(2);
  for (int i = 0; i < 100000; ++i) {
    const int32_t L = static_cast<int32_t>(rng() >> 1) >> (rng() % 31);
    if (L <= 0) continue;
    int16_t e = 0;
    int16_t f = 0;
    Log2(L, &e, &f);
    EXPECT_NEAR(e + f / 32768.0, std::log2(static_cast<double>(L)), 2e-4) << L;
  }
}

TEST(Log2Poly, WorkedValues) {
  EXPECT_EQ(Log2_poly(1 << 30), -66519040);
  EXPECT_EQ(Log2_poly(0x7fffffff), -436829);
  EXPECT_EQ(Log2_poly(1), -2079784960);
  EXPECT_EQ(Log2_poly(0), -43646976);
  for (int j = 1; j <= 31; ++j) {
    const auto L = static_cast<int32_t>(uint32_t{1} << (31 - j));
    EXPECT_EQ(Log2_poly(L), -j * 67108864 + 589824) << j;
  }
}

TEST(Log2Poly, WithinTheStatedErrorOfTheExactLogarithm) {
  std::mt19937 rng(4);
  for (int i = 0; i < 100000; ++i) {
    const int32_t L = static_cast<int32_t>(rng() >> 1) >> (rng() % 31);
    if (L <= 0) continue;
    const double got = Log2_poly(L) / 67108864.0;
    const double exact = std::log2(L / 2147483648.0);
    EXPECT_GE(got - exact, -0.0066) << L;
    EXPECT_LE(got - exact, 0.0089) << L;
  }
}

TEST(Pow2, WorkedValues) {
  EXPECT_EQ(Pow2(-67108864), 1077728290);
  EXPECT_EQ(Pow2(-33554432), 1518419968);
  EXPECT_EQ(Pow2(-671088640), 2104938);
  EXPECT_EQ(Pow2(0), 1077728290);  // exponents of 0 or more are not shifted left
  EXPECT_EQ(Pow2(static_cast<int32_t>(-67108864.0 * 31.9)), 0);
}

TEST(Pow2, CloseToTheExactPowerBelowZero) {
  for (int32_t h = -32768; h < 0; h += 7) {  // the Q10 exponent in the upper half
    const int32_t L = h * 65536;
    const double exact = std::exp2(h / 1024.0) * 2147483648.0;
    if (exact < 1e4) continue;  // too few bits left to judge
    EXPECT_NEAR(Pow2(L) / exact, 1.0, 0.004) << h;
  }
}

}  // namespace
}  // namespace halvern
