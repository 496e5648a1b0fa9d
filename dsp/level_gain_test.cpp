#include "dsp/level_gain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace halvern {
namespace {

// The level a frame should read in dB Q7: 10 log10(mean(x^2) / 2^30) dB.
double reference_level_q7(const std::vector<int16_t>& x) {
  double energy = 0.0;
  for (int16_t v : x) energy += static_cast<double>(v) * v;
  return 128.0 * 10.0 * std::log10(energy / static_cast<double>(x.size()) / 1073741824.0);
}

// A deterministic pseudo-random frame of n samples with magnitudes up to amplitude.
std::vector<int16_t> noise_frame(int n, int amplitude, uint32_t seed) {
  std::vector<int16_t> x(static_cast<size_t>(n));
  for (auto& v : x) {
    seed = seed * 1664525u + 1013904223u;
    const double u = static_cast<double>(seed >> 8) / 16777216.0 * 2.0 - 1.0;
    v = static_cast<int16_t>(std::lround(u * amplitude));
  }
  return x;
}

TEST(CompanderBlock, Defaults) {
  const CompanderBlock b = compander_block_defaults();
  const std::array<int16_t, 12> fields = {b.level_attack, b.level_release,  b.gain_attack,
                                          b.gain_release, b.comp_threshold, b.exp_threshold,
                                          b.comp_slope,   b.exp_slope,      b.offset_db,
                                          b.out_gain,     b.level,          b.gain};
  const std::array<int16_t, 12> expected = {29789, 21845, 29789, 21845, -1664, -7680,
                                            1807,  -6144, 0,     2048,  0,     0};
  EXPECT_EQ(fields, expected);
}

TEST(SlopeRules, WorkedValuesAndFormulas) {
  for (auto [k, slope] : {std::pair{2, 0}, {3, 682}, {4, 1024}, {17, 1807}, {20, 1843}}) {
    EXPECT_EQ(comp_slope_q11(k), slope) << "k=" << k;
  }
  for (auto [k, slope] : {std::pair{2, 0}, {8, -6144}, {20, -18432}}) {
    EXPECT_EQ(exp_slope_q11(k), slope) << "k=" << k;
  }
  for (int k = 2; k <= 20; ++k) {
    const double ratio = k / 2.0;
    EXPECT_EQ(comp_slope_q11(k), std::floor(2048.0 * (1.0 - 1.0 / ratio))) << "k=" << k;
    EXPECT_EQ(exp_slope_q11(k), 2048.0 * (1.0 - ratio)) << "k=" << k;
  }
}

TEST(Ramp10, WeightsFromFormula) {
  for (int i = 0; i < 10; ++i) {
    const int expected = i == 0 ? 1 : static_cast<int>(std::floor(i * 32768.0 / 10.0));
    EXPECT_EQ(RAMP10_Q15[static_cast<size_t>(i)], expected) << "i=" << i;
  }
}

TEST(FrameLevel, SilentAndFullScaleFrames) {
  const std::vector<int16_t> silent(320, 0);
  EXPECT_EQ(frame_level_db(silent.data(), 320, MeanRule::kDivideByLength, 0), -11944);
  EXPECT_EQ(frame_level_db(silent.data(), 320, MeanRule::kReciprocal, 102), -11944);
  // The accumulator passes 2^30 several times on the way.
  for (int16_t v : {int16_t{32767}, int16_t{-32768}}) {
    const std::vector<int16_t> x(320, v);
    EXPECT_EQ(frame_level_db(x.data(), 320, MeanRule::kDivideByLength, 0), 0) << v;
    EXPECT_EQ(frame_level_db(x.data(), 320, MeanRule::kReciprocal, 102), -1) << v;
  }
}

TEST(FrameLevel, DivideByLengthMatchesMeanPower) {
  // From quiet frames (no halving of the accumulator) to loud ones (several halvings), and for
  // other frame lengths than 320.
  for (int n : {320, 160, 640, 100, 1}) {
    for (int amplitude : {40, 500, 4000, 20000, 32767}) {
      const auto x = noise_frame(n, amplitude, static_cast<uint32_t>(n * 7 + amplitude));
      if (std::all_of(x.begin(), x.end(), [](int16_t v) { return v == 0; })) continue;
      EXPECT_NEAR(frame_level_db(x.data(), n, MeanRule::kDivideByLength, 0), reference_level_q7(x),
                  3.0)
          << "n=" << n << " amplitude=" << amplitude;
    }
  }
}

TEST(FrameLevel, ReciprocalMatchesScaledMeanPower) {
  // rho = 102 is 320 x 102 / 32768 = 0.996 of 1/320: about 0.017 dB less than the true mean.
  const double bias_q7 = 128.0 * 10.0 * std::log10(102.0 * 320.0 / 32768.0);
  for (int amplitude : {10, 300, 3000, 30000}) {
    const auto x = noise_frame(320, amplitude, static_cast<uint32_t>(amplitude));
    EXPECT_NEAR(frame_level_db(x.data(), 320, MeanRule::kReciprocal, 102),
                reference_level_q7(x) + bias_q7, 3.0)
        << "amplitude=" << amplitude;
  }
}

TEST(FrameLevel, LateLoudSamplesCountAfterHalvings) {
  // Quiet first half, full-scale second half: the running exponent must keep both halves'
  // weights right even though the accumulator halves only in the second half.
  std::vector<int16_t> x(320, 0);
  for (size_t i = 0; i < 160; ++i) x[i] = static_cast<int16_t>(i % 2 == 0 ? 1000 : -1000);
  for (size_t i = 160; i < 320; ++i) x[i] = static_cast<int16_t>(i % 2 == 0 ? 30000 : -30000);
  EXPECT_NEAR(frame_level_db(x.data(), 320, MeanRule::kDivideByLength, 0), reference_level_q7(x),
              3.0);
  std::reverse(x.begin(), x.end());
  EXPECT_NEAR(frame_level_db(x.data(), 320, MeanRule::kDivideByLength, 0), reference_level_q7(x),
              3.0);
}

TEST(Smoothing, MatchesWeightedMean) {
  for (int x = -32768; x <= 32767; x += 97) {
    EXPECT_EQ(smooth_q15(32767, static_cast<int16_t>(x), 32767), 32766) << "x=" << x;
  }
  EXPECT_EQ(smooth_q15(32767, 32767, 32767), 32766);
  for (int16_t c : {1, 109, 2979, 21845, 32767}) {
    for (int16_t target : {-11944, -5120, 0, 28894}) {
      for (int16_t state : {-7680, 0, 2048, 32767}) {
        const double expected = (1.0 * target * c + 1.0 * state * (32767 - c)) / 32768.0;
        EXPECT_NEAR(smooth_q15(target, state, c), expected, 1.0)
            << "c=" << c << " target=" << target << " state=" << state;
      }
    }
  }
}

TEST(Smoothing, AttackAndReleaseChoice) {
  // Level: attack when the new level is above the stored one; gain: when it is below.
  EXPECT_EQ(smooth_level(-1000, -2000, 32767, 1), smooth_q15(-1000, -2000, 32767));
  EXPECT_EQ(smooth_level(-3000, -2000, 32767, 1), smooth_q15(-3000, -2000, 1));
  EXPECT_EQ(smooth_gain(1000, 2000, 32767, 1), smooth_q15(1000, 2000, 32767));
  EXPECT_EQ(smooth_gain(3000, 2000, 32767, 1), smooth_q15(3000, 2000, 1));
}

TEST(GainFromDb, WorkedValues) {
  for (auto [d, g] : {std::pair{0, 32767}, {-128, 28894}, {-768, 16212}, {-11520, 1}}) {
    EXPECT_EQ(gain_from_db(static_cast<int16_t>(d)), g) << "d=" << d;
  }
}

TEST(GainFromDb, FollowsQuantisedLogarithm) {
  // The Q7 base-10 logarithm t = floor(d / 20) quantises the gain; the result is 10^(t / 128)
  // within the accuracy of the second-order power polynomial on a Q10 exponent (0.5 %), and never
  // rises as d falls.
  int16_t previous = gain_from_db(0);
  for (int d = -1; d >= -11520; --d) {
    const auto dq = static_cast<int16_t>(d);
    const int16_t g = gain_from_db(dq);
    const double t = std::floor(d * 1638.0 / 32768.0);
    const double expected = 32768.0 * std::pow(10.0, t / 128.0);
    ASSERT_NEAR(g, expected, 1.0 + expected * 5e-3) << "d=" << d;
    ASSERT_LE(g, previous) << "d=" << d;
    previous = g;
  }
}

TEST(CurveSegment, DistanceTimesSlope) {
  for (int16_t slope : {0, 682, 2047, -6144, -18432}) {
    for (int16_t level : {-11944, -5120, -1281, 0}) {
      const int16_t threshold = -1280;
      const double exact = static_cast<double>(threshold - level) * slope / 2048.0;
      const double expected = std::clamp(std::floor(exact + 0.5), -32768.0, 32767.0);
      EXPECT_EQ(curve_segment(threshold, slope, level), expected)
          << "slope=" << slope << " level=" << level;
    }
  }
  EXPECT_EQ(curve_segment(-1280, 2048, -2560), 1280);
  EXPECT_EQ(curve_segment(32767, 32767, -32768), 32767);  // saturates instead of wrapping
  EXPECT_EQ(curve_segment(-32768, 32767, 32767), -32768);
}

TEST(RampedGain, MovesAlongWeightsThenHolds) {
  std::vector<int16_t> x(320);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<int16_t>(20000 - 97 * i);
  const std::vector<int16_t> in = x;
  const int16_t g0 = 2048;
  const int16_t g1 = 32766;
  apply_ramped_gain(x.data(), 320, g1, g0, RAMP10_Q15.data(), 10, nullptr);
  for (size_t i = 0; i < 10; ++i) {
    const double w = RAMP10_Q15[i] / 32768.0;
    const double gain = (w * g1 + (32767.0 / 32768.0 - w) * g0) / 32768.0;
    EXPECT_NEAR(x[i], in[i] * gain, 1.5) << "i=" << i;
  }
  for (size_t i = 10; i < x.size(); ++i) {
    EXPECT_NEAR(x[i], in[i] * (g1 / 32768.0), 0.5 + 1e-9) << "i=" << i;
  }
}

TEST(RampedGain, EqualGainsChangeNothingButRounding) {
  for (int16_t g : {1, 16212, 32766}) {
    std::vector<int16_t> x(320, 12345);
    apply_ramped_gain(x.data(), 320, g, g, RAMP10_Q15.data(), 10, nullptr);
    const double expected = 12345.0 * g / 32768.0;
    for (size_t i = 0; i < x.size(); ++i) EXPECT_NEAR(x[i], expected, 1.0) << "i=" << i;
  }
}

TEST(RampedGain, OutGainScalesWithSaturation) {
  const std::array<int16_t, 6> samples = {0, 1, -1, 1000, -20000, 32767};
  for (int16_t out : {2048, 4096, 1024, 32767}) {
    std::array<int16_t, 6> x = samples;
    apply_ramped_gain(x.data(), 6, 32767, 32767, RAMP10_Q15.data(), 0, &out);
    for (size_t i = 0; i < x.size(); ++i) {
      const double y = std::floor(samples[i] * 32767.0 / 32768.0 + 0.5);  // the Q15 gain first
      const double exact = y * out / 2048.0;
      const double expected = std::clamp(std::floor(exact + 0.5), -32768.0, 32767.0);
      EXPECT_EQ(x[i], expected) << "out=" << out << " x=" << samples[i];
    }
  }
}

}  // namespace
}  // namespace halvern
