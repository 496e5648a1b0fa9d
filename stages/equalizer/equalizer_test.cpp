#include "stages/equalizer/equalizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "fixedpoint/basic_ops.h"

namespace halvern {
namespace {

// A reset and configured context that works in place on its own frame buffer.
struct Stage {
  EqualizerContext ctx;
  std::array<int16_t, FRAME_CAPACITY> frame{};

  explicit Stage(const TuningSlots& slots, int16_t n = FRAME_LENGTH) {
    equalizer_reset(&ctx);
    ctx.header.enable = 1;
    ctx.header.frame_length = n;
    ctx.header.input = frame.data();
    ctx.header.output = frame.data();
    equalizer_configure(&ctx, slots);
  }
  // Runs the stage frame by frame over in; returns the output stream.
  std::vector<int16_t> run(const std::vector<int16_t>& in) {
    const auto n = static_cast<size_t>(ctx.header.frame_length);
    std::vector<int16_t> out;
    for (size_t f = 0; f + n <= in.size(); f += n) {
      std::copy_n(in.begin() + static_cast<long>(f), n, frame.begin());
      EXPECT_EQ(equalizer_process(&ctx), 0);
      out.insert(out.end(), frame.begin(), frame.begin() + static_cast<long>(n));
    }
    return out;
  }
};

std::vector<int16_t> noise(size_t n, int amplitude, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> d(-amplitude, amplitude);
  std::vector<int16_t> x(n);
  for (auto& v : x) v = static_cast<int16_t>(d(gen));
  return x;
}

TEST(EqualizerConfigure, ResetDefaults) {
  EqualizerContext ctx;
  equalizer_reset(&ctx);
  EXPECT_EQ(ctx.header.frame_length, 320);
  EXPECT_EQ(ctx.header.enable, 0);
  EXPECT_EQ(std::count(ctx.taps.begin(), ctx.taps.end(), 0), 62);
  EXPECT_EQ(ctx.taps[31], 16384);
  EXPECT_EQ(ctx.compander.comp_threshold, -1664);
  EXPECT_EQ(ctx.compander.gain, 0);
  EXPECT_EQ(ctx.limiter.gain, 2048);
  EXPECT_EQ(ctx.limiter.out_gain, 2048);
  EXPECT_EQ(ctx.delay_length, 16);
  EXPECT_EQ(ctx.final_gain_q11, 0);
}

TEST(EqualizerConfigure, TapsAreSymmetricWithThePassThroughRule) {
  TuningSlots s{};
  EXPECT_EQ(Stage(s).ctx.taps[31], 16384);
  s[53] = 8192;
  EXPECT_EQ(Stage(s).ctx.taps[31], 8192);
  s[53] = 0;
  s[22] = 100;
  const auto taps = Stage(s).ctx.taps;
  EXPECT_EQ(taps[0], 100);
  EXPECT_EQ(taps[62], 100);
  EXPECT_EQ(std::count(taps.begin(), taps.end(), 0), 61);  // taps[31] stays 0
  for (size_t k = 0; k <= 31; ++k) s[22 + k] = static_cast<int16_t>(1000 * k - 9000);
  const auto t = Stage(s).ctx.taps;
  for (size_t k = 0; k <= 31; ++k) {
    EXPECT_EQ(t[k], s[22 + k]);
    EXPECT_EQ(t[62 - k], s[22 + k]);
  }
}

TEST(EqualizerConfigure, SettingsOfSlots54To59) {
  struct Case {
    std::array<int16_t, 6> slot;  // slots 54 to 59
    int16_t comp_th, comp_slope, exp_th, exp_slope, final_gain_q11, threshold;
  };
  for (const Case& c : {Case{{0, 0, 0, 0, 0, 0}, 0, 0, -7040, 0, 2048, 0},
                        Case{{13, 85, 60, 40, 240, 204}, -1664, 1807, -7680, -6144, 32392, -2560},
                        Case{{54, 100, 90, 100, -7, 4}, -6912, 1843, -11520, -18432, 1933, 0},
                        Case{{-5, 200, 200, -3, 1000, 300}, 0, 1843, -11520, 0, 32392, -2560},
                        Case{{99, 15, 30, 15, -1000, -50}, -6912, 682, -7040, -1024, 56, 0},
                        Case{{1, 10, 55, 10, 9, 100}, -128, 0, -7040, 0, 2169, -1280}}) {
    TuningSlots s{};
    std::copy(c.slot.begin(), c.slot.end(), s.begin() + 54);
    const Stage st(s);
    const CompanderBlock& b = st.ctx.compander;
    SCOPED_TRACE(testing::Message() << "slot 54: " << c.slot[0]);
    EXPECT_EQ(b.comp_threshold, c.comp_th);
    EXPECT_EQ(b.comp_slope, c.comp_slope);
    EXPECT_EQ(b.exp_threshold, c.exp_th);
    EXPECT_EQ(b.exp_slope, c.exp_slope);
    EXPECT_EQ(st.ctx.final_gain_q11, c.final_gain_q11);
    EXPECT_EQ(st.ctx.limiter.threshold, c.threshold);
    EXPECT_EQ(st.ctx.limiter.slope, 30093);
    EXPECT_EQ(st.ctx.limiter.out_gain, 2048);
  }
}

TEST(EqualizerConfigure, RampWeightsForTheFrameLength) {
  const Stage st(TuningSlots{});
  const std::vector<int16_t> head = {205, 410, 614, 819, 1024};
  EXPECT_TRUE(std::equal(head.begin(), head.end(), st.ctx.ramp.begin()));
  EXPECT_EQ(st.ctx.ramp[158], 32562);
  EXPECT_EQ(st.ctx.ramp[159], 32767);
  for (int16_t n : {int16_t{160}, int16_t{320}, int16_t{640}, int16_t{101}}) {
    const Stage s(TuningSlots{}, n);
    for (int i = 0, m = n / 2; i < m; ++i) {
      ASSERT_EQ(s.ctx.ramp[static_cast<size_t>(i)], std::floor(32767.0 * (i + 1) / m + 0.5))
          << "n " << n << " i " << i;
    }
  }
}

// Taps with all 63 values set from a generator (the configure rule makes them symmetric).
TuningSlots random_taps(int amplitude, unsigned seed) {
  TuningSlots s{};
  const std::vector<int16_t> v = noise(32, amplitude, seed);
  std::copy(v.begin(), v.end(), s.begin() + 22);
  return s;
}

TEST(EqualizerFir, MatchesADoublePrecisionConvolution) {
  Stage st(random_taps(1000, 1));
  const std::vector<int16_t> in = noise(3 * 320, 8000, 2);  // too small to saturate
  std::vector<int16_t> out = in;
  for (int f = 0; f < 3; ++f) equalizer_fir(&st.ctx, out.data() + 320 * f, 320);
  for (size_t k = 0; k < in.size(); ++k) {
    double sum = 0;  // taps[62] weighs the current sample, taps[0] the one 62 samples back
    for (size_t j = 62 - std::min<size_t>(k, 62); j < 63; ++j) {
      sum += static_cast<double>(in[k + j - 62]) * st.ctx.taps[j];
    }
    ASSERT_EQ(out[k], std::floor(sum / 16384.0 + 0.5)) << "sample " << k;
  }
}

TEST(EqualizerFir, SaturatesAfterEveryTerm) {
  // Taps +1, +1, -1, -1, 0, ..., 0, -1, -1, +1, +1 on a full-scale constant: the first two terms
  // pin the sum at the top, so it ends high; a wide sum would end slightly negative.
  TuningSlots s{};
  s[22] = s[23] = 32767;
  s[24] = s[25] = -32768;
  Stage st(s);
  std::vector<int16_t> x(320, 32767);
  equalizer_fir(&st.ctx, x.data(), 320);
  for (size_t k = 62; k < x.size(); ++k) ASSERT_EQ(x[k], 32767) << "sample " << k;
}

TEST(EqualizerFir, OneCallOrFrameByFrame) {
  const std::vector<int16_t> in = noise(640, 30000, 3);  // loud enough to saturate at times
  Stage whole(random_taps(20000, 4), 640);
  std::vector<int16_t> a = in;
  equalizer_fir(&whole.ctx, a.data(), 640);
  Stage pieces(random_taps(20000, 4));
  std::vector<int16_t> b = in;
  int pos = 0;
  for (int len : {320, 1, 30, 61, 62, 63, 103}) {
    equalizer_fir(&pieces.ctx, b.data() + pos, len);
    pos += len;
  }
  ASSERT_EQ(pos, 640);
  EXPECT_EQ(a, b);
}

TEST(EqualizerCompander, LevelIsMeasuredAndSmoothed) {
  EXPECT_EQ(equalizer_compander_reciprocal(320), 102);
  EXPECT_EQ(equalizer_compander_reciprocal(640), 51);
  EXPECT_EQ(equalizer_compander_reciprocal(160), 204);
  // A constant 8000 reads -12.24 dB whatever the frame length; the stored level moves toward it
  // by the release coefficient when it falls, by the attack coefficient when it rises.
  const double measured = 128.0 * 20.0 * std::log10(8000.0 / 32768.0);
  for (int n : {160, 320, 640}) {
    for (int16_t stored : {int16_t{0}, int16_t{-7680}}) {
      Stage st(TuningSlots{}, static_cast<int16_t>(n));
      st.ctx.compander.level = stored;
      std::vector<int16_t> x(static_cast<size_t>(n), 8000);
      equalizer_compander(&st.ctx, x.data(), n);
      const double c = measured < stored ? 21845.0 : 29789.0;
      EXPECT_NEAR(st.ctx.compander.level, stored + (measured - stored) * c / 32768.0, 3.0)
          << "n " << n << " from " << stored;
    }
  }
}

// Runs frames of a square wave through the compander until it settles, then checks the measured
// level and the settled gain against the static curve computed in double precision.
void expect_static_curve(const TuningSlots& s, int amplitude, double expected_level_db) {
  Stage st(s);
  for (int f = 0; f < 40; ++f) {
    std::vector<int16_t> x(320);
    for (size_t i = 0; i < x.size(); ++i)
      x[i] = static_cast<int16_t>(i % 2 ? amplitude : -amplitude);
    equalizer_compander(&st.ctx, x.data(), 320);
  }
  const CompanderBlock& c = st.ctx.compander;
  const double level = c.level / 128.0;
  EXPECT_NEAR(level, expected_level_db, 0.15);
  double d = 0;
  if (c.level > c.comp_threshold) d = (c.comp_threshold / 128.0 - level) * c.comp_slope / 2048.0;
  if (c.level <= c.exp_threshold) d = (c.exp_threshold / 128.0 - level) * c.exp_slope / 2048.0;
  const double ref = 32768.0 * std::pow(10.0, d / 20.0);
  EXPECT_LE(c.gain, ref * std::pow(10.0, 0.02 / 20.0) + 1.0) << "amplitude " << amplitude;
  EXPECT_GE(c.gain, ref * std::pow(10.0, -0.25 / 20.0) - 1.0) << "amplitude " << amplitude;
}

TEST(EqualizerCompander, FollowsItsStaticCurve) {
  TuningSlots s{};
  s[54] = 13;  // compressor above -13 dB, ratio 8.5
  s[55] = 85;
  s[56] = 60;  // expander at and below -60 dB, ratio 4
  s[57] = 40;
  expect_static_curve(s, 16384, -6.02);  // compressed by about 6 dB
  expect_static_curve(s, 1000, -30.3);   // unity
  expect_static_curve(s, 10, -70.3);     // expanded by about 31 dB
}

TEST(EqualizerCompander, LoudFrameCrossfadesOverTheFirstHalf) {
  TuningSlots s{};
  s[54] = 20;
  s[55] = 40;
  Stage st(s);
  st.ctx.compander.gain = 32767;
  std::vector<int16_t> x(320, 20000);
  equalizer_compander(&st.ctx, x.data(), 320);
  const double g0 = 32767.0;
  const double g1 = st.ctx.compander.gain;
  EXPECT_LT(g1, 0.6 * g0);
  for (int i = 0; i < 320; ++i) {
    const double w = i < 160 ? (i + 1) / 160.0 : 1.0;
    ASSERT_NEAR(x[static_cast<size_t>(i)], 20000.0 * (g0 + w * (g1 - g0)) / 32768.0, 1.5)
        << "sample " << i;
  }
}

TEST(EqualizerStage, RejectsNullPointersAndBadFrameLengths) {
  EXPECT_EQ(equalizer_process(nullptr), -1);
  Stage st(TuningSlots{});
  st.ctx.header.output = nullptr;
  EXPECT_EQ(equalizer_process(&st.ctx), -1);
  Stage bad(TuningSlots{}, 0);
  EXPECT_EQ(equalizer_process(&bad.ctx), -1);
}

TEST(EqualizerStage, DefaultSettingDelaysBy46Samples) {
  Stage st(TuningSlots{});
  const std::vector<int16_t> in = noise(20 * 320, 8000, 5);
  const std::vector<int16_t> out = st.run(in);
  for (size_t i = 0; i < 46; ++i) ASSERT_EQ(out[i], 0) << "sample " << i;
  // From frame 12 on the compander has settled at 32765 and the limiter at 32766.
  EXPECT_EQ(st.ctx.compander.gain, 32765);
  EXPECT_EQ(st.ctx.limiter.gain, 32766);
  for (size_t i = 12 * 320; i < out.size(); ++i) {
    ASSERT_NEAR(out[i], in[i - 46] * (32765.0 / 32768.0) * (32766.0 / 32768.0), 2.0) << i;
  }
}

TEST(EqualizerStage, CompanderFadesInAndRisesByItsReleaseCoefficient) {
  Stage st(TuningSlots{});
  const std::vector<int16_t> in(320, 4000);
  std::vector<int16_t> out = st.run(in);
  EXPECT_EQ(st.ctx.compander.gain, 21844);
  // Output i is compander sample i - 15, which is FIR sample i - 46 of the constant.
  for (size_t i = 0; i < 320; ++i) {
    const int j = static_cast<int>(i) - 15;
    const double w = j < 0 || i < 46 ? 0.0 : (j < 160 ? (j + 1) / 160.0 : 1.0);
    ASSERT_NEAR(out[i], 4000.0 * w * (21844.0 / 32768.0) * (32766.0 / 32768.0), 1.6) << i;
  }
  int16_t prev = st.ctx.compander.gain;
  for (int f = 2; f <= 15; ++f) {
    st.run(in);
    const int16_t g = st.ctx.compander.gain;
    // The release step weighs the target 32767 by 21845 and the old gain by 32767 - 21845.
    EXPECT_NEAR(g, (32767.0 * 21845.0 + 10922.0 * prev) / 32768.0, 0.5 + 1e-9) << "frame " << f;
    EXPECT_GE(g, prev);
    prev = g;
  }
  EXPECT_EQ(prev, 32765);
}

TEST(EqualizerStage, FinalGainSaturatesAtPlus24dB) {
  TuningSlots s{};
  const std::vector<int16_t> in = noise(6 * 320, 4000, 6);
  const std::vector<int16_t> unity = Stage(s).run(in);
  s[58] = 240;
  const std::vector<int16_t> loud = Stage(s).run(in);
  int saturated = 0;
  for (size_t i = 0; i < in.size(); ++i) {
    const double ref = std::clamp(unity[i] * 32392.0 / 2048.0, -32768.0, 32767.0);
    ASSERT_NEAR(loud[i], ref, 0.5 + 1e-9) << "sample " << i;
    if (std::abs(unity[i]) > 2071) {
      ASSERT_TRUE(loud[i] == 32767 || loud[i] == -32768) << "sample " << i;
      ++saturated;
    }
  }
  EXPECT_GT(saturated, 100);
}

}  // namespace
}  // namespace halvern
