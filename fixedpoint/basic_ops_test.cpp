#include "fixedpoint/basic_ops.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>

namespace halvern {
namespace {

TEST(BasicOps, WorkedValues) {
  EXPECT_EQ(shl(1, 15), 32767);
  EXPECT_EQ(shl(-1, 15), -32768);
  EXPECT_EQ(shl(0, 40), 0);
  EXPECT_EQ(shl(5, -1), 2);
  EXPECT_EQ(shl(-5, -1), -3);
  EXPECT_EQ(shr(-1, 20), -1);
  EXPECT_EQ(shr_r(3, 1), 2);
  EXPECT_EQ(shr_r(-3, 1), -1);
  EXPECT_EQ(shr_r(100, 16), 0);
  EXPECT_EQ(shr_r(100, -2), 400);
  EXPECT_EQ(L_shl(0x20000000, 2), MAX_32);
  EXPECT_EQ(L_shl(-0x40000001, 1), MIN_32);
  EXPECT_EQ(L_shl(12345, -40), 0);
  EXPECT_EQ(L_shl(-12345, -40), -1);
  EXPECT_EQ(negate(-32768), 32767);
  EXPECT_EQ(L_mult(-32768, -32768), MAX_32);
  EXPECT_EQ(mult_r(-32768, -32768), 32767);
  EXPECT_EQ(mult(-32768, -32768), 32767);
  EXPECT_EQ(norm_s(0), 0);
  EXPECT_EQ(norm_s(-1), 15);
  EXPECT_EQ(norm_s(16384), 0);
  EXPECT_EQ(norm_s(1), 14);
  EXPECT_EQ(norm_l(1), 30);
  EXPECT_EQ(norm_l(0), 0);
  EXPECT_EQ(norm_l(-1), 31);
  EXPECT_EQ(abs_s(-32768), 32767);
  EXPECT_EQ(L_abs(MIN_32), MAX_32);
  EXPECT_EQ(L_negate(MIN_32), MAX_32);
  EXPECT_EQ(round_fx(MAX_32), 32767);
  EXPECT_EQ(round_fx(0x00018000), 2);
  EXPECT_EQ(extract_l(0x12348765), static_cast<int16_t>(0x8765));
}

TEST(BasicOps, SaturatingSumsNeverWrap) {
  EXPECT_EQ(add(32767, 1), 32767);
  EXPECT_EQ(add(-32768, -1), -32768);
  EXPECT_EQ(sub(-32768, 1), -32768);
  EXPECT_EQ(sub(0, -32768), 32767);
  EXPECT_EQ(L_add(MAX_32, 1), MAX_32);
  EXPECT_EQ(L_sub(MIN_32, 1), MIN_32);
  EXPECT_EQ(L_mac(MAX_32, 1, 1), MAX_32);
  EXPECT_EQ(L_msu(MIN_32, 1, 1), MIN_32);
}

// Shifts by every 16-bit count, the extreme ones included, against the defining rules: left
// shifts saturate as soon as the value leaves the range, right shifts end in 0 or -1.
TEST(BasicOps, ShiftsByAnyCount) {
  const int16_t values[] = {0, 1, -1, 3, -3, 1000, -1000, 16383, -16384, 32767, -32768};
  for (const int16_t a : values) {
    for (int n = -32768; n <= 32767; n += (n > -40 && n < 40) ? 1 : 997) {
      const auto count = static_cast<int16_t>(n);
      // 16-bit left shift by repeated doubling with saturation.
      auto left16 = [](int16_t v, int k) {
        int32_t r = v;
        for (int i = 0; i < k && r != 0; ++i) {
          r *= 2;
          if (r > MAX_16 || r < MIN_16) return v > 0 ? MAX_16 : MIN_16;
        }
        return static_cast<int16_t>(r);
      };
      auto right16 = [](int16_t v, int k) {
        return static_cast<int16_t>(k >= 15 ? (v < 0 ? -1 : 0) : v >> k);
      };
      const int16_t expect_shl = n >= 0 ? left16(a, n) : right16(a, -n);
      EXPECT_EQ(shl(a, count), expect_shl) << a << " << " << n;
      const int16_t expect_shr = n >= 0 ? right16(a, n) : left16(a, -n);
      EXPECT_EQ(shr(a, count), expect_shr) << a << " >> " << n;

      const auto big = static_cast<int32_t>(static_cast<uint32_t>(a) * 65537u);
      auto left32 = [](int32_t v, int k) {
        for (int i = 0; i < k; ++i) {
          if (v > 0x3fffffff) return MAX_32;
          if (v < -0x40000000) return MIN_32;
          v *= 2;
        }
        return v;
      };
      auto right32 = [](int32_t v, int k) { return k >= 31 ? (v < 0 ? -1 : 0) : v >> k; };
      EXPECT_EQ(L_shl(big, count), n > 0 ? left32(big, n) : right32(big, -n)) << big << " " << n;
      EXPECT_EQ(L_shr(big, count), n >= 0 ? right32(big, n) : left32(big, -n)) << big << " " << n;
    }
  }
}

TEST(BasicOps, RoundingShiftIsHalfUp) {
  std::mt19937 rng(7);
  for (int i = 0; i < 20000; ++i) {
    const auto a = static_cast<int16_t>(rng());
    const auto n = static_cast<int16_t>(1 + rng() % 15);
    const int32_t expect = (int32_t{a} + (1 << (n - 1))) >> n;
    EXPECT_EQ(shr_r(a, n), expect) << a << " " << n;
  }
}

TEST(BasicOps, NormalisationBringsLeadingBitIntoPlace) {
  for (int32_t a = -32768; a <= 32767; ++a) {
    const auto v = static_cast<int16_t>(a);
    if (v == 0 || v == -1) continue;
    const int32_t shifted = int32_t{v} << norm_s(v);
    if (v > 0) {
      EXPECT_GE(shifted, 16384);
      EXPECT_LE(shifted, 32767);
    } else {
      EXPECT_GE(shifted, -32768);
      EXPECT_LT(shifted, -16384 + 1);
    }
  }
  std::mt19937 rng(3);
  for (int i = 0; i < 100000; ++i) {
    const int32_t A = static_cast<int32_t>(rng()) >> (rng() % 31);
    if (A == 0 || A == -1) continue;
    const int64_t shifted = int64_t{A} << norm_l(A);
    if (A > 0) {
      EXPECT_GE(shifted, int64_t{1} << 30);
      EXPECT_LE(shifted, MAX_32);
    } else {
      EXPECT_GE(shifted, MIN_32);
      EXPECT_LE(shifted, -(int64_t{1} << 30));
    }
  }
}

TEST(BasicOps, ExtractSplitsIntoDoublePrecision) {
  std::mt19937 rng(11);
  for (int i = 0; i < 100000; ++i) {
    const auto A = static_cast<int32_t>(rng());
    int16_t hi = 0;
    int16_t lo = 0;
    L_Extract(A, &hi, &lo);
    EXPECT_GE(lo, 0);
    EXPECT_EQ(int64_t{hi} * 65536 + int64_t{lo} * 2, A & ~1) << A;
  }
}

TEST(BasicOps, ProductsMatchExactArithmetic) {
  std::mt19937 rng(5);
  for (int i = 0; i < 100000; ++i) {
    const auto a = static_cast<int16_t>(rng());
    const auto b = static_cast<int16_t>(rng());
    const int64_t p = int64_t{a} * b;
    EXPECT_EQ(L_mult(a, b), sat32(2 * p));
    EXPECT_EQ(mult(a, b), sat16(static_cast<int32_t>(p >> 15)));
    EXPECT_EQ(mult_r(a, b), sat16(static_cast<int32_t>((p + 16384) >> 15)));
  }
}

}  // namespace
}  // namespace halvern
