#include "stages/equalizer/equalizer.h"

#include <algorithm>

#include "dsp/gain_tables.h"
#include "fixedpoint/basic_ops.h"
#include "tuning/slot_catalogue.h"

namespace halvern {

void equalizer_reset(EqualizerContext* ctx) {
  *ctx = EqualizerContext{};
  stage_header_reset(&ctx->header, 0);
  ctx->taps[EQ_TAPS / 2] = EQ_PASS_TAP_Q15;
  ctx->compander = compander_block_defaults();
  ctx->limiter = PeakLimiter{0, LIMITER_INITIAL_GAIN_Q15, 0, 0, 0, 2048};
  ctx->delay_index = 0;
  ctx->delay_length = EQ_DELAY_LENGTH;
  ctx->final_gain_q11 = 0;
}

void equalizer_configure(EqualizerContext* ctx, const TuningSlots& slots) {
  // Taps: symmetric, so the filter has linear phase; an all-zero setting passes the signal.
  constexpr int half = EQ_TAPS / 2;
  for (int k = 0; k < half; ++k) {
    const int16_t v = slots[static_cast<size_t>(EQ_FIRST_TAP_SLOT + k)];
    ctx->taps[static_cast<size_t>(k)] = v;
    ctx->taps[static_cast<size_t>(EQ_TAPS - 1 - k)] = v;
  }
  ctx->taps[half] = slots[EQ_CENTRE_TAP_SLOT];
  if (std::all_of(ctx->taps.begin(), ctx->taps.end(), [](int16_t t) { return t == 0; })) {
    ctx->taps[half] = EQ_PASS_TAP_Q15;
  }

  // Compander: thresholds in dB below full scale, ratios x 10 reduced to k = ratio / 5.
  CompanderBlock& c = ctx->compander;
  c.comp_threshold =
      static_cast<int16_t>(-128 * slot_clamped(slots, slot_index("eqc_comp_threshold")));
  c.exp_threshold =
      static_cast<int16_t>(-128 * slot_clamped(slots, slot_index("eqc_exp_threshold")));
  c.comp_slope = comp_slope_q11(slot_clamped(slots, slot_index("eqc_comp_ratio")) / 5);
  c.exp_slope = exp_slope_q11(slot_clamped(slots, slot_index("eqc_exp_ratio")) / 5);

  // Ramp: weight i is floor(32767 (i + 1) / m + 0.5) for m = n/2, the last one 32767; formed as
  // floor((2 x 32767 (i + 1) + m) / (2m)), exact in 32 bits for m <= 320.
  const int m = std::min<int>(ctx->header.frame_length / 2, FRAME_CAPACITY / 2);
  for (int i = 0; i < m; ++i) {
    ctx->ramp[static_cast<size_t>(i)] =
        static_cast<int16_t>((2 * int32_t{MAX_16} * (i + 1) + m) / (2 * m));
  }

  ctx->final_gain_q11 = half_db_gain_q11(slots[slot_index("eq_output_gain")]);

  // Limiter: threshold 0 to -20 dB in half-decibel steps.
  ctx->limiter.slope = LIMITER_SLOPE_Q15;
  ctx->limiter.offset_db = 0;
  ctx->limiter.threshold =
      static_cast<int16_t>(-64 * (slot_clamped(slots, slot_index("limiter_threshold")) / 5));
  ctx->limiter.out_gain = 2048;
}

int16_t equalizer_compander_reciprocal(int n) {
  if (n == 320) return 102;
  if (n == 640) return 51;
  return 204;
}

void fir_chain_saturating(const int16_t* in, const int16_t* taps, int16_t* out, int n) {
  for (int k = 0; k < n; ++k) {
    int32_t acc = 0;
    for (int j = 0; j < EQ_TAPS; ++j) acc = L_mac(acc, in[k + j], taps[j]);
    out[k] = round_fx(L_shl(acc, 1));
  }
}

namespace {

// Outputs handled together: the input window is copied once per chunk, and the exactness check
// is made per group.
constexpr int FIR_CHUNK = 320;
constexpr int FIR_GROUP = 32;
// Taps padded to a multiple of the vector width with a zero tap, and the outputs of one pass of
// the dot-product kernel.
constexpr int FIR_PADDED = 64;
constexpr int FIR_ROWS = 4;
// Room of the chunk's input copy: the window, the padded tap and whole groups of rows.
constexpr int FIR_WINDOW = FIR_CHUNK + FIR_PADDED + FIR_ROWS;
// Groups with more outputs than this that may saturate take the column-wise chain.
constexpr int FIR_MAX_SINGLE_CHAINS = 4;

// dot[k] = sum over j < 64 of x[k + j] h[j] for k < count, summed modulo 2^32 (exact whenever the
// true sum fits 32 bits). Reads x[0 .. count + 65]. Four outputs at a time share the taps, and
// each output's sum is one the compiler forms from paired products.
void fir_dots(const int16_t* x, const int16_t* h, uint32_t* dot, int count) {
  for (int k = 0; k < count; k += FIR_ROWS) {
    uint32_t acc[FIR_ROWS] = {};
    for (int j = 0; j < FIR_PADDED; ++j) {
      const int32_t t = h[j];
      for (int l = 0; l < FIR_ROWS; ++l) acc[l] += static_cast<uint32_t>(t * x[k + l + j]);
    }
    for (int l = 0; l < FIR_ROWS; ++l) dot[k + l] = acc[l];
  }
}

// The saturating chain for the outputs [k0, k0 + count), one tap at a time across all of them:
// each output still sees its terms in the order j = 0..62, saturating after each. A zero tap adds
// 0 and changes nothing. h x is exact in 32 bits and twice it too for every tap but -32768,
// which keeps L_mult's special case.
void fir_columns(const int16_t* x, const int16_t* taps, int16_t* out, int count) {
  int32_t acc[FIR_GROUP] = {};
  for (int j = 0; j < EQ_TAPS; ++j) {
    const int16_t h = taps[j];
    const int16_t* xj = x + j;
    if (h == 0) continue;
    if (h == MIN_16) {
      for (int k = 0; k < count; ++k) acc[k] = L_mac(acc[k], xj[k], h);
      continue;
    }
    for (int k = 0; k < count; ++k) {
      const int32_t p = int32_t{h} * xj[k];
      acc[k] = lane_add_saturating(acc[k], p + p);
    }
  }
  for (int k = 0; k < count; ++k) out[k] = round_fx(L_shl(acc[k], 1));
}

// ceil(|v| / 16), 0..2048: a coarse magnitude, with |v| <= 16 ceil(|v| / 16).
inline int16_t coarse_magnitude(int16_t v) {
  const int32_t m = v < 0 ? -int32_t{v} : v;
  return static_cast<int16_t>((m + 15) >> 4);
}

void fir_chain_chunk(const int16_t* in, const int16_t* taps, int16_t* out, int n) {
  // Exactness: the chain adds the terms L_mult(x[k + j], h[j]) = 2 x h one by one, saturating
  // after each. Every partial sum of output k is at most 2 P_k in magnitude, with
  // P_k = sum over j of |h[j]| |x[k + j]|. When 2 P_k <= MAX_32 nothing saturates (not even
  // L_mult's -32768 x -32768 case, which alone makes P_k = 2^30), so the chain is the exact
  // dot product D_k, summed in any order, and the output round_fx(L_shl(2 D_k, 1)) is
  // sat16((D_k + 8192) >> 14): |D_k| < 2^30, so 4 D_k is formed without saturation when it fits
  // and saturates to the same end when it does not, exactly as for q11_gain.
  // Two bounds on P_k: S M, with S the sum of the taps' magnitudes and M the largest input
  // magnitude of the output's group; and, when that fails, 256 Q_k, where Q_k is the same
  // sum over the coarse magnitudes ceil(|v| / 16) of taps and inputs (at most 63 x 2048^2, so
  // exact in 32 bits). Outputs passing neither take the chain itself.
  int16_t x[FIR_WINDOW];
  int16_t h[FIR_PADDED] = {};
  int16_t hc[FIR_PADDED] = {};
  int64_t tap_sum = 0;
  for (int j = 0; j < EQ_TAPS; ++j) {
    h[j] = taps[j];
    hc[j] = coarse_magnitude(taps[j]);
    tap_sum += taps[j] < 0 ? -int32_t{taps[j]} : taps[j];
  }
  const int window = n + EQ_HISTORY;
  std::copy(in, in + window, x);
  std::fill(x + window, x + FIR_WINDOW, int16_t{0});

  bool coarse_ready = false;
  int16_t xc[FIR_WINDOW];
  for (int k0 = 0; k0 < n; k0 += FIR_GROUP) {
    const int count = std::min(FIR_GROUP, n - k0);
    const int16_t* xg = x + k0;
    int16_t top = 0;
    int16_t bottom = 0;
    for (int i = 0; i < count + EQ_HISTORY; ++i) {
      top = std::max(top, xg[i]);
      bottom = std::min(bottom, xg[i]);
    }
    const int64_t peak = std::max(int32_t{top}, -int32_t{bottom});
    uint32_t dot[FIR_GROUP + FIR_ROWS];
    fir_dots(xg, h, dot, count);
    // Rounded for every output; those whose sum may have wrapped are done again below (the
    // rounding constant is added modulo 2^32 so that a wrapped sum cannot overflow).
    for (int k = 0; k < count; ++k) {
      const int32_t r = static_cast<int32_t>(dot[k] + 8192u) >> 14;
      out[k0 + k] = static_cast<int16_t>(std::clamp(r, -32768, 32767));
    }
    if (2 * tap_sum * peak <= MAX_32) continue;
    if (!coarse_ready) {
      for (int i = 0; i < FIR_WINDOW; ++i) xc[i] = coarse_magnitude(x[i]);
      coarse_ready = true;
    }
    uint32_t bound[FIR_GROUP + FIR_ROWS];
    fir_dots(xc + k0, hc, bound, count);
    // 2 P_k <= 2 x 256 Q_k <= MAX_32 holds exactly when Q_k <= MAX_32 >> 9.
    constexpr uint32_t bound_limit = static_cast<uint32_t>(MAX_32) >> 9;
    int risky = 0;
    for (int k = 0; k < count; ++k) risky += bound[k] > bound_limit ? 1 : 0;
    if (risky == 0) continue;
    if (risky > FIR_MAX_SINGLE_CHAINS) {
      fir_columns(xg, taps, out + k0, count);
      continue;
    }
    for (int k = 0; k < count; ++k) {
      if (bound[k] > bound_limit) fir_chain_saturating(xg + k, taps, out + k0 + k, 1);
    }
  }
}

}  // namespace

void fir_chain(const int16_t* in, const int16_t* taps, int16_t* out, int n) {
  // Each output depends on its own 63 inputs only, so chunks of outputs are independent.
  for (int start = 0; start < n; start += FIR_CHUNK) {
    fir_chain_chunk(in + start, taps, out + start, std::min(FIR_CHUNK, n - start));
  }
}

void equalizer_fir(EqualizerContext* ctx, int16_t* x, int n, const EqualizerForms& forms) {
  auto& h = ctx->history;
  std::copy(x, x + n, h.begin() + EQ_HISTORY);
  forms.fir_chain(h.data(), ctx->taps.data(), x, n);
  // Keep the last 62 input samples; the ranges overlap when n < 62, and the copy runs forward.
  std::copy(h.begin() + n, h.begin() + n + EQ_HISTORY, h.begin());
}

void equalizer_compander(EqualizerContext* ctx, int16_t* x, int n, const EqualizerForms& forms) {
  CompanderBlock& c = ctx->compander;
  const int16_t measured = forms.level_gain.frame_level_db(x, n, MeanRule::kReciprocal,
                                                           equalizer_compander_reciprocal(n));
  const int16_t level = smooth_level(measured, c.level, c.level_attack, c.level_release);

  int16_t d = 0;  // gain in dB Q7: 0 between the thresholds
  if (level > c.comp_threshold) {
    d = sub(add(curve_segment(c.comp_threshold, c.comp_slope, level), c.offset_db), c.offset_db);
  } else if (level <= c.exp_threshold) {
    d = sub(add(curve_segment(c.exp_threshold, c.exp_slope, level), c.offset_db), c.offset_db);
  }

  const int16_t g1 = smooth_gain(gain_from_db(d), c.gain, c.gain_attack, c.gain_release);
  forms.level_gain.apply_ramped_gain(x, n, g1, c.gain, ctx->ramp.data(), n / 2, &c.out_gain);
  c.level = level;
  c.gain = g1;
}

int equalizer_process_with(EqualizerContext* ctx, const EqualizerForms& forms) {
  return stage_process(ctx, [&forms](EqualizerContext& stage) {
    const int n = stage.header.frame_length;
    if (n <= 0 || n > FRAME_CAPACITY) return -1;
    int16_t* x = stage.header.output;

    equalizer_fir(&stage, x, n, forms);
    equalizer_compander(&stage, x, n, forms);
    forms.peak_limit(x, n, &stage.limiter, stage.delay.data(), &stage.delay_index,
                     stage.delay_length);
    apply_q11_gain(x, n, stage.final_gain_q11);
    return 0;
  });
}

int equalizer_process(EqualizerContext* ctx) { return equalizer_process_with(ctx, EQUALIZER_FAST); }

}  // namespace halvern
