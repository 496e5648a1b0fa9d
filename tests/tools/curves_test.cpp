// The curves against the engine: a tone of the same level or frequency run through the whole
// engine by run_job (one stage on, as `halvern run --stages` runs it) and measured as its
// statistics measure, or computed in another way.
#include "tools/review/curves.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <memory>
#include <numbers>
#include <vector>

#include "engine/engine.h"
#include "stages/highpass/highpass.h"
#include "tools/running/run_job.h"
#include "tools/running/stats.h"

namespace halvern::tools {
namespace {

TuningSlots example_tuning() {
  TuningSlots slots{};
  std::FILE* f = std::fopen(HALVERN_SOURCE_DIR "/examples/tuning.txt", "r");
  EXPECT_NE(f, nullptr);
  if (f != nullptr) {
    EXPECT_TRUE(tuning_load(f, &slots));
    std::fclose(f);
  }
  return slots;
}

// The input through the engine with only the stages of mask on, as `halvern run --stages` runs it.
std::vector<int16_t> run_engine(const TuningSlots& slots, int16_t mask,
                                const std::vector<int16_t>& in) {
  JobOptions options;
  options.stage_mask = mask;
  return run_job(in, slots, options).output;
}

// The RMS level that `halvern run` gives for the last second of x.
double last_second_dbfs(const std::vector<int16_t>& x) {
  SignalStats stats;
  stats.add(x.data() + x.size() - 16000, 16000);
  return stats.rms_dbfs();
}

// Linear interpolation of y(x) for increasing xs.
double interpolate(const std::vector<double>& xs, const std::vector<double>& ys, double x) {
  const auto hi = std::upper_bound(xs.begin(), xs.end(), x);
  if (hi == xs.begin()) return ys.front();
  if (hi == xs.end()) return ys.back();
  const auto i = static_cast<size_t>(hi - xs.begin());
  const double t = (x - xs[i - 1]) / (xs[i] - xs[i - 1]);
  return ys[i - 1] + t * (ys[i] - ys[i - 1]);
}

TEST(Curves, FullScaleSineIsThreeDbBelowFullScale) {
  const std::vector<int16_t> sine = tone(0.0, 1000.0, 16000);
  EXPECT_NEAR(rms_dbfs(sine.data(), sine.size()), -3.01, 0.01);
}

// Tones off the curve's grid and of another frequency (440 Hz does not fit whole periods into a
// frame), on every segment of the example's level control: expansion, full boost, the boost ramp,
// flat and compression.
TEST(Curves, DynamicsCurveMatchesTheLevelMeasuredOnASteadyTone) {
  const TuningSlots slots = example_tuning();
  const LevelCurve curve = dynamics_level_curve(slots);
  ASSERT_EQ(curve.in_db.size(), 91U);
  for (double peak : {-84.5, -64.5, -48.5, -36.5, -22.5, -6.5, -0.5}) {
    const std::vector<int16_t> in = tone(peak, 440.0, 20 * 16000);
    const std::vector<int16_t> out = run_engine(slots, STAGE_BIT_DYNAMICS, in);
    const double in_db = last_second_dbfs(in);
    const double measured =
        std::max(last_second_dbfs(out), -200.0);  // silence: as the curve has it
    EXPECT_NEAR(interpolate(curve.in_db, curve.out_db, in_db), measured, 0.5)
        << "tone at " << peak << " dBFS peak";
  }
  // The curve is not the identity: the example boosts quiet speech and compresses loud speech.
  EXPECT_GT(interpolate(curve.in_db, curve.out_db, -45.0), -45.0 + 3.0);
  EXPECT_LT(interpolate(curve.in_db, curve.out_db, -5.0), -5.0 - 3.0);
}

// The measured FIR response against the gain of a tone through the equalizer stage (its
// compander and limiter idle at this level), and against the double-precision transform of the
// taps the stage holds.
TEST(Curves, FirResponseMatchesTheGainOfATone) {
  const TuningSlots slots = example_tuning();
  const MagnitudeResponse r = fir_response(slots);
  const std::vector<double> grid = response_grid();
  ASSERT_EQ(r.hz, grid);
  EXPECT_EQ(grid.front(), 20.0);
  EXPECT_EQ(grid.back(), 8000.0);

  auto eq = std::make_unique<EqualizerContext>();
  equalizer_reset(eq.get());
  equalizer_configure(eq.get(), slots);
  for (size_t i = 0; i < grid.size(); ++i) {
    std::complex<double> h = 0;
    for (int k = 0; k < EQ_TAPS; ++k) {
      const double w = 2.0 * std::numbers::pi * grid[i] / 16000.0;
      h += eq->taps[static_cast<size_t>(k)] / 16384.0 * std::polar(1.0, -w * k);
    }
    const double expected = 20.0 * std::log10(std::abs(h));
    if (expected > -40.0) {
      EXPECT_NEAR(r.gain_db[i], expected, 0.1) << grid[i] << " Hz";
    }
  }

  for (size_t i : {size_t{14}, size_t{40}, size_t{60}, size_t{80}, size_t{100}}) {
    const double hz = grid[i];
    const std::vector<int16_t> in = tone(-30.0, hz, 3 * 16000);
    const std::vector<int16_t> out = run_engine(slots, STAGE_BIT_EQUALIZER, in);
    const double gain = last_second_dbfs(out) - last_second_dbfs(in);
    EXPECT_NEAR(r.gain_db[i], gain, 0.2) << hz << " Hz";
  }
}

// The equalizer with a flat FIR: a tone through the stage as `halvern run` runs it, at levels where
// the compander expands, does nothing, compresses, and where the limiter holds the peaks.
TEST(Curves, CompanderLimiterCurveMatchesTheLevelMeasuredOnASteadyTone) {
  TuningSlots slots = example_tuning();
  for (int s = EQ_FIRST_TAP_SLOT; s <= EQ_CENTRE_TAP_SLOT; ++s) slots[static_cast<size_t>(s)] = 0;
  const LevelCurve curve = compander_limiter_level_curve(slots);
  for (double peak : {-68.5, -40.5, -5.5, -0.5}) {
    const std::vector<int16_t> in = tone(peak, 440.0, 10 * 16000);
    const std::vector<int16_t> out = run_engine(slots, STAGE_BIT_EQUALIZER, in);
    EXPECT_NEAR(interpolate(curve.in_db, curve.out_db, last_second_dbfs(in)), last_second_dbfs(out),
                0.5)
        << "tone at " << peak << " dBFS peak";
  }
}

// The measured response of the high-pass stage against the transfer function of its coefficient
// row in double precision.
TEST(Curves, HighPassResponseMatchesItsCoefficients) {
  const TuningSlots slots = example_tuning();
  const MagnitudeResponse r = highpass_response(slots);
  const auto& row = HIGHPASS_COEFFS_16K[static_cast<size_t>(slots[1] / 50)];
  const double q30 = 1073741824.0;
  for (size_t i = 0; i < r.hz.size(); ++i) {
    const std::complex<double> z1 = std::polar(1.0, -2.0 * std::numbers::pi * r.hz[i] / 16000.0);
    const std::complex<double> h = (row[0] / q30 + row[1] / q30 * z1 + row[2] / q30 * z1 * z1) /
                                   (1.0 - row[3] / q30 * z1 - row[4] / q30 * z1 * z1);
    const double expected = 20.0 * std::log10(std::abs(h));
    if (expected > -40.0) {
      EXPECT_NEAR(r.gain_db[i], expected, 0.1) << r.hz[i] << " Hz";
    }
  }
  EXPECT_LT(r.gain_db.front(), -20.0);  // 20 Hz under a 100 Hz high-pass
}

}  // namespace
}  // namespace halvern::tools
