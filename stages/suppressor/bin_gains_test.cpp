// Bin marks, target gains, the smoothings across frequency and over time, applying the gains.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "stages/suppressor/suppressor.h"
#include "stages/suppressor/suppressor_reference.h"
#include "stages/suppressor/suppressor_steps.h"

namespace halvern {
namespace {

// mark1_gain 5000, mark2_gain 3000, rest gains 23197, no band marked.
PeakSuppressorContext gains_context() {
  PeakSuppressorContext ctx;
  peak_suppressor_reset(&ctx);
  TuningSlots slots{};
  slots[77] = 5000;
  slots[78] = 3000;
  peak_suppressor_configure(&ctx, slots);
  return ctx;
}

TEST(BinGains, MarksAndTargets) {
  for (int16_t state : {0, 1, 2}) {
    PeakSuppressorContext ctx = gains_context();
    ctx.rest1_gain = 20000;
    ctx.rest2_gain = 15000;
    ctx.band_mark[0] = 2;
    ctx.band_mark[13] = 1;
    bin_gains(&ctx, state);
    const int16_t rest = state == 0 ? 32767 : state == 1 ? 20000 : 15000;
    // A bin takes the mark of the highest band covering it: bin 20 lies in bands 0, 1 and 2,
    // and band 2 is unmarked.
    for (int k = 1; k <= 8; ++k) EXPECT_EQ(ctx.target_gain[k], 3000) << k;
    for (int k = 9; k <= 104; ++k) EXPECT_EQ(ctx.target_gain[k], rest) << k;
    for (int k = 105; k <= 127; ++k) EXPECT_EQ(ctx.target_gain[k], 5000) << k;
    EXPECT_EQ(ctx.bin_mark[20], 0);
    EXPECT_EQ(ctx.target_gain[0], rest);  // bin 0 lies in no band
  }
}

TEST(BinGains, SmoothingAcrossFrequency) {
  // Band 0 marked with gain 0: targets 0 in bins 1 to 8, 32767 elsewhere. Bins 0 and 1 keep
  // their targets, bins 17 and up hold the mean of sixteen targets, and the downward pass over
  // bins 16 to 2 reads the values it has already written above (bin 15 reads the new bin 16).
  PeakSuppressorContext ctx = gains_context();
  ctx.mark1_gain = 0;
  ctx.rest1_gain = 32767;
  ctx.band_mark[0] = 1;
  bin_gains(&ctx, 1);
  const std::vector<int16_t> low = {32767, 0,     11035, 7915,  9310,  10996, 12872, 14422, 15722,
                                    20474, 24482, 27877, 26827, 26122, 25723, 23775, 22271, 18431,
                                    20479, 22527, 24575, 26623, 28671, 30719, 32767};
  for (size_t k = 0; k < low.size(); ++k) EXPECT_EQ(ctx.target_gain_smooth[k], low[k]) << k;

  // Band 6 marked: bins 49 to 56 at 0; the lowered region reaches fifteen bins further up.
  ctx = gains_context();
  ctx.mark1_gain = 0;
  ctx.rest1_gain = 32767;
  ctx.band_mark[6] = 1;
  bin_gains(&ctx, 1);
  for (int k = 2; k <= 48; ++k) EXPECT_EQ(ctx.target_gain_smooth[k], 32767) << k;
  EXPECT_EQ(ctx.target_gain_smooth[49], 30719);  // 15/16 of 32767
  EXPECT_EQ(ctx.target_gain_smooth[52], 24575);
  for (int k = 56; k <= 64; ++k) EXPECT_EQ(ctx.target_gain_smooth[k], 16383) << k;
  EXPECT_EQ(ctx.target_gain_smooth[71], 30719);
  for (int k = 72; k <= 127; ++k) EXPECT_EQ(ctx.target_gain_smooth[k], 32767) << k;
}

TEST(BinGains, SmoothingOverTime) {
  // Unity targets: the gains of bins 1 to 126 settle at 32766 after one half; the edges are fixed.
  PeakSuppressorContext ctx = gains_context();
  for (int h = 0; h < 50; ++h) {
    bin_gains(&ctx, 0);
    ASSERT_EQ(ctx.gain[0], 32767) << h;
    for (int k = 1; k <= 126; ++k) ASSERT_EQ(ctx.gain[k], 32766) << h << " " << k;
    ASSERT_EQ(ctx.gain[127], 10000) << h;
  }

  // Every bin aimed at 23197: 0.04 new plus 0.96 old, settling at 23196.
  ctx = gains_context();
  ctx.band_mark.fill(1);
  ctx.mark1_gain = 23197;
  double model = 32767;
  for (int h = 1; h <= 400; ++h) {
    bin_gains(&ctx, 1);
    model = 0.04 * 23197 + 0.96 * model;
    // Each half truncates by less than a unit; the smoothing piles that up to 1 / 0.04 units.
    for (int k = 1; k <= 126; ++k) ASSERT_NEAR(ctx.gain[k], model, 26.0) << h << " " << k;
  }
  for (int k = 1; k <= 126; ++k) EXPECT_EQ(ctx.gain[k], 23196) << k;

  // State 1 with one marked band: unmarked bins go to -3 dB however far from the band.
  ctx = gains_context();
  ctx.band_mark[12] = 1;
  for (int h = 0; h < 400; ++h) bin_gains(&ctx, 1);
  for (int k = 1; k <= 80; ++k) EXPECT_EQ(ctx.gain[k], 23196) << k;
  EXPECT_NEAR(ctx.gain[112], (8 * 5000 + 8 * 23197) / 16, 2);  // bins 97 to 104 marked
}

TEST(BinGains, AppliesTheGainToBothValuesOfEveryPair) {
  PeakSuppressorContext ctx = gains_context();
  ctx.work.fill(1000);
  ctx.work[254] = -20000;
  bin_gains(&ctx, 0);
  // Bin 0 pairs the DC value and the value at half the sampling rate; both pass at 32767.
  for (int i = 0; i < 254; ++i) EXPECT_EQ(ctx.work[i], 1000) << i;  // 32766 rounds back
  EXPECT_EQ(ctx.work[254], -6104);  // (10000 x -20000 + 16384) >> 15
  EXPECT_EQ(ctx.work[255], 305);
}

}  // namespace
}  // namespace halvern
