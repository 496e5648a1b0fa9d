// Context, settings, the shared level and weighting operations, the window, bin powers.
#include "stages/suppressor/suppressor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>

#include "fixedpoint/dsp_ops.h"
#include "stages/suppressor/suppressor_reference.h"
#include "stages/suppressor/suppressor_steps.h"

namespace halvern {
namespace {

TEST(PeakSuppressorContext, ResetThenConfigure) {
  PeakSuppressorContext ctx;
  std::memset(static_cast<void*>(&ctx), 0x5a, sizeof ctx);  // a field the reset forgets shows
  peak_suppressor_reset(&ctx);
  EXPECT_EQ(ctx.header.input, nullptr);
  EXPECT_EQ(ctx.header.output, nullptr);
  EXPECT_EQ(ctx.header.frame_length, 320);
  EXPECT_EQ(ctx.header.enable, 0);
  for (int16_t g : ctx.gain) EXPECT_EQ(g, 32767);
  EXPECT_EQ(ctx.first_call, 1);
  for (int16_t g : {ctx.mark1_gain, ctx.mark2_gain, ctx.rest1_gain, ctx.rest2_gain}) {
    EXPECT_EQ(g, 32767);
  }
  int64_t sum = ctx.hold_max + ctx.lsf_gap_max + ctx.peak_level_min;
  auto add_all = [&sum](const auto& a) {
    for (auto v : a) sum += v != 0;
  };
  add_all(ctx.smoothed_power), add_all(ctx.band_level), add_all(ctx.band_hold);
  add_all(ctx.band_mark), add_all(ctx.band_threshold), add_all(ctx.bin_mark), add_all(ctx.work);
  add_all(ctx.power), add_all(ctx.power_avg), add_all(ctx.target_gain);
  add_all(ctx.target_gain_smooth), add_all(ctx.history), add_all(ctx.overlap), add_all(ctx.lpc);
  add_all(ctx.lsp), add_all(ctx.lsf), add_all(ctx.lsf_gap), add_all(ctx.peak_bin);
  add_all(ctx.peak_flag), add_all(ctx.peak_hold);
  EXPECT_EQ(sum, 0);

  TuningSlots slots{};
  slots[61] = 10;
  slots[62] = -7;
  for (int s = 63; s <= 70; ++s) slots[s] = 5;
  for (int s = 71; s <= 76; ++s) slots[s] = static_cast<int16_t>(s);
  slots[64] = 30000;  // 30000 + 10 stays; 30000 + 10000 wraps
  slots[77] = 10000;
  slots[78] = -3;  // nothing is clamped
  slots[79] = 60;
  slots[80] = -2;
  ctx.first_call = 0;
  peak_suppressor_configure(&ctx, slots);
  for (int b : {0, 2, 3, 4, 5, 6, 7}) EXPECT_EQ(ctx.band_threshold[b], 15) << b;
  EXPECT_EQ(ctx.band_threshold[1], 30010);
  for (int b = 8; b < 14; ++b) EXPECT_EQ(ctx.band_threshold[b], 63 + b - 7) << b;
  EXPECT_EQ(ctx.mark1_gain, 10000);
  EXPECT_EQ(ctx.mark2_gain, -3);
  EXPECT_EQ(ctx.peak_level_min, 60);
  EXPECT_EQ(ctx.hold_max, -2);
  EXPECT_EQ(ctx.rest1_gain, 23197);
  EXPECT_EQ(ctx.rest2_gain, 23197);
  EXPECT_EQ(ctx.lsf_gap_max, 204);
  EXPECT_EQ(ctx.first_call, 1);

  slots[61] = 30000;
  slots[63] = 10000;
  peak_suppressor_configure(&ctx, slots);
  EXPECT_EQ(ctx.band_threshold[0], -25536);
}

TEST(EnergyLevel, WorkedValuesAndTheLogarithm) {
  EXPECT_EQ(energy_level(100), 21);
  EXPECT_EQ(energy_level(1000000), 128);
  EXPECT_EQ(energy_level(2147483647), 217);
  for (int32_t x = 1; x <= 16; ++x) EXPECT_EQ(energy_level(x), 0) << x;
  // 26.745 log10(x / 16) within one unit, never decreasing, over the whole positive range.
  int16_t previous = 0;
  for (double e = std::log(17.0); e < std::log(2147483647.0); e += 0.01) {
    const auto x = static_cast<int32_t>(std::exp(e));
    const int16_t level = energy_level(x);
    EXPECT_NEAR(level, 10270.0 / 32768 * 1024 / 12 * std::log10(x / 16.0), 1.0) << x;
    EXPECT_GE(level, previous) << x;
    previous = level;
  }
}

TEST(MpyNorm, WeightsAndProducts) {
  // The constant halves are the Q30 weights, and each pair adds up to one (less one unit).
  EXPECT_EQ(POWER_NEW_WEIGHT_HI * 32768 + POWER_NEW_WEIGHT_LO, 500000000);
  EXPECT_EQ(POWER_OLD_WEIGHT_HI * 32768 + POWER_OLD_WEIGHT_LO, 573741823);
  EXPECT_EQ(GAIN_NEW_WEIGHT_HI * 32768 + GAIN_NEW_WEIGHT_LO, 42949672);
  EXPECT_EQ(GAIN_OLD_WEIGHT_HI * 32768 + GAIN_OLD_WEIGHT_LO, 1030792151);
  EXPECT_EQ(500000000 + 573741823, (1 << 30) - 1);
  EXPECT_EQ(42949672 + 1030792151, (1 << 30) - 1);

  EXPECT_EQ(Mpy_norm_32(0, POWER_NEW_WEIGHT_HI, POWER_NEW_WEIGHT_LO), 0);
  EXPECT_EQ(Mpy_norm_16(0, GAIN_NEW_WEIGHT_HI, GAIN_NEW_WEIGHT_LO), 0);
  // 32767 x 0.04 and 32767 x 0.96 in Q31: 2 h c_hi + (2 h c_lo >> 15) with h = 32767.
  EXPECT_EQ(Mpy_norm_16(32767, GAIN_NEW_WEIGHT_HI, GAIN_NEW_WEIGHT_LO), 85896722);
  EXPECT_EQ(Mpy_norm_16(32767, GAIN_OLD_WEIGHT_HI, GAIN_OLD_WEIGHT_LO), 2061521387);

  // Otherwise the real product, to the 15 bits kept of the normalised x.
  const double c = 573741823.0 / (1 << 30);
  for (int32_t x : {1, 7, 1000, -1000, 123456789, -123456789, 2147483647, -2147483647 - 1}) {
    EXPECT_NEAR(Mpy_norm_32(x, POWER_OLD_WEIGHT_HI, POWER_OLD_WEIGHT_LO), x * c,
                std::abs(x * c) / 16384 + 1)
        << x;
  }
  const double g = 42949672.0 / (1 << 30) * 65536;  // Q15 x to a Q31 product
  for (int16_t x : {1, 3, 100, -100, 12345, 32767, -32768}) {
    EXPECT_NEAR(Mpy_norm_16(x, GAIN_NEW_WEIGHT_HI, GAIN_NEW_WEIGHT_LO), x * g,
                std::abs(x * g) / 16384 + 1)
        << x;
  }
}

TEST(SuppressorWindow, FromItsFormula) {
  for (int k = 0; k < 96; ++k) {
    const double rising = std::floor(32768.0 * std::sin(std::numbers::pi * (k + 1) / 194));
    EXPECT_EQ(SUPPRESSOR_WINDOW[k], rising) << k;
    EXPECT_EQ(SUPPRESSOR_WINDOW[255 - k], rising) << k;
    // Power-complementary with the falling part, to within the two floors.
    const double sum = std::pow(SUPPRESSOR_WINDOW[k], 2) + std::pow(SUPPRESSOR_WINDOW[k + 160], 2);
    EXPECT_NEAR(sum / (32768.0 * 32768.0), 1.0, 4.0 / 32768) << k;
  }
  for (int k = 96; k < 160; ++k) EXPECT_EQ(SUPPRESSOR_WINDOW[k], 32767) << k;
  EXPECT_EQ(SUPPRESSOR_WINDOW[0], 530);
  EXPECT_EQ(SUPPRESSOR_WINDOW[95], 32763);
}

TEST(BinPowers, SumOfSquaresRescaledAndAveraged) {
  PeakSuppressorContext ctx;
  peak_suppressor_reset(&ctx);
  ctx.work[0] = 100;  // bin 0 pairs the DC value and the value at half the sampling rate
  ctx.work[1] = -200;
  ctx.work[2] = 3;
  ctx.work[3] = 4;
  ctx.work[254] = -32768;
  ctx.work[255] = -32768;
  bin_powers(&ctx, 4);  // no shift
  EXPECT_EQ(ctx.power[0], 100000);
  EXPECT_EQ(ctx.power[1], 50);
  EXPECT_EQ(ctx.power[2], 0);
  EXPECT_EQ(ctx.power[127], MAX_32);
  bin_powers(&ctx, 6);  // four bits right
  EXPECT_EQ(ctx.power[0], 100000 / 16);
  EXPECT_EQ(ctx.power[1], 3);
  bin_powers(&ctx, -1);  // ten bits left, saturating
  EXPECT_EQ(ctx.power[0], 102400000);
  ctx.work[0] = 1500;
  bin_powers(&ctx, -1);
  EXPECT_EQ(ctx.power[0], MAX_32);

  // The average runs over bins k - 1 to k + 2, each quarter taken before the sum:
  // (400 i + 7) >> 2 = 100 i + 1.
  for (int k = 0; k < SUPPRESSOR_BINS; ++k) ctx.power[k] = 400 * k + 7;
  average_powers(&ctx);
  for (int k : {0, 1, 2, 126, 127}) EXPECT_EQ(ctx.power_avg[k], 400 * k + 7) << k;
  for (int k = 3; k <= 125; ++k) EXPECT_EQ(ctx.power_avg[k], 100 * (4 * k + 2) + 4) << k;
}

}  // namespace
}  // namespace halvern
