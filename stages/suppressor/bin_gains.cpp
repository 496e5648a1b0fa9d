// Bin gains from the band marks, smoothed across frequency and over time.
#include <array>

#include "fixedpoint/dsp_ops.h"
#include "stages/suppressor/suppressor_steps.h"

namespace halvern {

namespace {

// Mpy_norm_16(x, c_hi, c_lo) for c_hi, c_lo >= 0 without the normalisation: with n = norm_s(x)
// and h = x 2^n (exact), the operator forms p = 2 h c_hi + ((2 h c_lo) >> 15) and returns
// p >> n; since 2 h c_hi = 2^n (2 x c_hi) and (2 h c_lo) >> 15 = floor(2^n x c_lo / 2^14),
// p >> n = 2 x c_hi + ((x c_lo) >> 14) (a floor of a floor by powers of two is one floor).
// Neither L_mult (h != -32768 or c != -32768) nor L_add saturates: |2 h c_hi| <= 2^16 * 31457
// and the low part adds at most 2 * 9175 in magnitude for the weights used here.
constexpr int32_t weighted(int16_t x, int16_t c_hi, int16_t c_lo) {
  return (int32_t{x} * c_hi) * 2 + ((int32_t{x} * c_lo) >> 14);
}

// The two weighted terms never saturate their sum either: weighted() is increasing in x, and at
// the extremes the sum lies within [-2147483646, 2147418109].
static_assert(weighted(MAX_16, GAIN_NEW_WEIGHT_HI, GAIN_NEW_WEIGHT_LO) +
                  int64_t{weighted(MAX_16, GAIN_OLD_WEIGHT_HI, GAIN_OLD_WEIGHT_LO)} <=
              MAX_32);
static_assert(weighted(MIN_16, GAIN_NEW_WEIGHT_HI, GAIN_NEW_WEIGHT_LO) +
                  int64_t{weighted(MIN_16, GAIN_OLD_WEIGHT_HI, GAIN_OLD_WEIGHT_LO)} >=
              MIN_32);

}  // namespace

void bin_gains_update(PeakSuppressorContext* ctx, int16_t state) {
  int16_t rest = MAX_16;
  if (state == 1) {
    rest = ctx->rest1_gain;
  } else if (state == 2) {
    rest = ctx->rest2_gain;
  }
  const int16_t mark1 = ctx->mark1_gain;
  const int16_t mark2 = ctx->mark2_gain;
  const auto target_of = [&](int16_t m) { return m == 1 ? mark1 : (m == 2 ? mark2 : rest); };

  // Every bin takes the mark of the highest band that covers it: bins 1 + 8b .. 8 + 8b lie in
  // bands up to b (band b + 1 starts at 9 + 8b), and bins 105..127 end in band 13. Bin 0 lies in
  // no band and keeps its mark.
  std::array<int16_t, SUPPRESSOR_BINS> target;
  target[0] = target_of(ctx->bin_mark[0]);
  for (int b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) {
    const int16_t m = ctx->band_mark[b];
    const int16_t mark = (m == 1 || m == 2) ? m : 0;
    const int16_t g = target_of(mark);
    const int last = b == SUPPRESSOR_BAND_COUNT - 1 ? SUPPRESSOR_BINS - 1 : 8 + 8 * b;
    for (int k = 1 + 8 * b; k <= last; ++k) {
      ctx->bin_mark[k] = mark;
      target[k] = g;
    }
  }
  ctx->target_gain = target;

  // Mean of the bin and the fifteen below it: sums over 2, 4, 8 and 16 neighbours by doubling
  // (exact in 32 bits), vectorisable where a running sum is not.
  // (Each array is read only where it was written.)
  std::array<int32_t, SUPPRESSOR_BINS> twos;
  std::array<int32_t, SUPPRESSOR_BINS> fours;
  std::array<int32_t, SUPPRESSOR_BINS> eights;
  for (int k = 1; k < SUPPRESSOR_BINS; ++k) twos[k] = int32_t{target[k]} + target[k - 1];
  for (int k = 3; k < SUPPRESSOR_BINS; ++k) fours[k] = twos[k] + twos[k - 2];
  for (int k = 7; k < SUPPRESSOR_BINS; ++k) eights[k] = fours[k] + fours[k - 4];
  std::array<int16_t, SUPPRESSOR_BINS> smooth = target;
  for (int k = FIRST_SMOOTHING_WIDTH - 1; k < SUPPRESSOR_BINS; ++k) {
    smooth[k] = static_cast<int16_t>((eights[k] + eights[k - 8]) >> 4);
  }
  // Mean of bins i - 2 to i + 5, downwards, each step seeing the values the pass already wrote.
  // The sum slides: the window of i is that of i + 1 without bin i + 6 and with bin i - 2, and
  // with bin i + 1 at the value just written instead of the one that sum saw (bins i + 6 and
  // i - 2 do not change between the two steps). Exact in 32 bits.
  int32_t window = 0;
  for (int j = SECOND_SMOOTHING_TOP - 2; j <= SECOND_SMOOTHING_TOP + 5; ++j) window += smooth[j];
  for (int i = SECOND_SMOOTHING_TOP; i >= SECOND_SMOOTHING_BOTTOM; --i) {
    const int16_t before = smooth[i];
    smooth[i] = static_cast<int16_t>(window >> 3);
    if (i > SECOND_SMOOTHING_BOTTOM) {
      window += smooth[i - 3] - smooth[i + 5] + smooth[i] - before;
    }
  }
  ctx->target_gain_smooth = smooth;

  // 0.04 of the new target plus 0.96 of the previous gain.
  for (int k = 0; k < SUPPRESSOR_BINS; ++k) {
    const int32_t p = weighted(smooth[k], GAIN_NEW_WEIGHT_HI, GAIN_NEW_WEIGHT_LO) +
                      weighted(ctx->gain[k], GAIN_OLD_WEIGHT_HI, GAIN_OLD_WEIGHT_LO);
    ctx->gain[k] = static_cast<int16_t>(p >> 16);
  }
  ctx->gain[0] = SUPPRESSOR_EDGE_GAIN_LOW;
  ctx->gain[SUPPRESSOR_BINS - 1] = SUPPRESSOR_EDGE_GAIN_HIGH;
}

}  // namespace halvern
