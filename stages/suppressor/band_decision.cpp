// Spectrum smoothing over time, band peak-to-floor levels and the band marks.
#include "fixedpoint/dsp_ops.h"
#include "stages/suppressor/suppressor_steps.h"

namespace halvern {

namespace {

inline constexpr int32_t SMOOTHED_POWER_MIN = 10;
inline constexpr int32_t FLOOR_OFFSET = 8000;    // added to a band's floor before the ratio
inline constexpr int16_t STRONG_MARK_MARGIN = 10;  // level units above the threshold for mark 2
inline constexpr int FIRST_SPREADING_BAND = 3;   // bands 3 to 11 mark their two neighbours
inline constexpr int LAST_SPREADING_BAND = 11;

}  // namespace

void smooth_spectrum(PeakSuppressorContext* ctx) {
  for (int k = 0; k < SUPPRESSOR_BINS; ++k) {
    int32_t s = ctx->power_avg[k];
    if (ctx->first_call != 1) {
      s = L_add(Mpy_norm_32(ctx->power_avg[k], POWER_NEW_WEIGHT_HI, POWER_NEW_WEIGHT_LO),
                Mpy_norm_32(ctx->smoothed_power[k], POWER_OLD_WEIGHT_HI, POWER_OLD_WEIGHT_LO));
    }
    ctx->smoothed_power[k] = s < SMOOTHED_POWER_MIN ? SMOOTHED_POWER_MIN : s;
  }
}

void band_levels(PeakSuppressorContext* ctx, Diagnostics* diag) {
  for (int b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) {
    int32_t top = 0;
    int32_t bottom = MAX_32;
    for (int k = SUPPRESSOR_BANDS[b].first; k <= SUPPRESSOR_BANDS[b].last; ++k) {
      if (ctx->smoothed_power[k] > top) top = ctx->smoothed_power[k];
      if (ctx->smoothed_power[k] < bottom) bottom = ctx->smoothed_power[k];
    }
    // 16 top / (bottom + 8000), by a Q31 division of the normalised pair, num below den.
    int32_t den = L_add(bottom, FLOOR_OFFSET);
    int32_t num = top == 0 ? 1 : top;
    const int16_t nd = norm_l(den);
    den = L_shl(den, nd);
    const int16_t nn = norm_l(num);
    num = L_shl(num, static_cast<int16_t>(nn - 1));
    const int32_t q = L_divide(num, den, diag);
    int32_t r = L_shr(q, static_cast<int16_t>(nn - nd + 26));
    if (r == 0) r = 1;
    ctx->band_level[b] = energy_level(r);
  }
}

int16_t band_decision(PeakSuppressorContext* ctx) {
  auto& mark = ctx->band_mark;
  auto& hold = ctx->band_hold;
  for (int b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) {
    int16_t h = 0;
    if (ctx->band_level[b] > ctx->band_threshold[b] && ctx->peak_flag[b] == 1) {
      mark[b] = mark[b] == 2 ? 2 : 1;
      hold[b] = 1;
      if (b >= FIRST_SPREADING_BAND && b <= LAST_SPREADING_BAND) {
        mark[b - 1] = 1;
        mark[b + 1] = 1;
        hold[b - 1] = 1;
        hold[b + 1] = 1;
      }
      if (int32_t{ctx->band_level[b]} > int32_t{ctx->band_threshold[b]} + STRONG_MARK_MARGIN) {
        mark[b] = 2;
      }
      h = 1;
    } else {
      h = hold[b];
      if (h > 0 && h < ctx->hold_max) {
        h = static_cast<int16_t>(h + 1);
      } else {
        h = 0;
        mark[b] = 0;
      }
      hold[b] = h;
    }
    if (h > ctx->hold_max) hold[b] = ctx->hold_max;
  }

  for (int b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) {
    if (mark[b] == 1 || mark[b] == 2) return mark[b];
  }
  return 0;
}

}  // namespace halvern
