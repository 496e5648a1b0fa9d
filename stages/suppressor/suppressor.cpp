// Context defaults, settings, the frame of two halves, the shared level operation and the bin
// powers.
#include "stages/suppressor/suppressor.h"

#include <bit>

#include "fixedpoint/dsp_ops.h"
#include "fixedpoint/log_pow.h"
#include "stages/suppressor/suppressor_steps.h"

namespace halvern {

namespace {

// a + b modulo 2^16, read as signed: the threshold sums wrap instead of saturating.
int16_t wrap_add(int16_t a, int16_t b) { return static_cast<int16_t>(int32_t{a} + b); }

}  // namespace

void peak_suppressor_reset(PeakSuppressorContext* ctx) {
  *ctx = PeakSuppressorContext{};
  stage_header_reset(&ctx->header, 0);
  ctx->gain.fill(MAX_16);
  ctx->first_call = 1;
  ctx->mark1_gain = MAX_16;
  ctx->mark2_gain = MAX_16;
  ctx->rest1_gain = MAX_16;
  ctx->rest2_gain = MAX_16;
}

void peak_suppressor_configure(PeakSuppressorContext* ctx, const TuningSlots& slots) {
  for (int b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) {
    const int offset_slot =
        b < 8 ? SLOT_SUPPRESSOR_LOW_BAND_OFFSET : SLOT_SUPPRESSOR_HIGH_BAND_OFFSET;
    ctx->band_threshold[b] =
        wrap_add(slots[SLOT_SUPPRESSOR_BAND_THRESHOLD + b], slots[offset_slot]);
  }
  ctx->mark1_gain = slots[SLOT_SUPPRESSOR_MARK1_GAIN];
  ctx->mark2_gain = slots[SLOT_SUPPRESSOR_MARK2_GAIN];
  ctx->peak_level_min = slots[SLOT_SUPPRESSOR_PEAK_LEVEL_MIN];
  ctx->hold_max = slots[SLOT_SUPPRESSOR_HOLD_MAX];
  ctx->rest1_gain = SUPPRESSOR_REST_GAIN;
  ctx->rest2_gain = SUPPRESSOR_REST_GAIN;
  ctx->lsf_gap_max = SUPPRESSOR_LSF_GAP_MAX;
  ctx->first_call = 1;
}

void start_half(PeakSuppressorContext* ctx) {
  if (ctx->first_call == 1) {
    ctx->gain.fill(MAX_16);
    ctx->history.fill(0);
    ctx->overlap.fill(0);
  }
}

void clear_analysis(PeakSuppressorContext* ctx) {
  ctx->lpc.fill(0);
  ctx->lsp.fill(0);
  ctx->lsf.fill(0);
  ctx->lsf_gap.fill(0);
  ctx->peak_bin.fill(0);
}

int peak_suppressor_process_with(PeakSuppressorContext* ctx, SuppressorHalf half) {
  return stage_process(ctx, [half](PeakSuppressorContext& stage) {
    if (stage.header.frame_length != 2 * SUPPRESSOR_HALF) return 0;
    int16_t* x = stage.header.output;
    half(&stage, x, stage.diagnostics);
    half(&stage, x + SUPPRESSOR_HALF, stage.diagnostics);
    return 0;
  });
}

int peak_suppressor_process(PeakSuppressorContext* ctx) {
  return peak_suppressor_process_with(ctx, &peak_suppressor_process_half);
}

int16_t energy_level_saturating(int32_t x) {
  // log10(x / 2^31) in Q26 (9864 is log10(2) in Q15), moved to log10(x / 16) by log10(2^27).
  const int32_t t = L_add(Mpy_32_16(Log2_poly(x), 9864), 545448088);
  // Scaled by 10270 / 32768 * 1024 / 12, rounded with 6 in the upper half; 2731 is 1/12 in Q15.
  int32_t u = L_mult(extract_h(t), 10270);
  if (u < 0) u = 0;
  u = L_add(u, 393216);
  return extract_h(L_mult(extract_h(u), 2731));
}

namespace {

// energy_level(x) for x > 0, with the logarithm and the scalings in plain 32-bit arithmetic; no
// operator of energy_level_saturating reaches its limits here (ranges over every x > 0):
// - Log2_poly: e = norm_l(x) lies in [0, 30] and x << e is exact, so its upper half m lies in
//   [16384, 32767]; mult_r(m, m) <= 32766; 2 m 32709 < 2^31; their sum
//   2 m 32709 - 2 mult_r(m, m) 11050 lies in [890765312, 1419423006] and its difference with
//   1422917632 in [-532152320, -3494626]; shl(-(e + 1), 10) lies in [-31744, -1024], so the
//   logarithm -(e + 1) 2^26 + f (0 <= f < 2^26) lies in [-31 2^26, -1].
// - Mpy_32_16 of that with 9864: hi in [-31744, -1], |2 hi 9864| < 2^30, the low part below
//   2^15; adding 545448088 gives t in [-80797544, 545448087].
// - extract_h(t) lies in [-1233, 8322]; 2 (t >> 16) 10270, 393216 more, and the last product
//   with 2731 all stay below 2^28.
int16_t energy_level_positive(int32_t x) {
  const int e = std::countl_zero(static_cast<uint32_t>(x)) - 1;  // norm_l(x) for x > 0
  const int32_t m = static_cast<int32_t>(static_cast<uint32_t>(x) << e) >> 16;
  const int32_t m2 = (m * m + 16384) >> 15;
  const int32_t y = 2 * m * 32709 + 2 * m2 * (-11050) - 1422917632;
  const int32_t log2 = -(e + 1) * 1024 * 65536 + ((y >> 3) & 0x3ffffff);  // Q26
  const int32_t hi = log2 >> 16;
  const int32_t lo = (log2 >> 1) - hi * 32768;
  const int32_t t = 2 * hi * 9864 + ((2 * lo * 9864) >> 15) + 545448088;
  int32_t u = 2 * (t >> 16) * 10270;
  u = u < 0 ? 0 : u;
  u += 393216;
  return static_cast<int16_t>((2 * (u >> 16) * 2731) >> 16);
}

}  // namespace

int16_t energy_level(int32_t x) {
  if (x <= 0) return energy_level_saturating(x);
  return energy_level_positive(x);
}

// L_shl(L_add(L_mult(re, re), L_mult(im, im)), shift) from u = re^2 + im^2 (at most 2^31, exact
// in 32 unsigned bits). L_add(L_mult(re, re), L_mult(im, im)) is min(2 u, MAX_32): each L_mult is
// 2 re^2 except MAX_32 for -32768, and any sum reaching 2^31 saturates to MAX_32 either way.
// For shift >= 0, L_shl of that saturates exactly when u > MAX_32 >> (shift + 1) (then the
// doubled value exceeds MAX_32 >> shift, or is MAX_32 itself), and is u << (shift + 1) otherwise.
// For shift < 0 it is the arithmetic shift right of min(2 u, MAX_32). The pair of bin k is
// (re[step k], im[step k]).
void bin_powers_of(PeakSuppressorContext* ctx, const int16_t* re, const int16_t* im, int step,
                   int16_t s1) {
  const int shift = static_cast<int16_t>(2 * (4 - s1));  // wraps as the operators' does
  if (shift >= 0) {
    // From a shift of 30 on, every non-zero u saturates (limit 0) and u = 0 stays 0.
    const int up = shift >= 30 ? 0 : shift + 1;
    const uint32_t limit = shift >= 30 ? 0 : static_cast<uint32_t>(MAX_32) >> up;
    for (int k = 0; k < SUPPRESSOR_BINS; ++k) {
      const int32_t r = re[step * k];
      const int32_t i = im[step * k];
      const auto u = static_cast<uint32_t>(r * r) + static_cast<uint32_t>(i * i);
      ctx->power[k] = u > limit ? MAX_32 : static_cast<int32_t>(u << up);
    }
  } else {
    const int right = -shift > 31 ? 31 : -shift;
    for (int k = 0; k < SUPPRESSOR_BINS; ++k) {
      const int32_t r = re[step * k];
      const int32_t i = im[step * k];
      const auto u = static_cast<uint32_t>(r * r) + static_cast<uint32_t>(i * i);
      const int32_t doubled = u >= (uint32_t{1} << 30) ? MAX_32 : static_cast<int32_t>(2 * u);
      ctx->power[k] = doubled >> right;
    }
  }
}

// The four quarters of bins k - 1 .. k + 2 are each at most MAX_32 >> 2, so their sum stays below
// 2^31 and the saturating L_add chain is the plain sum.
void average_powers(PeakSuppressorContext* ctx) {
  for (int k : {0, 1, 2, SUPPRESSOR_BINS - 2, SUPPRESSOR_BINS - 1}) {
    ctx->power_avg[k] = ctx->power[k];
  }
  for (int k = 3; k <= SUPPRESSOR_BINS - 3; ++k) {
    ctx->power_avg[k] = (ctx->power[k - 1] >> 2) + (ctx->power[k] >> 2) + (ctx->power[k + 1] >> 2) +
                        (ctx->power[k + 2] >> 2);
  }
}

}  // namespace halvern
