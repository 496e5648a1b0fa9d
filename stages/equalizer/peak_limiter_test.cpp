#include "stages/equalizer/peak_limiter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <vector>

#include "dsp/level_gain.h"
#include "fixedpoint/basic_ops.h"

namespace halvern {
namespace {

// A limiter as configured: slope 0.918, no offset, unity output factor, in its start state.
struct Limiter {
  PeakLimiter rec{0, LIMITER_INITIAL_GAIN_Q15, 0, LIMITER_SLOPE_Q15, 0, 2048};
  std::array<int16_t, 16> delay{};
  int16_t index = 0;

  explicit Limiter(int16_t threshold) { rec.threshold = threshold; }
  void run(int16_t* x, int n) { peak_limit(x, n, &rec, delay.data(), &index, 16); }
};

double db(double v) { return 20.0 * std::log10(v); }

std::vector<int16_t> sine(int n, double amplitude, double hz) {
  std::vector<int16_t> x(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    x[static_cast<size_t>(i)] = static_cast<int16_t>(
        std::lround(amplitude * std::sin(2.0 * std::numbers::pi * hz * i / 16000.0)));
  }
  return x;
}

TEST(PeakLimiter, MantissaLogTableFollowsItsFormula) {
  for (int k = 64; k < 128; ++k) {
    EXPECT_EQ(LIMITER_LOG2_MANTISSA_Q9[static_cast<size_t>(k - 64)],
              std::floor(512.0 * std::log2(k / 128.0)))
        << "k = " << k;
  }
  EXPECT_EQ(LIMITER_LOG2_MANTISSA_Q9[0], -512);
  EXPECT_EQ(LIMITER_LOG2_MANTISSA_Q9[96 - 64], -213);
  EXPECT_EQ(LIMITER_LOG2_MANTISSA_Q9[63], -6);
}

TEST(PeakLimiter, LevelIsDecibelsOfTheEnvelope) {
  struct Case {
    int32_t E;
    int16_t level;
  };
  for (const Case& c : {Case{0, -11520}, Case{1, -23890}, Case{1 << 30, -772},
                        Case{0x60000000, -322}, Case{MAX_32, -10}}) {
    EXPECT_EQ(limiter_level_db(c.E), c.level) << "E = " << c.E;
  }
  // Every rounding step (7-bit mantissa, floored table, floored product) lowers the level, by at
  // most about 0.15 dB in all.
  for (int64_t E = 1; E <= MAX_32; E = E * 3 / 2 + 1) {
    const double exact = 128.0 * db(static_cast<double>(E) / 2147483648.0);
    const int16_t level = limiter_level_db(static_cast<int32_t>(E));
    EXPECT_LE(level, exact + 0.5) << "E = " << E;
    EXPECT_GE(level, exact - 22.0) << "E = " << E;
  }
}

TEST(PeakLimiter, GainRemovesMostOfTheExcess) {
  int truncated = 0;
  for (int16_t T : {int16_t{0}, int16_t{-1280}, int16_t{-2560}}) {
    EXPECT_EQ(limiter_gain(T, T, LIMITER_SLOPE_Q15), 32767);
    EXPECT_EQ(limiter_gain(static_cast<int16_t>(T - 500), T, LIMITER_SLOPE_Q15), 32767);
    for (int level = T + 1; level <= 0; ++level) {
      SCOPED_TRACE(testing::Message() << "level " << level << " T " << T);
      const int16_t g = limiter_gain(static_cast<int16_t>(level), T, LIMITER_SLOPE_Q15);
      // The dB-to-gain chain rounds the attenuation up in steps of about 0.16 dB.
      const double ref = 32768.0 * std::pow(10.0, -0.918 * (level - T) / 128.0 / 20.0);
      EXPECT_LE(g, ref * std::pow(10.0, 0.02 / 20.0) + 1.0);
      EXPECT_GE(g, ref * std::pow(10.0, -0.25 / 20.0) - 1.0);
      // The excess times the slope is floored, and the last step truncates where gain_from_db
      // rounds: the gain is that of gain_from_db or one step below it.
      const double t = std::floor((T - level) * LIMITER_SLOPE_Q15 / 32768.0);
      const int16_t rounded = gain_from_db(static_cast<int16_t>(t));
      ASSERT_TRUE(g == rounded || g == rounded - 1);
      truncated += g < rounded ? 1 : 0;
    }
  }
  EXPECT_GT(truncated, 300);
  // An unconfigured slope of 0 gives a zero excess: nothing is limited.
  EXPECT_EQ(limiter_gain(0, -2560, 0), 32767);
}

TEST(PeakLimiter, EnvelopeAttacksFastAndReleasesSlowly) {
  int16_t envelope = 0;
  limiter_envelope_step(32767, &envelope);
  EXPECT_NEAR(envelope, 32767 * 0.7135, 2.0);
  for (int i = 0; i < 40; ++i) limiter_envelope_step(32767, &envelope);
  const double top = envelope;
  EXPECT_EQ(top, 32765);  // settled one step below full scale
  for (int i = 0; i < 500; ++i) limiter_envelope_step(0, &envelope);
  // 14 / 32768 per sample, with one truncation per step pulling it down a little faster.
  const double model = top * std::pow(1.0 - 14.0 / 32768.0, 500);
  EXPECT_LE(envelope, model + 1.0);
  EXPECT_GE(envelope, model * 0.97);
}

TEST(PeakLimiter, StartsSilentThenSettlesOnTheGain) {
  constexpr std::array<int16_t, 17> kGain = {17407, 25087, 28927, 30847, 31807, 32287,
                                             32527, 32647, 32707, 32737, 32752, 32759,
                                             32763, 32765, 32766, 32766, 32766};
  Limiter lim(0);
  for (size_t i = 0; i < kGain.size(); ++i) {
    int16_t x = 1000;
    lim.run(&x, 1);
    EXPECT_EQ(lim.rec.gain, kGain[i]) << "sample " << i;
    EXPECT_EQ(x, i < 15 ? 0 : 999) << "sample " << i;  // the delay line starts empty
  }
  std::array<int16_t, 40> x{};
  std::fill(x.begin(), x.end(), int16_t{-1000});
  lim.run(x.data(), static_cast<int>(x.size()));
  EXPECT_EQ(x[14], 999);    // still the positive samples leaving the delay line
  EXPECT_EQ(x[15], -1000);  // small negative samples stay unchanged
  EXPECT_EQ(x[39], -1000);
}

TEST(PeakLimiter, FullScaleAtZeroThresholdIsNotLimited) {
  for (int16_t v : {MAX_16, MIN_16}) {
    Limiter lim(0);
    std::vector<int16_t> x(5000, v);
    lim.run(x.data(), static_cast<int>(x.size()));
    EXPECT_EQ(lim.rec.gain, 32766);
    int16_t envelope = lim.rec.envelope;
    EXPECT_EQ(limiter_level_db(limiter_envelope_step(abs_s(v), &envelope)), -10);
    EXPECT_EQ(envelope, lim.rec.envelope);  // settled
    for (size_t i = 15; i < x.size(); ++i) {
      ASSERT_NEAR(x[i], v * (32766.0 / 32768.0), 1.0) << "sample " << i;
    }
  }
}

TEST(PeakLimiter, HoldsFullScalePeaksNearTheThreshold) {
  for (int tenths : {50, 100, 200}) {
    const double threshold_db = -0.5 * (tenths / 5);
    Limiter lim(static_cast<int16_t>(-64 * (tenths / 5)));
    std::vector<int16_t> x = sine(8000, 32767.0, 1000.0);
    lim.run(x.data(), static_cast<int>(x.size()));
    int peak = 0;
    for (size_t i = 2000; i < x.size(); ++i) peak = std::max(peak, std::abs(int{x[i]}));
    // 91.8 % of the 0 dB peak's excess is removed.
    const double expected_db = threshold_db * 0.918;
    EXPECT_NEAR(db(peak / 32768.0), expected_db, 0.3) << "threshold " << threshold_db;
  }
}

TEST(PeakLimiter, GainIsDownBeforeAFullScaleStepLeavesTheDelay) {
  Limiter lim(-1280);
  std::vector<int16_t> x(3000, 0);
  std::fill(x.begin() + 1000, x.end(), int16_t{32767});
  lim.run(x.data(), static_cast<int>(x.size()));
  EXPECT_EQ(x[1014], 0);
  const double settled = x.back();
  EXPECT_NEAR(db(settled / 32768.0), -10.0 * 0.918, 0.3);
  // The first loud sample out of the delay line already meets the settled gain.
  EXPECT_GT(x[1015], 0);
  EXPECT_NEAR(db(x[1015] / settled), 0.0, 0.1);
}

TEST(PeakLimiter, DelayRunsAcrossCalls) {
  std::vector<int16_t> in = sine(1000, 20000.0, 440.0);
  Limiter whole(-1280);
  std::vector<int16_t> a = in;
  whole.run(a.data(), static_cast<int>(a.size()));

  Limiter pieces(-1280);
  std::vector<int16_t> b = in;
  int pos = 0;
  for (int len : {1, 7, 15, 16, 17, 100, 320, 524}) {
    pieces.run(b.data() + pos, len);
    pos += len;
  }
  ASSERT_EQ(pos, 1000);
  EXPECT_EQ(a, b);
  EXPECT_EQ(whole.index, pieces.index);
  EXPECT_EQ(whole.rec.gain, pieces.rec.gain);
  EXPECT_EQ(whole.rec.envelope, pieces.rec.envelope);
}

}  // namespace
}  // namespace halvern
