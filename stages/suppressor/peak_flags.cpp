// Peak flags of the bands from closely spaced line spectral frequencies.
#include "stages/suppressor/suppressor_steps.h"

namespace halvern {

namespace {

inline constexpr int16_t LSF_LOWEST = 100;         // frequencies below are discarded
inline constexpr int16_t LSF_HIGHEST = 14336;      // frequencies above (7/8 of fs/2) are discarded
inline constexpr int16_t LOW_BIN_LEVEL_EXTRA = 5;  // extra level asked of candidates at bins <= 16
inline constexpr int16_t LOW_BIN_LAST = 16;

// Hold limit of the peak flag of band b.
int16_t peak_hold_limit(const PeakSuppressorContext& ctx, int b) {
  return b <= 2 ? SUPPRESSOR_LOW_HOLD : ctx.hold_max;
}

}  // namespace

void peak_candidates(PeakSuppressorContext* ctx) {
  auto& lsf = ctx->lsf;
  for (int i = 0; i < SUPPRESSOR_LSF_COUNT; ++i) {
    if (lsf[i] < LSF_LOWEST || lsf[i] > LSF_HIGHEST) lsf[i] = 0;
  }
  for (int i = 1; i < SUPPRESSOR_LSF_COUNT; ++i) ctx->lsf_gap[i] = sub(lsf[i], lsf[i - 1]);
  for (int i = 0; i < SUPPRESSOR_LSF_COUNT; ++i) {
    if (ctx->lsf_gap[i] > ctx->lsf_gap_max) lsf[i] = 0;
    ctx->peak_bin[i] = static_cast<int16_t>(lsf[i] >> 7);
  }
}

// A candidate counts when the averaged power just below its bin is loud enough; the others get
// peak_bin 0. The sum peak_level_min + 5 wraps like the threshold sums.
void drop_quiet_candidates(PeakSuppressorContext* ctx) {
  const auto low_threshold =
      static_cast<int16_t>(int32_t{ctx->peak_level_min} + LOW_BIN_LEVEL_EXTRA);
  for (int i = 0; i < SUPPRESSOR_LSF_COUNT; ++i) {
    const int16_t bin = ctx->peak_bin[i];
    if (bin == 0) continue;
    int32_t e = ctx->power_avg[bin - 1];
    if (e == 0) e = 1;
    const int16_t level = energy_level(e);
    const int16_t threshold = bin <= LOW_BIN_LAST ? low_threshold : ctx->peak_level_min;
    if (level < threshold) ctx->peak_bin[i] = 0;
  }
}

// The hold counts every half since the flag went up, with or without a peak, and keeps the flag
// up until it reaches the band's limit.
void hold_peak_flags(PeakSuppressorContext* ctx) {
  for (int b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) {
    const int16_t limit = peak_hold_limit(*ctx, b);
    int32_t c = ctx->peak_hold[b];
    if (ctx->peak_flag[b] == 1) {
      c = c + 1;
    } else if (1 <= c && c < limit) {
      ctx->peak_flag[b] = 1;
      c = c + 1;
    } else {
      c = 0;
    }
    ctx->peak_hold[b] = c > limit ? limit : static_cast<int16_t>(c);
  }

  if (ctx->peak_level_min == MAX_16) ctx->peak_flag.fill(1);
}

// The bands of each candidate found directly from its bin.
void peak_flags(PeakSuppressorContext* ctx) {
  drop_quiet_candidates(ctx);

  // Band b covers bins 1 + 8b .. 23 + 8b, so bin k lies in bands (k - 16) >> 3 (rounded up
  // (k - 23) / 8) to (k - 1) >> 3, within 0..13; bins below 1 lie in none.
  ctx->peak_flag.fill(0);
  for (int i = 0; i < SUPPRESSOR_LSF_COUNT; ++i) {
    const int k = ctx->peak_bin[i];
    if (k < 1) continue;
    const int low = (k - 16) >> 3 > 0 ? (k - 16) >> 3 : 0;
    constexpr int LAST_BAND = SUPPRESSOR_BAND_COUNT - 1;
    const int high = (k - 1) >> 3 < LAST_BAND ? (k - 1) >> 3 : LAST_BAND;
    for (int b = low; b <= high; ++b) ctx->peak_flag[b] = 1;
  }

  hold_peak_flags(ctx);
}

}  // namespace halvern
