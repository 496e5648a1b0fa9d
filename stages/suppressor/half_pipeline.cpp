// One half of the peak suppressor: framing, analysis, decision, gains, synthesis.
#include "fixedpoint/block_scale.h"
#include "stages/suppressor/fft/fft.h"
#include "stages/suppressor/lpc/lpc.h"
#include "stages/suppressor/suppressor.h"
#include "stages/suppressor/suppressor_steps.h"

namespace halvern {

namespace {

// Fallback of lpc_to_lsp when it finds fewer than ten roots.
constexpr std::array<int16_t, SUPPRESSOR_LSF_COUNT> LSP_FALLBACK{};

}  // namespace

void peak_suppressor_process_half(PeakSuppressorContext* ctx, int16_t* samples,
                                  Diagnostics* diag) {
  auto& work = ctx->work;

  if (ctx->first_call == 1) {
    ctx->gain.fill(MAX_16);
    ctx->history.fill(0);
    ctx->overlap.fill(0);
  }

  // The block: the previous 96 input samples, then the 160 new ones. The last 96 are kept,
  // unwindowed, to start the next block.
  for (int j = 0; j < SUPPRESSOR_OVERLAP; ++j) work[j] = ctx->history[j];
  for (int j = 0; j < SUPPRESSOR_HALF; ++j) work[SUPPRESSOR_OVERLAP + j] = samples[j];
  for (int j = 0; j < SUPPRESSOR_OVERLAP; ++j) ctx->history[j] = work[SUPPRESSOR_HALF + j];

  for (int k = 0; k < SUPPRESSOR_BLOCK; ++k) work[k] = mult_r(work[k], SUPPRESSOR_WINDOW[k]);

  // Linear prediction of the windowed block, down to its line spectral frequencies.
  ctx->lpc.fill(0);
  ctx->lsp.fill(0);
  ctx->lsf.fill(0);
  ctx->lsf_gap.fill(0);
  ctx->peak_bin.fill(0);
  std::array<int32_t, SUPPRESSOR_LSF_COUNT + 1> r{};
  autocorrelation(work.data(), r.data());
  levinson_durbin(ctx->lpc.data(), r.data(), diag);
  lpc_to_lsp(ctx->lpc.data(), ctx->lsp.data(), LSP_FALLBACK.data());
  lsp_to_lsf(ctx->lsp.data(), ctx->lsf.data());
  peak_candidates(ctx);

  // Forward transform with one bit of headroom; the powers undo the normalisation.
  const int16_t s1 = block_normalise(work.data(), 1);
  real_fft(work.data(), 1);
  bin_powers(ctx, s1);
  average_powers(ctx);

  peak_flags(ctx);
  smooth_spectrum(ctx);
  band_levels(ctx, diag);
  const int16_t state = band_decision(ctx);
  bin_gains(ctx, state);

  // Inverse transform with five bits of headroom; one rescale undoes both normalisations.
  const int16_t s2 = block_normalise(work.data(), 5);
  real_fft(work.data(), -1);
  block_rescale(work.data(), add(s1, s2));

  for (int k = 0; k < SUPPRESSOR_BLOCK; ++k) work[k] = mult_r(work[k], SUPPRESSOR_WINDOW[k]);
  for (int k = 0; k < SUPPRESSOR_OVERLAP; ++k) work[k] = add(work[k], ctx->overlap[k]);
  for (int j = 0; j < SUPPRESSOR_OVERLAP; ++j) ctx->overlap[j] = work[SUPPRESSOR_HALF + j];
  for (int j = 0; j < SUPPRESSOR_HALF; ++j) samples[j] = work[j];

  ctx->first_call = 0;
}

}  // namespace halvern
