// One half of the peak suppressor: framing, analysis, decision, gains, synthesis.
#include <algorithm>

#include "fixedpoint/block_scale.h"
#include "stages/suppressor/fft/fft.h"
#include "stages/suppressor/lpc/lpc.h"
#include "stages/suppressor/suppressor.h"
#include "stages/suppressor/suppressor_steps.h"

namespace halvern {

namespace {

// mult_r(v, w) for a window value 0 < w <= 32767: |v w| <= 32768 * 32767, so the rounded product
// lies within +-32767 and never needs the clamp. (v w + 16384) >> 15 is written as
// (((v w) >> 14) + 1) >> 1 (a floor of a floor by powers of two is one floor), the form the
// compiler maps to a rounding high-half multiply of 16-bit lanes.
static_assert(*std::min_element(SUPPRESSOR_WINDOW.begin(), SUPPRESSOR_WINDOW.end()) > 0);
inline int16_t windowed(int16_t v, int16_t w) {
  return static_cast<int16_t>((((int32_t{v} * w) >> 14) + 1) >> 1);
}

// mult_r(g, v) = sat16((g v + 16384) >> 15): the rounded product as in windowed, which reaches
// 32768 (and would wrap) only for -32768 x -32768, where mult_r gives 32767.
inline int16_t gained(int16_t g, int16_t v) {
  const auto r = static_cast<int16_t>((((int32_t{g} * v) >> 14) + 1) >> 1);
  return g == MIN_16 && v == MIN_16 ? MAX_16 : r;
}

}  // namespace

namespace {

// The work of the forward transform that runs between the orders of the recursion: the
// transform's steps, then the powers with their averages, then their smoothing over time.
struct ForwardWork {
  PeakSuppressorContext* ctx;
  int16_t s1;  // the forward normalisation
  int step;    // the next step
  FftTransform w;
  FftPlanes spectrum;
};

inline constexpr int FORWARD_WORK_STEPS = FFT_FORWARD_STEPS + 2;

void forward_work_step(void* context) {
  auto& f = *static_cast<ForwardWork*>(context);
  if (f.step < FFT_FORWARD_STEPS) {
    real_fft_forward_step(f.w, f.step, f.spectrum);
  } else if (f.step == FFT_FORWARD_STEPS) {
    bin_powers_of(f.ctx, f.spectrum.re.data(), f.spectrum.im.data(), 1, f.s1);
    average_powers(f.ctx);
  } else if (f.step == FFT_FORWARD_STEPS + 1) {
    smooth_spectrum(f.ctx);
  }
  f.step = f.step < FORWARD_WORK_STEPS ? f.step + 1 : FORWARD_WORK_STEPS;
}

}  // namespace

// The steps of the straightforward half (peak_suppressor_process_half_reference) with the
// spectrum kept in planes from the forward transform to the inverse one, and neighbouring passes
// over the block fused: the window with the scan for the first normalisation, its rescaling with
// the split into planes, the gains with the scan for the second normalisation, and the last
// rescaling with the window and the overlap. Each pass forms the same values as the steps it
// replaces (the planes hold the packed spectrum, entry 2k in re[k] and 2k + 1 in im[k]; the
// largest magnitude does not depend on the order of the scan).
void peak_suppressor_process_half(PeakSuppressorContext* ctx, int16_t* samples, Diagnostics* diag) {
  auto& work = ctx->work;

  start_half(ctx);

  // The block: the previous 96 input samples, then the 160 new ones, windowed. The last 96 input
  // samples are kept, unwindowed, to start the next block.
  for (int j = 0; j < SUPPRESSOR_OVERLAP; ++j) {
    work[j] = windowed(ctx->history[j], SUPPRESSOR_WINDOW[j]);
  }
  for (int j = 0; j < SUPPRESSOR_HALF; ++j) {
    work[SUPPRESSOR_OVERLAP + j] = windowed(samples[j], SUPPRESSOR_WINDOW[SUPPRESSOR_OVERLAP + j]);
  }
  for (int j = 0; j < SUPPRESSOR_OVERLAP; ++j) {
    ctx->history[j] = samples[SUPPRESSOR_HALF - SUPPRESSOR_OVERLAP + j];
  }

  // Forward transform with one bit of headroom; the powers undo the normalisation. The block is
  // normalised and split into planes here; the transform itself, the powers and their smoothing
  // over time run below, between the orders of the linear prediction's recursion, whose long
  // chain of dependent steps leaves the processor room for this independent work. The two touch
  // disjoint fields (lpc on one side; power, power_avg and smoothed_power on the other, which
  // nothing between them in the straightforward order reads or writes), and only the recursion
  // reports messages, so the results and the messages come out as in the straightforward order.
  int16_t m = MIN_16;
  for (int k = 0; k < SUPPRESSOR_BLOCK; ++k) {
    const int16_t magnitude = wrapped_magnitude(work[k]);
    m = magnitude > m ? magnitude : m;
  }
  ForwardWork forward;  // the planes are all written before they are read
  forward.ctx = ctx;
  forward.s1 = normalise_shift(m, 1);
  forward.step = 0;
  with_rescale(negate(forward.s1), [&](auto rescaled) {
    for (int i = 0; i < SUPPRESSOR_BINS; ++i) {
      forward.w.p[0].re[i] = rescaled(work[2 * i]);
      forward.w.p[0].im[i] = rescaled(work[2 * i + 1]);
    }
  });

  // Linear prediction of the windowed block, down to its line spectral frequencies.
  clear_analysis(ctx);
  std::array<int32_t, SUPPRESSOR_LSF_COUNT + 1> r{};
  autocorrelation(work.data(), r.data());
  levinson_durbin_interleaved(ctx->lpc.data(), r.data(), diag, &forward_work_step, &forward);
  while (forward.step < FORWARD_WORK_STEPS) forward_work_step(&forward);
  lpc_to_lsp(ctx->lpc.data(), ctx->lsp.data(), SUPPRESSOR_LSP_FALLBACK.data());
  lsp_to_lsf(ctx->lsp.data(), ctx->lsf.data());
  peak_candidates(ctx);
  const int16_t s1 = forward.s1;
  FftPlanes& spectrum = forward.spectrum;

  peak_flags(ctx);
  band_levels(ctx, diag);
  const int16_t state = band_decision(ctx);
  bin_gains_update(ctx, state);

  // The gains, with the scan for the second normalisation.
  m = MIN_16;
  for (int k = 0; k < SUPPRESSOR_BINS; ++k) {
    spectrum.re[k] = gained(ctx->gain[k], spectrum.re[k]);
    spectrum.im[k] = gained(ctx->gain[k], spectrum.im[k]);
    const int16_t mr = wrapped_magnitude(spectrum.re[k]);
    const int16_t mi = wrapped_magnitude(spectrum.im[k]);
    m = mr > m ? mr : m;
    m = mi > m ? mi : m;
  }

  // Inverse transform with five bits of headroom; one rescale undoes both normalisations.
  const int16_t s2 = normalise_shift(m, 5);
  with_rescale(negate(s2), [&](auto rescaled) {
    for (int k = 0; k < SUPPRESSOR_BINS; ++k) {
      spectrum.re[k] = rescaled(spectrum.re[k]);
      spectrum.im[k] = rescaled(spectrum.im[k]);
    }
  });
  real_fft_inverse_planes(spectrum, work.data());
  with_rescale(add(s1, s2), [&](auto rescaled) {
    for (int k = 0; k < SUPPRESSOR_OVERLAP; ++k) {
      work[k] = add(windowed(rescaled(work[k]), SUPPRESSOR_WINDOW[k]), ctx->overlap[k]);
    }
    for (int k = SUPPRESSOR_OVERLAP; k < SUPPRESSOR_BLOCK; ++k) {
      work[k] = windowed(rescaled(work[k]), SUPPRESSOR_WINDOW[k]);
    }
  });
  for (int j = 0; j < SUPPRESSOR_OVERLAP; ++j) ctx->overlap[j] = work[SUPPRESSOR_HALF + j];
  for (int j = 0; j < SUPPRESSOR_HALF; ++j) samples[j] = work[j];

  ctx->first_call = 0;
}

}  // namespace halvern
