// One half of the peak suppressor: framing, analysis, decision, gains, synthesis.
#include <algorithm>

#include "fixedpoint/block_scale.h"
#include "stages/suppressor/fft/fft.h"
#include "stages/suppressor/lpc/lpc.h"
#include "stages/suppressor/suppressor.h"
#include "stages/suppressor/suppressor_steps.h"

namespace halvern {

namespace {

// Fallback of lpc_to_lsp when it finds fewer than ten roots.
constexpr std::array<int16_t, SUPPRESSOR_LSF_COUNT> LSP_FALLBACK{};

// mult_r(v, w) for a window value 0 < w <= 32767: |v w| <= 32768 * 32767, so the rounded product
// lies within +-32767 and never needs the clamp.
static_assert(*std::min_element(SUPPRESSOR_WINDOW.begin(), SUPPRESSOR_WINDOW.end()) > 0);
inline int16_t windowed(int16_t v, int16_t w) {
  return static_cast<int16_t>((int32_t{v} * w + 16384) >> 15);
}

}  // namespace

int16_t suppressor_block_normalise(int16_t* x, int16_t headroom) {
  // The magnitude wraps at 2^16 as in block_normalise: (v ^ s) - s with s = v >> 15 is |v|,
  // except that -32768 stays -32768.
  int16_t m = MIN_16;
  for (int i = 0; i < SUPPRESSOR_BLOCK; ++i) {
    const int16_t sign = static_cast<int16_t>(x[i] >> 15);
    const auto magnitude = static_cast<int16_t>((x[i] ^ sign) - sign);
    m = magnitude > m ? magnitude : m;
  }
  const int16_t exp = m == 0 ? int16_t{16} : norm_s(m);
  const auto s = static_cast<int16_t>(exp - headroom);
  suppressor_block_rescale(x, negate(s));
  return s;
}

void suppressor_block_rescale(int16_t* x, int16_t n) {
  if (n > 15) {
    // shr_r gives 0 beyond 15.
    for (int i = 0; i < SUPPRESSOR_BLOCK; ++i) x[i] = 0;
  } else if (n > 0) {
    // shr_r: the shifted value plus bit n - 1; for n = 15 the shift gives 0 or -1 as shr_n's
    // limit does. The sum cannot overflow since the shifted value is within +-16384. (The shift
    // counts are masked to 0..15, which they already are, so that 16-bit lanes can shift.)
    const int down = n & 15;
    const int below = (n - 1) & 15;
    for (int i = 0; i < SUPPRESSOR_BLOCK; ++i) {
      x[i] = static_cast<int16_t>((x[i] >> down) + ((x[i] >> below) & 1));
    }
  } else if (n < 0) {
    // shr_r(v, n) = shl(v, -n): v 2^-n saturated. For -n <= 15 the values that fit are those
    // within [-32768 >> -n, 32767 >> -n], and their product with 2^-n fits 16 bits (for -n = 15
    // the factor 32768 wraps to -32768, and -1 x -32768 wraps back to -32768 as it should); beyond
    // 15 every non-zero value saturates (both limits 0, and 0 times anything is 0).
    const int up = -n > 15 ? 16 : -n;
    const auto high = static_cast<int16_t>(up > 15 ? 0 : MAX_16 >> up);
    const auto low = static_cast<int16_t>(up > 15 ? 0 : MIN_16 >> up);
    const auto scale = static_cast<int16_t>(1 << (up > 15 ? 15 : up));
    for (int i = 0; i < SUPPRESSOR_BLOCK; ++i) {
      const int16_t v = x[i];
      const auto scaled = static_cast<int16_t>(v * scale);
      x[i] = v > high ? MAX_16 : (v < low ? MIN_16 : scaled);
    }
  }
}

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

  for (int k = 0; k < SUPPRESSOR_BLOCK; ++k) work[k] = windowed(work[k], SUPPRESSOR_WINDOW[k]);

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
  const int16_t s1 = suppressor_block_normalise(work.data(), 1);
  real_fft(work.data(), 1);
  bin_powers(ctx, s1);
  average_powers(ctx);

