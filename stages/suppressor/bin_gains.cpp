// Bin gains from the band marks, smoothed across frequency and over time, applied to the
// spectrum.
#include "stages/suppressor/suppressor_steps.h"

namespace halvern {

namespace {

inline constexpr int FIRST_SMOOTHING_WIDTH = 16;  // a bin and the fifteen below it
inline constexpr int SECOND_SMOOTHING_TOP = 16;   // the second pass runs from bin 16 down to 2
inline constexpr int SECOND_SMOOTHING_BOTTOM = 2;

}  // namespace

void bin_gains(PeakSuppressorContext* ctx, int16_t state) {
  // Every bin takes the mark of the highest band that covers it.
  for (int b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) {
    const int16_t m = ctx->band_mark[b];
    for (int k = SUPPRESSOR_BANDS[b].first; k <= SUPPRESSOR_BANDS[b].last; ++k) {
      ctx->bin_mark[k] = (m == 1 || m == 2) ? m : 0;
    }
  }

  for (int k = 0; k < SUPPRESSOR_BINS; ++k) {
    int16_t g = MAX_16;
    if (ctx->bin_mark[k] == 1) {
      g = ctx->mark1_gain;
    } else if (ctx->bin_mark[k] == 2) {
      g = ctx->mark2_gain;
    } else if (state == 1) {
      g = ctx->rest1_gain;
    } else if (state == 2) {
      g = ctx->rest2_gain;
    }
    ctx->target_gain[k] = g;
    ctx->target_gain_smooth[k] = g;
  }

  // Mean of the bin and the fifteen below it, from the unsmoothed targets.
  for (int k = FIRST_SMOOTHING_WIDTH - 1; k < SUPPRESSOR_BINS; ++k) {
    int32_t sum = 0;
    for (int i = k - (FIRST_SMOOTHING_WIDTH - 1); i <= k; ++i) sum += ctx->target_gain[i];
    ctx->target_gain_smooth[k] = static_cast<int16_t>(sum >> 4);
  }
  // Mean of bins i - 2 to i + 5, downwards, each step seeing the values the pass already wrote.
  for (int i = SECOND_SMOOTHING_TOP; i >= SECOND_SMOOTHING_BOTTOM; --i) {
    int32_t sum = 0;
    for (int j = i - 2; j <= i + 5; ++j) sum += ctx->target_gain_smooth[j];
    ctx->target_gain_smooth[i] = static_cast<int16_t>(sum >> 3);
  }

  // 0.04 of the new target plus 0.96 of the previous gain.
  for (int k = 0; k < SUPPRESSOR_BINS; ++k) {
    ctx->gain[k] = extract_h(
        L_add(Mpy_norm_16(ctx->target_gain_smooth[k], GAIN_NEW_WEIGHT_HI, GAIN_NEW_WEIGHT_LO),
              Mpy_norm_16(ctx->gain[k], GAIN_OLD_WEIGHT_HI, GAIN_OLD_WEIGHT_LO)));
  }
  ctx->gain[0] = SUPPRESSOR_EDGE_GAIN_LOW;
  ctx->gain[SUPPRESSOR_BINS - 1] = SUPPRESSOR_EDGE_GAIN_HIGH;

  for (int k = 0; k < SUPPRESSOR_BINS; ++k) {
    ctx->work[2 * k] = mult_r(ctx->gain[k], ctx->work[2 * k]);
    ctx->work[2 * k + 1] = mult_r(ctx->work[2 * k + 1], ctx->gain[k]);
  }
}

}  // namespace halvern
