// The shared level and gain code's fast paths against their exact references, bit for bit, on
// random and adversarial inputs: full scale, -32768 everywhere, energies that just reach and just
// pass the halving limit, gains at the ends of their range and negative ramp weights.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

#include "dsp/dsp_reference.h"
#include "fixedpoint/basic_ops.h"
#include "fixedpoint/operands_testing.h"

namespace halvern {
namespace {

TEST(ClosedForms, Q11GainAndQ15ProductEqualTheOperatorChains) {
  std::mt19937 rng(1);
  std::vector<int16_t> gains = {MIN_16, -32767, -2049, -2048, -2047, -1,
                                0,      1,      2047,  2048,  2049,  MAX_16};
  for (int i = 0; i < 40; ++i) gains.push_back(static_cast<int16_t>(rng()));
  for (const int16_t g : gains) {
    for (int v = MIN_16; v <= MAX_16; ++v) {
      const auto x = static_cast<int16_t>(v);
      ASSERT_EQ(q11_gain(x, g), round_fx(L_shl(L_mult(x, g), 4))) << x << " " << g;
      ASSERT_EQ(q15_product_r(x, g), mult_r(x, g)) << x << " " << g;
    }
  }
}

void expect_same_level(const std::vector<int16_t>& x, const char* what) {
  const int n = static_cast<int>(x.size());
  for (const int16_t rho : {int16_t{0}, int16_t{51}, int16_t{102}, int16_t{204}, MAX_16}) {
    ASSERT_EQ(frame_level_db(x.data(), n, MeanRule::kReciprocal, rho),
              frame_level_db_reference(x.data(), n, MeanRule::kReciprocal, rho))
        << what << " n " << n << " rho " << rho;
  }
  ASSERT_EQ(frame_level_db(x.data(), n, MeanRule::kDivideByLength, 0),
            frame_level_db_reference(x.data(), n, MeanRule::kDivideByLength, 0))
      << what << " n " << n;
}

TEST(FrameLevelFast, RandomFramesOfEveryLoudness) {
  std::mt19937 rng(2);
  for (int trial = 0; trial < 4000; ++trial) {
    const int n = 1 + static_cast<int>(rng() % 700);
    const int shift = static_cast<int>(rng() % 16);
    std::vector<int16_t> x(static_cast<size_t>(n));
    for (auto& v : x) v = static_cast<int16_t>(static_cast<int16_t>(rng()) >> shift);
    if (trial % 5 == 0) {  // loud bursts in a quiet frame
      for (auto& v : x) v = rng() % 16 == 0 ? edgy(rng) : v;
    }
    expect_same_level(x, "random");
  }
}

TEST(FrameLevelFast, FullScaleAndTheSpecialSquare) {
  for (const int n : {1, 15, 16, 17, 320, 640}) {
    for (const int16_t v : {MIN_16, MAX_16, int16_t{-32767}}) {
      expect_same_level(std::vector<int16_t>(static_cast<size_t>(n), v), "constant");
    }
    std::vector<int16_t> x(static_cast<size_t>(n));
    for (size_t i = 0; i < x.size(); ++i) x[i] = i % 2 ? MIN_16 : MAX_16;
    expect_same_level(x, "alternating");
  }
}

TEST(FrameLevelFast, EnergyJustReachingAndPassingTheHalvingLimit) {
  // 1024 samples of 1024 sum to 2^30, the limit itself (no halving); one more sample of 1
  // passes it by one; one sample of 1023 instead of the last 1024 stays just below it. Leading
  // zeros move the crossing to the start, the inside and the end of a chunk of 16.
  for (const int lead : {0, 1, 7, 15, 16, 17}) {
    std::vector<int16_t> x(static_cast<size_t>(lead), 0);
    x.insert(x.end(), 1024, 1024);
    expect_same_level(x, "reaching the limit");
    x.push_back(1);
    expect_same_level(x, "passing the limit by one");
    x.insert(x.end(), 40, MAX_16);
    expect_same_level(x, "on through several halvings");
    x.resize(static_cast<size_t>(lead) + 1024);
    x.back() = 1023;
    x.push_back(1);
    expect_same_level(x, "just below the limit");
  }
  // Squares of 32767 fill the accumulator in one sample each: the limit is passed on every one.
  std::vector<int16_t> x(100, MAX_16);
  x[50] = MIN_16;
  expect_same_level(x, "halving every sample");
}

void expect_same_ramp(std::vector<int16_t> x, int16_t g1, int16_t g0, const std::vector<int16_t>& w,
                      int m, const int16_t* out_gain) {
  std::vector<int16_t> y = x;
  apply_ramped_gain(x.data(), static_cast<int>(x.size()), g1, g0, w.data(), m, out_gain);
  apply_ramped_gain_saturating(y.data(), static_cast<int>(y.size()), g1, g0, w.data(), m, out_gain);
  ASSERT_EQ(x, y) << "g1 " << g1 << " g0 " << g0 << " m " << m;
}

TEST(RampedGainFast, RandomGainsWeightsAndFactors) {
  std::mt19937 rng(3);
  for (int trial = 0; trial < 3000; ++trial) {
    const int n = 1 + static_cast<int>(rng() % 640);
    std::vector<int16_t> x(static_cast<size_t>(n));
    for (auto& v : x) v = edgy(rng);
    const int m = static_cast<int>(rng() % 700) - 20;  // also negative and past n
    std::vector<int16_t> w(700);
    const bool negative = trial % 4 == 0;
    for (auto& v : w) {
      v = negative ? edgy(rng) : static_cast<int16_t>(rng() & 0x7fff);
    }
    if (trial % 7 == 0) w[0] = 0;
    const int16_t factor = trial % 3 == 0 ? int16_t{2048} : edgy(rng);
    expect_same_ramp(x, edgy(rng), edgy(rng), w, m, trial % 2 ? &factor : nullptr);
  }
}

TEST(RampedGainFast, ExtremesOfEveryOperand) {
  const std::vector<int16_t> x = {MIN_16, MAX_16, -1, 0, 1, MIN_16, MIN_16, MAX_16, 16384, -16384};
  const std::vector<int16_t> weights = {0, 1, MAX_16, 16384, MAX_16, 0, 1, 2, 3, 4};
  for (const int16_t g1 : {MIN_16, int16_t{-1}, int16_t{0}, MAX_16}) {
    for (const int16_t g0 : {MIN_16, int16_t{0}, MAX_16}) {
      for (const int16_t factor : {MIN_16, int16_t{2048}, MAX_16}) {
        expect_same_ramp(x, g1, g0, weights, 10, &factor);
        expect_same_ramp(x, g1, g0, {RAMP10_Q15.begin(), RAMP10_Q15.end()}, 4, nullptr);
      }
    }
  }
}

}  // namespace
}  // namespace halvern
