// The closed forms of div_s and L_divide, and the vectorised block scaling, against the operator
// steps they replace, bit for bit:
// every denominator of div_s, normalised denominators at their ends and around the saturation of
// L_divide's last shift, random pairs, and the invalid inputs with their messages and faults.

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <vector>

#include "fixedpoint/diagnostics_testing.h"
#include "fixedpoint/dsp_ops.h"
#include "fixedpoint/fixedpoint_reference.h"

namespace halvern {
namespace {

TEST(DivSClosedForm, EveryDenominatorAndRandomNumerators) {
  std::mt19937 rng(1);
  for (int den = 1; den <= MAX_16; ++den) {
    std::vector<int> nums = {0, 1, den / 2, den - 1, den};
    for (int i = 0; i < 8; ++i) nums.push_back(std::uniform_int_distribution<int>(0, den)(rng));
    for (const int num : nums) {
      const auto n = static_cast<int16_t>(num);
      const auto d = static_cast<int16_t>(den);
      ASSERT_EQ(div_s(n, d), div_s_by_steps(n, d)) << num << " / " << den;
    }
  }
  const std::vector<std::array<int16_t, 2>> invalid = {
      {1, 0}, {0, 0}, {5, 4}, {-1, 4}, {3, -4}, {MIN_16, MIN_16}, {MAX_16, 1}, {-1, -1}};
  for (const auto& pair : invalid) {
    // Named copies: clang 14 does not let a lambda capture structured bindings.
    const int16_t num = pair[0];
    const int16_t den = pair[1];
    const std::string fault = fault_of([&] { div_s(num, den); });
    EXPECT_FALSE(fault.empty()) << num << " / " << den;
    EXPECT_EQ(fault, fault_of([&] { div_s_by_steps(num, den); })) << num << " / " << den;
  }
}

void expect_same_division(int32_t num, int32_t den) {
  MessageLog fast_log;
  MessageLog exact_log;
  int32_t fast = 0;
  int32_t exact = 0;
  const std::string fast_fault = fault_of([&] { fast = L_divide(num, den, &fast_log.sink); });
  const std::string exact_fault =
      fault_of([&] { exact = L_divide_saturating(num, den, &exact_log.sink); });
  ASSERT_EQ(fast_fault, exact_fault) << num << " / " << den;
  ASSERT_EQ(fast, exact) << num << " / " << den;
  ASSERT_EQ(fast_log.messages, exact_log.messages) << num << " / " << den;
}

TEST(LDivideClosedForm, NormalisedDenominators) {
  std::vector<int32_t> dens = {0x40000000, 0x40000001, 0x4000ffff, 0x40010000, 0x7ffeffff,
                               0x7fff0000, MAX_32 - 1, MAX_32,     0x5a827999, 0x60000000};
  std::mt19937 rng(7);
  for (int i = 0; i < 2000; ++i) {
    dens.push_back(std::uniform_int_distribution<int32_t>(0x40000000, MAX_32)(rng));
  }
  for (const int32_t den : dens) {
    // 0, den and the numerators around 2^29, where the last shift starts to saturate.
    std::vector<int32_t> nums = {0,          1,          den,        den - 1,   den / 2,
                                 0x1fffffff, 0x20000000, 0x20000001, 0x3fffffff};
    for (int i = 0; i < 20; ++i)
      nums.push_back(std::uniform_int_distribution<int32_t>(0, den)(rng));
    for (const int32_t num : nums) expect_same_division(num, den);
  }
}

TEST(LDivideClosedForm, OtherAndInvalidInputs) {
  std::mt19937 rng(2);
  std::uniform_int_distribution<int32_t> any32(MIN_32, MAX_32);
  for (int trial = 0; trial < 20000; ++trial) {
    int32_t den = any32(rng);
    int32_t num = any32(rng);
    if (trial % 2 == 0) {  // valid, with an upper half of at least 16383 but below 2^30
      den = static_cast<int32_t>(0x3fff0000u + static_cast<uint32_t>(den) % 0x10000u);
      num = static_cast<int32_t>(static_cast<uint32_t>(num) % (static_cast<uint32_t>(den) + 1u));
    }
    expect_same_division(num, den);
  }
  for (const auto& [num, den] : std::vector<std::array<int32_t, 2>>{{5, 4},
                                                                    {-1, 0x40000000},
                                                                    {0x40000001, 0x40000000},
                                                                    {MIN_32, MAX_32},
                                                                    {0, -5},
                                                                    {1, 0x3fffffff},
                                                                    {0, 0x20000000},
                                                                    {0, 0},
                                                                    {0, 65535}}) {
    expect_same_division(num, den);
  }
}

template <typename T>
T pick(std::mt19937& rng, const std::vector<T>& values) {
  return values[std::uniform_int_distribution<size_t>(0, values.size() - 1)(rng)];
}

TEST(BlockScaleFastForms, EveryValueAndShift) {
  std::vector<int16_t> shifts;
  for (int n = -20; n <= 20; ++n) shifts.push_back(static_cast<int16_t>(n));
  shifts.insert(shifts.end(), {MIN_16, int16_t{-100}, int16_t{100}, MAX_16});
  for (const int16_t n : shifts) {
    for (int base = MIN_16; base <= MAX_16; base += BLOCK_SCALE_LENGTH) {
      std::array<int16_t, BLOCK_SCALE_LENGTH> fast;
      for (int i = 0; i < BLOCK_SCALE_LENGTH; ++i) fast[i] = static_cast<int16_t>(base + i);
      auto exact = fast;
      block_rescale(fast.data(), n);
      block_rescale_reference(exact.data(), n);
      ASSERT_EQ(fast, exact) << "n " << n << ", from " << base;
    }
  }
  std::mt19937 rng(6);
  for (int trial = 0; trial < 3000; ++trial) {
    std::array<int16_t, BLOCK_SCALE_LENGTH> fast;
    const int peak = pick<int>(rng, {0, 1, 2, 3, 100, 1023, 1024, 1025, 16383, 16384, 32767});
    for (auto& v : fast)
      v = static_cast<int16_t>(std::uniform_int_distribution<int>(-peak, peak)(rng));
    if (trial % 4 == 0) fast[trial % BLOCK_SCALE_LENGTH] = MIN_16;
    if (trial % 97 == 0) fast.fill(MIN_16);
    auto exact = fast;
    const int16_t headroom = pick<int16_t>(rng, {0, 1, 5, 15, 16, -3});
    ASSERT_EQ(block_normalise(fast.data(), headroom),
              block_normalise_reference(exact.data(), headroom))
        << "trial " << trial;
    ASSERT_EQ(fast, exact) << "trial " << trial;
  }
}

}  // namespace
}  // namespace halvern