  peak_flags(ctx);
  smooth_spectrum(ctx);
  band_levels(ctx, diag);
  const int16_t state = band_decision(ctx);
  bin_gains(ctx, state);

  // Inverse transform with five bits of headroom; one rescale undoes both normalisations.
  const int16_t s2 = suppressor_block_normalise(work.data(), 5);
  real_fft(work.data(), -1);
  suppressor_block_rescale(work.data(), add(s1, s2));

  for (int k = 0; k < SUPPRESSOR_BLOCK; ++k) work[k] = windowed(work[k], SUPPRESSOR_WINDOW[k]);
  for (int k = 0; k < SUPPRESSOR_OVERLAP; ++k) work[k] = add(work[k], ctx->overlap[k]);
  for (int j = 0; j < SUPPRESSOR_OVERLAP; ++j) ctx->overlap[j] = work[SUPPRESSOR_HALF + j];
  for (int j = 0; j < SUPPRESSOR_HALF; ++j) samples[j] = work[j];

  ctx->first_call = 0;
}

void peak_suppressor_process_half_reference(PeakSuppressorContext* ctx, int16_t* samples,
                                            Diagnostics* diag) {
  auto& work = ctx->work;

  if (ctx->first_call == 1) {
    ctx->gain.fill(MAX_16);
    ctx->history.fill(0);
    ctx->overlap.fill(0);
  }

  for (int j = 0; j < SUPPRESSOR_OVERLAP; ++j) work[j] = ctx->history[j];
  for (int j = 0; j < SUPPRESSOR_HALF; ++j) work[SUPPRESSOR_OVERLAP + j] = samples[j];
  for (int j = 0; j < SUPPRESSOR_OVERLAP; ++j) ctx->history[j] = work[SUPPRESSOR_HALF + j];

  for (int k = 0; k < SUPPRESSOR_BLOCK; ++k) work[k] = mult_r(work[k], SUPPRESSOR_WINDOW[k]);

  ctx->lpc.fill(0);
  ctx->lsp.fill(0);
  ctx->lsf.fill(0);
  ctx->lsf_gap.fill(0);
  ctx->peak_bin.fill(0);
  std::array<int32_t, SUPPRESSOR_LSF_COUNT + 1> r{};
  autocorrelation_reference(work.data(), r.data());
  levinson_durbin_reference(ctx->lpc.data(), r.data(), diag);
  lpc_to_lsp_reference(ctx->lpc.data(), ctx->lsp.data(), LSP_FALLBACK.data());
  lsp_to_lsf(ctx->lsp.data(), ctx->lsf.data());
  peak_candidates(ctx);

  const int16_t s1 = block_normalise(work.data(), 1);
  real_fft_reference(work.data(), 1);
  bin_powers_reference(ctx, s1);
  average_powers_reference(ctx);

  peak_flags_reference(ctx);
  smooth_spectrum_reference(ctx);
  band_levels_reference(ctx, diag);
  const int16_t state = band_decision(ctx);
  bin_gains_reference(ctx, state);

  const int16_t s2 = block_normalise(work.data(), 5);
  real_fft_reference(work.data(), -1);
  block_rescale(work.data(), add(s1, s2));

  for (int k = 0; k < SUPPRESSOR_BLOCK; ++k) work[k] = mult_r(work[k], SUPPRESSOR_WINDOW[k]);
  for (int k = 0; k < SUPPRESSOR_OVERLAP; ++k) work[k] = add(work[k], ctx->overlap[k]);
  for (int j = 0; j < SUPPRESSOR_OVERLAP; ++j) ctx->overlap[j] = work[SUPPRESSOR_HALF + j];
  for (int j = 0; j < SUPPRESSOR_HALF; ++j) samples[j] = work[j];

  ctx->first_call = 0;
}

}  // namespace halvern
