#include "stages/dynamics/dynamics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

#include "fixedpoint/diagnostics.h"
#include "fixedpoint/diagnostics_testing.h"

namespace halvern {
namespace {

using Frame = std::array<int16_t, FRAME_LENGTH>;
using SlotValues = std::initializer_list<std::pair<int, int>>;

// Slots 0 to 84 at 0 but for the given (slot, value) pairs.
TuningSlots slots_with(SlotValues values) {
  TuningSlots s{};
  for (auto [slot, v] : values) s[static_cast<size_t>(slot)] = static_cast<int16_t>(v);
  return s;
}

// An enabled dynamics stage with its own input and output frames.
struct Runner {
  DynamicsContext ctx{};
  Frame in{};
  Frame out{};

  explicit Runner(const TuningSlots& slots) {
    dynamics_reset(&ctx);
    ctx.header.enable = 1;
    dynamics_configure(&ctx, slots);
    bind();
  }
  explicit Runner(SlotValues values) : Runner(slots_with(values)) {}
  void bind() {
    ctx.header.input = in.data();
    ctx.header.output = out.data();
  }
  Frame run(const int16_t* frame) {
    std::copy(frame, frame + FRAME_LENGTH, in.begin());
    EXPECT_EQ(dynamics_process(&ctx), 0);
    return out;
  }
};

Frame constant_frame(int16_t v) {
  Frame x{};
  x.fill(v);
  return x;
}

// A tone of 23 periods a frame, so that every frame is the same and the samples take many
// phases (their rounding does not line up with the tone), whose level as the stage measures it
// is about level_db: amplitude sqrt(2^31 x 10^(level_db / 10)).
Frame tone_frame(double level_db) {
  const double amplitude = std::sqrt(2147483648.0 * std::pow(10.0, level_db / 10.0));
  Frame x{};
  for (size_t i = 0; i < x.size(); ++i) {
    const double phase = 2.0 * std::numbers::pi * 23.0 * static_cast<double>(i) / FRAME_LENGTH;
    x[i] = static_cast<int16_t>(std::lround(amplitude * std::sin(phase + 0.3)));
  }
  return x;
}

// 10 log10(mean(x^2) / 2^30): the level in dB that the stage's detector approximates.
double reference_level_db(const Frame& x) {
  double energy = 0.0;
  for (int16_t v : x) energy += static_cast<double>(v) * v;
  return 10.0 * std::log10(energy / FRAME_LENGTH / 1073741824.0);
}

// The gain from x to y in dB by least squares, which ignores the rounding noise of y.
double gain_db(const Frame& x, const Frame& y) {
  double xy = 0.0;
  double xx = 0.0;
  for (size_t i = 0; i < x.size(); ++i) {
    xy += static_cast<double>(x[i]) * y[i];
    xx += static_cast<double>(x[i]) * x[i];
  }
  return 20.0 * std::log10(xy / xx);
}

// A stream of loud bursts, quiet passages and silence, different in every frame.
std::vector<int16_t> varied_signal(int frames, uint32_t seed) {
  std::vector<int16_t> x(static_cast<size_t>(frames) * FRAME_LENGTH);
  for (size_t i = 0; i < x.size(); ++i) {
    seed = seed * 1664525u + 1013904223u;
    const double noise = static_cast<double>(seed >> 8) / 16777216.0 * 2.0 - 1.0;
    const size_t frame = i / FRAME_LENGTH;
    const double envelope = frame % 7 == 3 ? 0.0 : 30000.0 * std::pow(0.5, frame % 11);
    x[i] = static_cast<int16_t>(std::lround(envelope * noise));
  }
  return x;
}

// ---------------------------------------------------------------------------------------------
// Settings

TEST(DynamicsTables, SmoothingCoefficient) {
  const std::array<std::pair<int, int16_t>, 10> worked = {{{0, 32767},
                                                           {1, 16384},
                                                           {2, 10923},
                                                           {9, 3277},
                                                           {10, 2979},
                                                           {99, 328},
                                                           {100, 324},
                                                           {101, 295},
                                                           {102, 271},
                                                           {130, 82}}};
  for (auto [k, c] : worked) EXPECT_EQ(smoothing_coeff(k), c) << "k=" << k;
  for (int k = 0; k <= 130; ++k) {
    const double divisor = k <= 100 ? k + 1.0 : 10.0 * k - 899.0;
    EXPECT_EQ(smoothing_coeff(k), std::min(32767.0, std::floor(32768.0 / divisor + 0.5))) << k;
  }
}

TEST(DynamicsTables, MakeupGainFromFormula) {
  for (size_t v = 0; v < MAKEUP_GAIN_Q11.size(); ++v) {
    EXPECT_EQ(MAKEUP_GAIN_Q11[v], std::floor(2048.0 * std::pow(10.0, v / 20.0) + 0.5)) << v;
  }
}

TEST(DynamicsConfigure, ResetThenAllZeroSlots) {
  DynamicsContext ctx{};
  ctx.mode = 77;
  dynamics_reset(&ctx);
  EXPECT_EQ(ctx.header.frame_length, 320);
  EXPECT_EQ(ctx.header.enable, 0);
  EXPECT_EQ(ctx.mode, 0);
  EXPECT_EQ(ctx.main_compressor.level, -5120);
  EXPECT_EQ(ctx.main_compressor.gain, 32767);
  EXPECT_EQ(ctx.main_compressor.makeup_gain, 2048);
  EXPECT_EQ(ctx.main_compressor.makeup_gain_prev, 2048);
  EXPECT_EQ(ctx.pre_expander.gain, 2048);
  EXPECT_EQ(ctx.post_expander.exp_threshold, -7680);

  dynamics_configure(&ctx, slots_with({}));
  const MainCompressor& c = ctx.main_compressor;
  EXPECT_EQ(ctx.pre_expander.gain_attack, 32767);
  EXPECT_EQ(ctx.pre_expander.gain_release, 32767);
  EXPECT_EQ(c.level_attack, 32767);
  EXPECT_EQ(c.gain_attack, 32767);
  EXPECT_EQ(c.gain_release, 32767);
  EXPECT_EQ(c.level_release, 109);
  for (int16_t v : {c.comp_threshold, c.boost_threshold, c.full_boost_threshold, c.exp_threshold,
                    c.comp_slope, c.flat_slope, c.boost_slope, c.exp_slope, c.makeup_db}) {
    EXPECT_EQ(v, 0);
  }
  EXPECT_EQ(c.makeup_gain, 2048);
  EXPECT_EQ(ctx.input_gain_q11, 2048);
  EXPECT_EQ(ctx.output_gain_q11, 2048);
  EXPECT_EQ(ctx.mode, 0);
  EXPECT_EQ(ctx.pre_expander.slope, 82);
  EXPECT_EQ(ctx.post_expander.comp_threshold, 0);
  EXPECT_EQ(ctx.post_expander.exp_threshold, -7040);
}

TEST(DynamicsConfigure, SmoothingSettings) {
  // Either time slot out of range skips the whole step, the pre-expander's coefficients too.
  for (auto [slot, bad] : {std::pair{4, 1301}, {4, -1}, {5, 1301}, {5, -1}}) {
    const DynamicsContext ctx = Runner({{slot, bad}}).ctx;
    for (int16_t v : {ctx.main_compressor.level_attack, ctx.main_compressor.level_release,
                      ctx.main_compressor.gain_attack, ctx.main_compressor.gain_release,
                      ctx.pre_expander.gain_attack, ctx.pre_expander.gain_release}) {
      EXPECT_EQ(v, 0) << "slot " << slot << " = " << bad;
    }
  }
  const MainCompressor follows = Runner({{3, 2}, {4, 1300}, {5, 100}}).ctx.main_compressor;
  EXPECT_EQ(follows.gain_attack, 82);
  EXPECT_EQ(follows.gain_release, 2979);
  EXPECT_EQ(follows.level_release, 2979);
  EXPECT_EQ(Runner({{3, 3}, {5, 100}}).ctx.main_compressor.level_release, 109);
}

TEST(DynamicsConfigure, ThresholdsAndSlopes) {
  const MainCompressor c = Runner({{6, 10}, {7, 20}, {8, 30}, {9, 90}}).ctx.main_compressor;
  EXPECT_EQ(c.comp_threshold, -1280);
  EXPECT_EQ(c.boost_threshold, -2560);
  EXPECT_EQ(c.full_boost_threshold, -3840);
  EXPECT_EQ(c.exp_threshold, -11520);
  // One threshold out of range leaves all four.
  EXPECT_EQ(Runner({{6, 10}, {9, 91}}).ctx.main_compressor.comp_threshold, 0);

  // Ratio settings clamp to 10..100: (setting, compressor slope, expander slope).
  for (auto [v, comp, exp] : {std::array{-5, 0, 0},
                              {10, 0, 0},
                              {17, 682, -1024},
                              {40, 1536, -6144},
                              {100, 1843, -18432},
                              {250, 1843, -18432}}) {
    const DynamicsContext ctx = Runner({{10, v}, {11, v}, {19, v}, {21, v}}).ctx;
    EXPECT_EQ(ctx.main_compressor.comp_slope, comp) << v;
    EXPECT_EQ(ctx.main_compressor.exp_slope, exp) << v;
    EXPECT_EQ(ctx.post_expander.comp_slope, comp) << v;
    EXPECT_EQ(ctx.post_expander.exp_slope, exp) << v;
  }
}

TEST(DynamicsConfigure, MakeupPairs) {
  for (auto [v, db, gain] : {std::array{0, 0, 2048},
                             {1, 128, 2298},
                             {6, 768, 4086},
                             {10, 1280, 6476},
                             {18, 2304, 16268}}) {
    const MainCompressor c = Runner({{12, v}}).ctx.main_compressor;
    EXPECT_EQ(c.makeup_db, db) << v;
    EXPECT_EQ(c.makeup_gain, gain) << v;
  }
  for (int bad : {19, -1}) {
    DynamicsContext ctx{};
    dynamics_reset(&ctx);
    ctx.main_compressor.level = -1;  // a valid makeup setting would restart this state
    dynamics_configure(&ctx, slots_with({{12, bad}}));
    EXPECT_EQ(ctx.main_compressor.makeup_gain, 2048) << bad;
    EXPECT_EQ(ctx.main_compressor.level, -1) << bad;
  }
}

TEST(DynamicsConfigure, BoostSlope) {
  // (slot 7, slot 8, slot 12, boost_slope)
  for (auto [s7, s8, s12, slope] : {
           std::array{20, 30, 10, 2047},
           {20, 40, 10, 1023},
           {20, 40, 12, 1228},
           {20, 20, 10, 0},  // no ramp
           {91, 30, 10, 0},
           {20, -1, 10, 0},
           {20, 30, 19, 0},  // a slot out of range
           {20, 30, -1, 0},
           {20, 21, 16, 32766},  // 16 dB over 1 dB still fits
           {20, 21, 17, 32767},
           {20, 21, 18, 32767},  // saturated, not wrapped
       }) {
    EXPECT_EQ(Runner({{7, s7}, {8, s8}, {12, s12}}).ctx.main_compressor.boost_slope, slope)
        << s7 << " " << s8 << " " << s12;
  }
  // Every ramp: G / d in Q11, rounded down within the accuracy of the reciprocal.
  for (int s7 = 0; s7 <= 90; s7 += 3) {
    for (int s8 = s7 + 1; s8 <= 90; s8 += 2) {
      for (int s12 = 0; s12 <= 18; ++s12) {
        const double exact = 2048.0 * s12 / (s8 - s7);
        const double expected = std::min(exact, 32767.0);
        const int16_t slope = Runner({{7, s7}, {8, s8}, {12, s12}}).ctx.main_compressor.boost_slope;
        ASSERT_NEAR(slope, expected, 1.0 + exact * 1e-4) << s7 << " " << s8 << " " << s12;
        ASSERT_LE(slope, expected) << s7 << " " << s8 << " " << s12;
      }
    }
  }
}

TEST(DynamicsConfigure, InvertedBoostRangeThrows) {
  // d = 128 x (20 - 30) = -1280, normalised by 4 shifts to -20480, whatever slot 9 holds.
  for (SlotValues others : {SlotValues{{9, 40}, {12, 10}}, SlotValues{{9, 91}, {12, 0}}}) {
    TuningSlots s = slots_with(others);
    s[7] = 30;
    s[8] = 20;
    DynamicsContext ctx{};
    dynamics_reset(&ctx);
    EXPECT_EQ(fault_of([&] { dynamics_configure(&ctx, s); }),
              "Division Error var1=16383  var2=-20480\n");
  }
  DynamicsContext ctx{};
  dynamics_reset(&ctx);
  // With a slot out of range the slope is 0 and no division is made.
  EXPECT_NO_THROW(dynamics_configure(&ctx, slots_with({{7, 91}, {8, 20}})));
  EXPECT_NO_THROW(dynamics_configure(&ctx, slots_with({{7, 30}, {8, 20}, {12, 19}})));
  EXPECT_EQ(ctx.main_compressor.boost_slope, 0);
}

TEST(DynamicsConfigure, GainsModeAndExpanders) {
  for (auto [db, gain] : {std::pair{-40, 60}, {-30, 60}, {6, 4081}, {23, 28852}, {24, 28852}}) {
    const DynamicsContext ctx = Runner({{13, db}, {14, db}}).ctx;
    EXPECT_EQ(ctx.input_gain_q11, gain) << db;
    EXPECT_EQ(ctx.output_gain_q11, gain) << db;
  }
  EXPECT_EQ(Runner({{15, -1}}).ctx.mode, -1);
  // Pre-expander ratio setting to slope.
  for (auto [ratio, slope] :
       {std::pair{0, 82}, {4, 82}, {5, 0}, {9, 0}, {10, 0}, {40, -6144}, {100, -18432}}) {
    const PreExpander p = Runner({{16, 50}, {17, ratio}}).ctx.pre_expander;
    EXPECT_EQ(p.threshold, -6400) << ratio;
    EXPECT_EQ(p.slope, slope) << ratio;
  }
  for (auto [s16, s17] : {std::pair{91, 20}, {50, 101}, {-1, 20}}) {
    EXPECT_EQ(Runner({{16, s16}, {17, s17}}).ctx.pre_expander.slope, 0) << s16 << " " << s17;
  }
  // Post-expander thresholds clamp: slot 18 to 0..29, slot 20 to 55..90.
  for (auto [v, comp, exp] :
       {std::array{-5, 0, -7040}, {29, -3712, -7040}, {60, -3712, -7680}, {100, -3712, -11520}}) {
    const CompanderBlock b = Runner({{18, v}, {20, v}}).ctx.post_expander;
    EXPECT_EQ(b.comp_threshold, comp) << v;
    EXPECT_EQ(b.exp_threshold, exp) << v;
  }
}

// ---------------------------------------------------------------------------------------------
// The static curve of the main level control

TEST(DynamicsCurve, LevelOnThresholdTakesLowerRow) {
  const SlotValues slots = {{6, 10}, {7, 20}, {8, 30}, {9, 40}, {10, 40}, {12, 10}};
  const MainCompressor c = Runner(slots).ctx.main_compressor;
  ASSERT_EQ(c.boost_slope, 2047);
  EXPECT_EQ(main_gain_db(c, -1279), -1281);  // above T1: 0.75 x 1 rounds to 1, then -G
  EXPECT_EQ(main_gain_db(c, -1280), -1280);  // on T1: flat row, -G
  EXPECT_EQ(main_gain_db(c, -2560), -1280);  // on T2: flat row
  EXPECT_EQ(main_gain_db(c, -3839), -2);     // above T3: the ramp, 1279 x 2047 / 2048 - G
  EXPECT_EQ(main_gain_db(c, -3840), 0);      // on T3: full makeup (the ramp would give -1)
  EXPECT_EQ(main_gain_db(c, -5120), 0);      // on T4: full makeup
  // Thresholds out of order (T1 below T3): a level on T1 is not above it.
  TuningSlots s = slots_with(slots);
  s[6] = 40;
  s[9] = 50;
  const MainCompressor unordered = Runner(s).ctx.main_compressor;
  EXPECT_EQ(main_gain_db(unordered, -5120), 0);
  EXPECT_EQ(main_gain_db(unordered, -5119), -1281);
}

TEST(DynamicsCurve, FrameOnFullBoostThresholdGetsFullMakeup) {
  // A constant frame whose measured level is a whole number of dB between -39 and -20.
  Frame x{};
  int db = 0;
  for (int v = 1; v < 32768 && db == 0; ++v) {
    x = constant_frame(static_cast<int16_t>(v));
    const int16_t level = frame_level_db(x.data(), FRAME_LENGTH, MeanRule::kDivideByLength, 0);
    if (level % 128 == 0 && level <= -2560 && level > -5120) db = -level / 128;
  }
  ASSERT_NE(db, 0);
  Runner r({{7, db - 10}, {8, db}, {9, 90}, {12, 10}});
  r.run(x.data());
  ASSERT_EQ(r.ctx.main_compressor.level, -128 * db);
  // d = 0 gives 32767, smoothed to 32766; the ramp's -1 would have given about 32128.
  EXPECT_EQ(r.ctx.main_compressor.gain, 32766);
}

// ---------------------------------------------------------------------------------------------
// Frame processing

TEST(DynamicsProcess, NullPointersAndDisabledStage) {
  Runner r({});
  EXPECT_EQ(dynamics_process(nullptr), -1);
  r.ctx.header.input = nullptr;
  EXPECT_EQ(dynamics_process(&r.ctx), -1);
  r.bind();
  r.ctx.header.output = nullptr;
  EXPECT_EQ(dynamics_process(&r.ctx), -1);

  const Frame x = tone_frame(-10.0);
  for (int16_t enable : {0, 2, -1}) {
    r.bind();
    r.ctx.header.enable = enable;
    EXPECT_EQ(r.run(x.data()), x) << "enable=" << enable;  // copied, not processed
    EXPECT_EQ(r.ctx.main_compressor.level, -5120);
    EXPECT_EQ(r.ctx.main_compressor.gain, 32767);
  }
}

TEST(DynamicsProcess, AllZeroTuningSettlesOneStepBelowUnity) {
  Runner r({});
  Frame x{};
  for (size_t i = 0; i < x.size(); ++i) {
    x[i] = static_cast<int16_t>(static_cast<int>((i * 7919) % 65536) - 32768);
  }
  x[0] = 32767;
  x[1] = -32768;
  x[2] = 1000;
  r.run(x.data());
  for (int frame = 2; frame <= 4; ++frame) {
    const Frame y = r.run(x.data());
    EXPECT_EQ(y[0], 32765);
    EXPECT_EQ(y[1], -32766);
    EXPECT_EQ(y[2], 1000);
    for (size_t i = 0; i < y.size(); ++i) {
      ASSERT_EQ(y[i], std::floor(x[i] * 32766.0 / 32768.0 + 0.5)) << frame << " " << i;
    }
  }
}

TEST(DynamicsProcess, MakeupStartsOnSecondFrame) {
  Runner r({{12, 6}});
  Frame x{};
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<int16_t>(static_cast<int>(i) * 7 - 1100);
  const Frame first = r.run(x.data());
  for (size_t i = 0; i < x.size(); ++i) EXPECT_NEAR(first[i], x[i], 1.0) << i;
  for (int frame = 2; frame <= 3; ++frame) {
    const Frame y = r.run(x.data());
    for (size_t i = 0; i < y.size(); ++i) {
      const double gained = std::floor(x[i] * 32766.0 / 32768.0 + 0.5);
      ASSERT_EQ(y[i], std::floor(gained * 4086.0 / 2048.0 + 0.5)) << frame << " " << i;
    }
  }
}

TEST(DynamicsProcess, LoudFrameAfterSilenceCrossfades) {
  // Compression above -20 dB with ratio 10; the level releases at once.
  Runner r({{3, 2}, {6, 20}, {7, 30}, {8, 30}, {9, 60}, {10, 100}});
  const Frame silence{};
  r.run(silence.data());
  r.run(silence.data());
  const int16_t g0 = r.ctx.main_compressor.gain;
  ASSERT_EQ(g0, 32766);
  const Frame y = r.run(constant_frame(16000).data());
  const int16_t g1 = r.ctx.main_compressor.gain;
  ASSERT_LT(g1, 16384);  // about 14 dB over the threshold, 0.9 of it removed
  for (size_t i = 0; i < y.size(); ++i) {
    // The old gain has the weight w / 32767, the new one (32767 - w) / 32767, and the sum of
    // the pair is scaled by 32767 / 32768.
    const double w = std::max(0.0, 32767.0 - 102.0 * static_cast<double>(i));
    ASSERT_NEAR(y[i], 16000.0 * (w * g0 + (32767.0 - w) * g1) / 32768.0 / 32768.0, 1.0) << i;
  }
  // At sample 319 the old gain keeps the weight 229 / 32767: 99.3 % of the way to the new one.
  EXPECT_NEAR((16000.0 * g0 / 32768.0 - y[319]) / (16000.0 * (g0 - g1) / 32768.0), 0.993, 0.001);
}

TEST(DynamicsProcess, FirstFrameExpanderRamps) {
  // Pre-expander (only below -90 dB): from its default gain 2048 (1/16) to 32766.
  Runner pre({{15, 1}, {16, 90}, {17, 20}});
  Frame y = pre.run(constant_frame(8000).data());
  EXPECT_EQ(pre.ctx.pre_expander.gain, 32766);
  EXPECT_NEAR(y[0], 8000.0 / 16.0, 1.5);
  for (size_t i = 0; i < y.size(); ++i) {
    const double w = i < 10 ? RAMP10_Q15[i] / 32768.0 : 1.0;
    EXPECT_NEAR(y[i], 8000.0 * (w * 32766.0 + (1.0 - w) * 2048.0) / 32768.0, 2.0) << i;
  }
  // Post-expander: the level stays above -55 dB, so its gain moves from 0 toward 32767 by the
  // release coefficient 21845.
  Runner post({{15, 2}});
  y = post.run(constant_frame(8000).data());
  EXPECT_EQ(post.ctx.post_expander.gain, 21844);
  EXPECT_EQ(y[0], 0);
  for (size_t i = 0; i < y.size(); ++i) {
    const double w = i < 10 ? RAMP10_Q15[i] / 32768.0 : 1.0;
    EXPECT_NEAR(y[i], 8000.0 * w * 21844.0 / 32768.0, 1.5) << i;
  }
}

TEST(DynamicsProcess, FixedGainsScaleAndSaturate) {
  Runner r({{13, -6}, {14, 12}});  // 1024, then 8136
  Frame x{};
  for (size_t i = 0; i < x.size(); ++i) {
    x[i] = static_cast<int16_t>(static_cast<int>(i) * 200 - 32000);
  }
  r.run(x.data());
  const Frame y = r.run(x.data());
  for (size_t i = 0; i < y.size(); ++i) {
    const double expected = std::clamp(x[i] * 0.5 * (8136.0 / 2048.0), -32768.0, 32767.0);
    ASSERT_NEAR(y[i], expected, 4.5) << i;  // rounding before the factor 3.97 grows with it
  }
  EXPECT_EQ(y.front(), -32768);
  EXPECT_EQ(y.back(), 32767);
}

TEST(DynamicsProcess, ModeBitsBeyondTheFirstTwoAreIgnored) {
  const std::vector<int16_t> x = varied_signal(12, 5);
  auto run_with_mode = [&x](int mode) {
    Runner r({{15, mode}, {16, 40}, {17, 30}, {20, 60}});
    std::vector<int16_t> y;
    for (size_t at = 0; at < x.size(); at += FRAME_LENGTH) {
      const Frame out = r.run(x.data() + at);
      y.insert(y.end(), out.begin(), out.end());
    }
    return y;
  };
  EXPECT_EQ(run_with_mode(4), run_with_mode(0));
  EXPECT_EQ(run_with_mode(-3), run_with_mode(1));
  EXPECT_EQ(run_with_mode(-1), run_with_mode(3));
  EXPECT_NE(run_with_mode(1), run_with_mode(0));
  EXPECT_NE(run_with_mode(2), run_with_mode(0));
}

// A steady tone settles on the static curve: compression above T1 (slope 1 - 1/R), unity from
// T2 to T1, the boost ramp from 0 dB at T2 to the makeup gain at T3, the full makeup down to T4,
// and expansion (slope 1 - R) below it.
TEST(DynamicsProcess, SteadyToneSettlesOnStaticCurve) {
  // Gain attack 3 frames, release 6 frames (the level's too); T1..T4 = -20, -35, -45, -60 dB;
  // compressor ratio 4, expander ratio 2, makeup 10 dB.
  const TuningSlots s = slots_with(
      {{3, 2}, {4, 20}, {5, 50}, {6, 20}, {7, 35}, {8, 45}, {9, 60}, {10, 40}, {11, 20}, {12, 10}});
  auto curve = [](double level) {
    if (level > -20.0) return -(level + 20.0) * (1.0 - 1.0 / 4.0);
    if (level > -35.0) return 0.0;
    if (level > -45.0) return 10.0 * (-35.0 - level) / 10.0;
    if (level > -60.0) return 10.0;
    return 10.0 - (-60.0 - level) * (2.0 - 1.0);
  };
  for (double level = -4.0; level >= -72.0; level -= 2.3) {
    const Frame x = tone_frame(level);
    Runner r(s);
    Frame y{};
    for (int frame = 0; frame < 120; ++frame) y = r.run(x.data());
    const double measured = reference_level_db(x);
    EXPECT_NEAR(gain_db(x, y), curve(measured), 0.25) << "level " << measured << " dB";
  }
}

TEST(DynamicsProcess, ExpandersFollowTheirCurves) {
  // Pre-expander below -40 dB on the unsmoothed frame level; post-expander below -55 dB on its
  // smoothed level; both with ratio 2 (1 dB more cut for every dB below the threshold); the main
  // control at unity.
  struct Case {
    int mode;
    double threshold_db;
    std::vector<double> levels_db;
  };
  for (const Case& c : {Case{1, -40.0, {-20.0, -38.0, -43.0, -47.0, -50.0}},
                        Case{2, -55.0, {-30.0, -53.0, -57.0, -60.0}}}) {
    for (double level : c.levels_db) {
      const Frame x = tone_frame(level);
      Runner r({{15, c.mode}, {16, 40}, {17, 20}, {20, 55}, {21, 20}});
      Frame y{};
      for (int frame = 0; frame < 60; ++frame) y = r.run(x.data());
      const double measured = reference_level_db(x);
      const double expected = std::min(0.0, measured - c.threshold_db);
      EXPECT_NEAR(gain_db(x, y), expected, 0.25) << "mode " << c.mode << " level " << measured;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// State lives in the context and nowhere else

TEST(DynamicsState, CarriedAcrossFramesInTheContext) {
  const SlotValues busy = {{3, 2},  {4, 30},  {5, 150}, {6, 15},  {7, 30}, {8, 42},
                           {9, 55}, {10, 50}, {11, 30}, {12, 8},  {13, 3}, {14, -2},
                           {15, 3}, {16, 60}, {17, 25}, {20, 65}, {21, 20}};
  const int frames = 40;
  const std::vector<int16_t> a = varied_signal(frames, 11);
  const std::vector<int16_t> b = varied_signal(frames, 97);

  // Each signal in one run through its own context.
  Runner run_a(busy);
  Runner run_b(busy);
  std::vector<Frame> out_a;
  std::vector<Frame> out_b;
  for (size_t at = 0; at < a.size(); at += FRAME_LENGTH) out_a.push_back(run_a.run(a.data() + at));
  for (size_t at = 0; at < b.size(); at += FRAME_LENGTH) out_b.push_back(run_b.run(b.data() + at));

  // The same signals interleaved frame by frame through two fresh contexts; the first one's
  // record is copied into a new one before every frame.
  Runner fresh_a(busy);
  Runner fresh_b(busy);
  for (size_t f = 0; f < out_a.size(); ++f) {
    Runner next = fresh_a;
    next.bind();
    ASSERT_EQ(next.run(a.data() + f * FRAME_LENGTH), out_a[f]) << "frame " << f;
    fresh_a = next;
    fresh_a.bind();
    ASSERT_EQ(fresh_b.run(b.data() + f * FRAME_LENGTH), out_b[f]) << "frame " << f;
  }
  EXPECT_NE(out_a, out_b);
}

}  // namespace
}  // namespace halvern
