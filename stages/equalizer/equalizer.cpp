#include "stages/equalizer/equalizer.h"

#include <algorithm>

#include "fixedpoint/basic_ops.h"
#include "stages/highpass/highpass.h"

namespace halvern {

void equalizer_reset(EqualizerContext* ctx) {
  *ctx = EqualizerContext{};
  stage_header_reset(&ctx->header, 0);
  ctx->taps[EQ_TAPS / 2] = EQ_PASS_TAP_Q15;
  ctx->compander = compander_block_defaults();
  ctx->limiter = PeakLimiter{0, LIMITER_INITIAL_GAIN_Q15, 0, 0, 0, 2048};
  ctx->delay_index = 0;
  ctx->delay_length = EQ_DELAY_LENGTH;
  ctx->final_gain = 0;
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
  c.comp_threshold = static_cast<int16_t>(-128 * std::clamp<int>(slots[54], 0, 54));
  c.exp_threshold = static_cast<int16_t>(-128 * std::clamp<int>(slots[56], 55, 90));
  c.comp_slope = comp_slope_q11(std::clamp<int>(slots[55], 10, 100) / 5);
  c.exp_slope = exp_slope_q11(std::clamp<int>(slots[57], 10, 100) / 5);

  // Ramp: weight i is floor(32767 (i + 1) / m + 0.5) for m = n/2, the last one 32767; formed as
  // floor((2 x 32767 (i + 1) + m) / (2m)), exact in 32 bits for m <= 320.
  const int m = std::min<int>(ctx->header.frame_length / 2, FRAME_CAPACITY / 2);
  for (int i = 0; i < m; ++i) {
    ctx->ramp[static_cast<size_t>(i)] =
        static_cast<int16_t>((2 * int32_t{MAX_16} * (i + 1) + m) / (2 * m));
  }

  ctx->final_gain = half_db_gain_q11(slots[58]);

  // Limiter: threshold 0 to -20 dB in half-decibel steps.
  ctx->limiter.slope = LIMITER_SLOPE_Q15;
  ctx->limiter.offset_db = 0;
  ctx->limiter.threshold = static_cast<int16_t>(-64 * (std::clamp<int>(slots[59], 0, 204) / 5));
  ctx->limiter.out_gain = 2048;
}

int16_t equalizer_compander_reciprocal(int n) {
  if (n == 320) return 102;
  if (n == 640) return 51;
  return 204;
}

void fir_chain_reference(const int16_t* in, const int16_t* taps, int16_t* out, int n) {
  for (int k = 0; k < n; ++k) {
    int32_t acc = 0;
    for (int j = 0; j < EQ_TAPS; ++j) acc = L_mac(acc, in[k + j], taps[j]);
    out[k] = round_fx(L_shl(acc, 1));
  }
}

namespace {

// sat32(a + b) without a wider type, in a form the compiler vectorises: the sum wraps, and it
// overflowed exactly when a and b have the same sign and the wrapped sum the other one; the
// saturated value is then MAX_32 for a >= 0 and MIN_32 for a < 0.
inline int32_t add_saturating(int32_t a, int32_t b) {
  const auto ua = static_cast<uint32_t>(a);
  const auto ub = static_cast<uint32_t>(b);
  const uint32_t sum = ua + ub;
  const uint32_t limit = (ua >> 31) + 0x7fffffffu;
  const bool overflow = (((ua ^ sum) & (ub ^ sum)) >> 31) != 0;
  return static_cast<int32_t>(overflow ? limit : sum);
}

}  // namespace

void fir_chain(const int16_t* in, const int16_t* taps, int16_t* out, int n) {
  // Bound: every partial sum of the chain is at most 2 S M in magnitude, with S the sum of the
  // taps' magnitudes and M the largest input magnitude. When 2 S M <= MAX_32 nothing can
  // saturate (not even L_mult's -32768 x -32768 case, which needs S and M of 32768 each), so
  // the chain is the exact dot product, summed in any order in 32 bits.
  int64_t tap_sum = 0;
  for (int j = 0; j < EQ_TAPS; ++j) tap_sum += taps[j] < 0 ? -int32_t{taps[j]} : taps[j];
  int32_t peak = 0;
  for (int i = 0; i < n + EQ_HISTORY; ++i) {
    const int32_t magnitude = in[i] < 0 ? -int32_t{in[i]} : in[i];
    peak = magnitude > peak ? magnitude : peak;
  }
  if (2 * tap_sum * peak <= MAX_32) {
    for (int k = 0; k < n; ++k) {
      int32_t dot = 0;
      for (int j = 0; j < EQ_TAPS; ++j) dot += int32_t{in[k + j]} * taps[j];
      out[k] = round_fx(L_shl(2 * dot, 1));
    }
    return;
  }

  // Otherwise the chain itself, one tap at a time across all outputs: each output still sees its
  // terms in the order j = 0..62, saturating after each. A zero tap adds 0 and changes nothing.
  // 2 h x is exact for every tap but -32768, which keeps L_mult's special case.
  int32_t acc[FRAME_CAPACITY] = {};
  for (int j = 0; j < EQ_TAPS; ++j) {
    const int16_t h = taps[j];
    const int16_t* x = in + j;
    if (h == 0) continue;
    if (h == MIN_16) {
      for (int k = 0; k < n; ++k) acc[k] = L_mac(acc[k], x[k], h);
      continue;
    }
    const int32_t twice = 2 * int32_t{h};
    for (int k = 0; k < n; ++k) acc[k] = add_saturating(acc[k], twice * x[k]);
  }
  for (int k = 0; k < n; ++k) out[k] = round_fx(L_shl(acc[k], 1));
}

void equalizer_fir(EqualizerContext* ctx, int16_t* x, int n) {
  auto& h = ctx->history;
  std::copy(x, x + n, h.begin() + EQ_HISTORY);
  fir_chain(h.data(), ctx->taps.data(), x, n);
  // Keep the last 62 input samples; the ranges overlap when n < 62, and the copy runs forward.
  std::copy(h.begin() + n, h.begin() + n + EQ_HISTORY, h.begin());
}

void equalizer_compander(EqualizerContext* ctx, int16_t* x, int n) {
  CompanderBlock& c = ctx->compander;
  const int16_t measured =
      frame_level_db(x, n, MeanRule::kReciprocal, equalizer_compander_reciprocal(n));
  const int16_t level = smooth_level(measured, c.level, c.level_attack, c.level_release);

  int16_t d = 0;  // gain in dB Q7: 0 between the thresholds
  if (level > c.comp_threshold) {
    d = sub(add(curve_segment(c.comp_threshold, c.comp_slope, level), c.offset_db), c.offset_db);
  } else if (level <= c.exp_threshold) {
    d = sub(add(curve_segment(c.exp_threshold, c.exp_slope, level), c.offset_db), c.offset_db);
  }

  const int16_t g1 = smooth_gain(gain_from_db(d), c.gain, c.gain_attack, c.gain_release);
  apply_ramped_gain(x, n, g1, c.gain, ctx->ramp.data(), n / 2, &c.out_gain);
  c.level = level;
  c.gain = g1;
}

int equalizer_process(EqualizerContext* ctx) {
  if (ctx == nullptr || !stage_copy_input(&ctx->header)) return -1;
  const int n = ctx->header.frame_length;
  if (n <= 0 || n > FRAME_CAPACITY) return -1;
  int16_t* x = ctx->header.output;

  equalizer_fir(ctx, x, n);
  equalizer_compander(ctx, x, n);
  peak_limit(x, n, &ctx->limiter, ctx->delay.data(), &ctx->delay_index, ctx->delay_length);
  for (int i = 0; i < n; ++i) x[i] = round_fx(L_shl(L_mult(x[i], ctx->final_gain), 4));
  return 0;
}

}  // namespace halvern
