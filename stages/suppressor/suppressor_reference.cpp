#include "stages/suppressor/suppressor_reference.h"

#include <array>

#include "fixedpoint/dsp_ops.h"
#include "fixedpoint/fixedpoint_reference.h"
#include "stages/suppressor/fft/fft_reference.h"
#include "stages/suppressor/lpc/lpc_reference.h"
#include "stages/suppressor/suppressor_steps.h"

namespace halvern {

void bin_powers(PeakSuppressorContext* ctx, int16_t s1) {
  bin_powers_of(ctx, ctx->work.data(), ctx->work.data() + 1, 2, s1);
}

void bin_powers_reference(PeakSuppressorContext* ctx, int16_t s1) {
  const auto shift = static_cast<int16_t>(2 * (4 - s1));
  for (int k = 0; k < SUPPRESSOR_BINS; ++k) {
    const int16_t re = ctx->work[2 * k];
    const int16_t im = ctx->work[2 * k + 1];
    ctx->power[k] = L_shl(L_add(L_mult(re, re), L_mult(im, im)), shift);
  }
}

void average_powers_reference(PeakSuppressorContext* ctx) {
  for (int k : {0, 1, 2, SUPPRESSOR_BINS - 2, SUPPRESSOR_BINS - 1}) {
    ctx->power_avg[k] = ctx->power[k];
  }
  for (int k = 3; k <= SUPPRESSOR_BINS - 3; ++k) {
    int32_t sum = 0;
    for (int i = k - 1; i <= k + 2; ++i) sum = L_add(sum, ctx->power[i] >> 2);
    ctx->power_avg[k] = sum;
  }
}

void band_levels_reference(PeakSuppressorContext* ctx, Diagnostics* diag) {
  for (int b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) {
    int32_t top = 0;
    int32_t bottom = MAX_32;
    for (int k = SUPPRESSOR_BANDS[b].first; k <= SUPPRESSOR_BANDS[b].last; ++k) {
      if (ctx->smoothed_power[k] > top) top = ctx->smoothed_power[k];
      if (ctx->smoothed_power[k] < bottom) bottom = ctx->smoothed_power[k];
    }
    ctx->band_level[b] = band_level_saturating(top, bottom, diag);
  }
}

void peak_flags_reference(PeakSuppressorContext* ctx) {
  drop_quiet_candidates(ctx);

  ctx->peak_flag.fill(0);
  for (int i = 0; i < SUPPRESSOR_LSF_COUNT; ++i) {
    for (int b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) {
      if (SUPPRESSOR_BANDS[b].first <= ctx->peak_bin[i] &&
          ctx->peak_bin[i] <= SUPPRESSOR_BANDS[b].last) {
        ctx->peak_flag[b] = 1;
      }
    }
  }

  hold_peak_flags(ctx);
}

void bin_gains_reference(PeakSuppressorContext* ctx, int16_t state) {
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

void bin_gains(PeakSuppressorContext* ctx, int16_t state) {
  bin_gains_update(ctx, state);
  // mult_r(g, v) = sat16((g v + 16384) >> 15); only -32768 x -32768 needs the clamp.
  std::array<int16_t, 2 * SUPPRESSOR_BINS> pair_gain;
  for (int k = 0; k < SUPPRESSOR_BINS; ++k) {
    pair_gain[2 * k] = ctx->gain[k];
    pair_gain[2 * k + 1] = ctx->gain[k];
  }
  for (int i = 0; i < 2 * SUPPRESSOR_BINS; ++i) {
    const int32_t v = (int32_t{pair_gain[i]} * ctx->work[i] + 16384) >> 15;
    ctx->work[i] = static_cast<int16_t>(v > MAX_16 ? MAX_16 : v);
  }
}

void peak_suppressor_process_half_reference(PeakSuppressorContext* ctx, int16_t* samples,
                                            Diagnostics* diag) {
  auto& work = ctx->work;

  start_half(ctx);

  for (int j = 0; j < SUPPRESSOR_OVERLAP; ++j) work[j] = ctx->history[j];
  for (int j = 0; j < SUPPRESSOR_HALF; ++j) work[SUPPRESSOR_OVERLAP + j] = samples[j];
  for (int j = 0; j < SUPPRESSOR_OVERLAP; ++j) ctx->history[j] = work[SUPPRESSOR_HALF + j];

  for (int k = 0; k < SUPPRESSOR_BLOCK; ++k) work[k] = mult_r(work[k], SUPPRESSOR_WINDOW[k]);

  clear_analysis(ctx);
  std::array<int32_t, SUPPRESSOR_LSF_COUNT + 1> r{};
  autocorrelation_reference(work.data(), r.data());
  levinson_durbin_reference(ctx->lpc.data(), r.data(), diag);
  lpc_to_lsp_reference(ctx->lpc.data(), ctx->lsp.data(), SUPPRESSOR_LSP_FALLBACK.data());
  lsp_to_lsf(ctx->lsp.data(), ctx->lsf.data());
  peak_candidates(ctx);

  const int16_t s1 = block_normalise_reference(work.data(), 1);
  real_fft_reference(work.data(), 1);
  bin_powers_reference(ctx, s1);
  average_powers_reference(ctx);

  peak_flags_reference(ctx);
  smooth_spectrum_saturating(ctx);
  band_levels_reference(ctx, diag);
  const int16_t state = band_decision(ctx);
  bin_gains_reference(ctx, state);

  const int16_t s2 = block_normalise_reference(work.data(), 5);
  real_fft_reference(work.data(), -1);
  block_rescale_reference(work.data(), add(s1, s2));

  for (int k = 0; k < SUPPRESSOR_BLOCK; ++k) work[k] = mult_r(work[k], SUPPRESSOR_WINDOW[k]);
  for (int k = 0; k < SUPPRESSOR_OVERLAP; ++k) work[k] = add(work[k], ctx->overlap[k]);
  for (int j = 0; j < SUPPRESSOR_OVERLAP; ++j) ctx->overlap[j] = work[SUPPRESSOR_HALF + j];
  for (int j = 0; j < SUPPRESSOR_HALF; ++j) samples[j] = work[j];

  ctx->first_call = 0;
}

int peak_suppressor_process_reference(PeakSuppressorContext* ctx) {
  return peak_suppressor_process_with(ctx, &peak_suppressor_process_half_reference);
}

}  // namespace halvern
