#include "dsp/level_gain.h"

#include <algorithm>
#include <cstdint>

#include "fixedpoint/basic_ops.h"
#include "fixedpoint/dsp_ops.h"
#include "fixedpoint/log_pow.h"

namespace halvern {

namespace {

// 10 log10(2) / 4 in Q15: a Q9 base-2 logarithm of a power times this is dB in Q7.
constexpr int16_t LOG2_TO_DB_Q15 = 24660;
constexpr int16_t THREE_DB_Q7 = 384;
// 1/20 in Q15: dB to a base-10 logarithm.
constexpr int16_t DB_TO_LOG10_Q15 = 1638;
// log2(10) / 4 in Q15: a base-10 logarithm to a quarter of a base-2 logarithm.
constexpr int16_t LOG10_TO_LOG2_Q15 = 27213;

}  // namespace

CompanderBlock compander_block_defaults() {
  CompanderBlock b{};
  b.level_attack = 29789;
  b.level_release = 21845;
  b.gain_attack = 29789;
  b.gain_release = 21845;
  b.comp_threshold = -1664;  // -13 dB
  b.exp_threshold = -7680;   // -60 dB
  b.comp_slope = 1807;       // ratio 8.5
  b.exp_slope = -6144;       // ratio 4
  b.offset_db = 0;
  b.out_gain = 2048;
  b.level = 0;
  b.gain = 0;
  return b;
}

int16_t comp_slope_q11(int k) {
  k = std::clamp(k, 2, 20);
  return static_cast<int16_t>((2048 * k - 4096) / k);  // non-negative, so the division floors
}

int16_t exp_slope_q11(int k) {
  k = std::clamp(k, 2, 20);
  return static_cast<int16_t>(2048 - 1024 * k);
}

int16_t level_from_energy(int32_t acc, int s, int n, MeanRule rule, int16_t rho) {
  acc = L_shl(acc, 1);
  const auto k = static_cast<int16_t>(s - 1);

  int32_t mean = 0;
  if (rule == MeanRule::kDivideByLength) {
    const auto len = static_cast<int16_t>(n);
    const int16_t m = norm_s(len);
    const int16_t r = div_s(16383, shl(len, m));  // Q(29 - m) reciprocal of n
    const int64_t product = int64_t{acc} * r;     // needs more than 32 bits
    mean = static_cast<int32_t>((product >> 15) >> (14 - m));
  } else {
    mean = Mpy_32_16(acc, rho);
  }

  int16_t e = 0;
  int16_t f = 0;
  Log2(mean, &e, &f);
  const int16_t log2_q9 = add(shl(sub(add(k, e), 30), 9), shr(f, 6));
  return sub(mult(log2_q9, LOG2_TO_DB_Q15), THREE_DB_Q7);
}

namespace {

// Samples summed at once before the running sum is checked against the halving limit.
constexpr int ENERGY_CHUNK = 16;

// L_mult(v, v) >> 1: v^2, except 2^30 - 1 for v = -32768 (L_mult gives MAX_32 there).
inline uint32_t half_square(int16_t v) {
  const auto sq = static_cast<uint32_t>(int32_t{v} * v);
  return sq < 0x40000000u ? sq : 0x3fffffffu;
}

}  // namespace

int16_t frame_level_db(const int16_t* x, int n, MeanRule rule, int16_t rho) {
  // The straightforward form (frame_level_db_reference) adds p = L_mult(v, v) >> min(s, 31) for s
  // >= 1. With h = L_mult(v, v) >> 1 (half_square) this is h >> (min(s, 31) - 1): for v != -32768,
  // L_mult is 2 v^2 and the shift takes one bit off exactly; for v = -32768 it is 2^31 - 1, and as
  // that is odd, (2^31 - 1) >> t = (2^31 - 2) >> t for t >= 1. Every p is at most 2^30 - 1 and acc
  // stays at most 2^30 between samples, so L_add never saturates and acc only grows until it passes
  // the limit. Hence while s holds, a chunk whose terms added to acc stay at or below the limit
  // changes acc by their plain sum, whatever the order of summation (formed in 64 bits); only a
  // chunk that passes the limit is summed sample by sample, halving where it does.
  uint32_t acc = 0;
  int s = 1;
  int i = 0;
  while (i < n) {
    const int len = std::min(ENERGY_CHUNK, n - i);
    const int shift = std::min(s, 31) - 1;
    uint64_t sum = 0;
    for (int j = 0; j < len; ++j) sum += half_square(x[i + j]) >> shift;
    if (acc + sum <= static_cast<uint64_t>(FRAME_ENERGY_LIMIT)) {
      acc += static_cast<uint32_t>(sum);
      i += len;
      continue;
    }
    for (const int end = i + len; i < end; ++i) {
      acc += half_square(x[i]) >> (std::min(s, 31) - 1);
      if (acc > static_cast<uint32_t>(FRAME_ENERGY_LIMIT)) {
        acc >>= 1;
        ++s;
      }
    }
  }
  return level_from_energy(static_cast<int32_t>(acc), s, n, rule, rho);
}

int16_t smooth_q15(int16_t target, int16_t state, int16_t c) {
  return round_fx(L_mac(L_mult(target, c), sub(MAX_16, c), state));
}

int16_t smooth_level(int16_t new_level, int16_t stored, int16_t attack, int16_t release) {
  return smooth_q15(new_level, stored, new_level > stored ? attack : release);
}

int16_t smooth_gain(int16_t new_gain, int16_t stored, int16_t attack, int16_t release) {
  return smooth_q15(new_gain, stored, new_gain < stored ? attack : release);
}

int32_t db_to_gain_q31(int16_t d) {
  const int16_t t = mult(d, DB_TO_LOG10_Q15);     // base-10 logarithm, Q7
  int32_t a = L_shl(L_deposit_h(t), 3);           // Q26
  a = L_shl(Mpy_32_16(a, LOG10_TO_LOG2_Q15), 2);  // base-2 logarithm, Q26
  return Pow2(a);
}

int16_t gain_from_db(int16_t d) {
  if (d == 0) return MAX_16;
  return round_fx(db_to_gain_q31(d));
}

int16_t curve_segment(int16_t threshold, int16_t slope, int16_t level) {
  return round_fx(L_shl(L_mult(sub(threshold, level), slope), 4));
}

void apply_ramped_gain_saturating(int16_t* x, int n, int16_t g1, int16_t g0, const int16_t* w,
                                  int m, const int16_t* out_gain) {
  m = std::clamp(m, 0, n);
  for (int i = 0; i < n; ++i) {
    int16_t y = 0;
    if (i < m) {
      const int16_t g = round_fx(L_mac(L_mult(w[i], g1), sub(MAX_16, w[i]), g0));
      y = mult_r(g, x[i]);
    } else {
      y = mult_r(x[i], g1);
    }
    if (out_gain != nullptr) y = round_fx(L_shl(L_mult(*out_gain, y), 4));
    x[i] = y;
  }
}

void apply_ramped_gain(int16_t* x, int n, int16_t g1, int16_t g0, const int16_t* w, int m,
                       const int16_t* out_gain) {
  m = std::clamp(m, 0, n);
  bool weights_non_negative = true;
  for (int i = 0; i < m; ++i) weights_non_negative &= w[i] >= 0;
  if (!weights_non_negative) {
    apply_ramped_gain_saturating(x, n, g1, g0, w, m, out_gain);
    return;
  }
  // For 0 <= w <= 32767: sub(32767, w) = 32767 - w, L_mult(w, g1) = 2 w g1 (its special case
  // needs w = -32768), and |w g1 + (32767 - w) g0| <= 32767 x 32768, so twice that plus the
  // rounding constant stays below 2^31: L_mac and round_fx neither saturate, and the ramp gain is
  // (2 (w g1 + (32767 - w) g0) + 32768) >> 16, within 16 bits. mult_r is q15_product_r, and the
  // output factor is q11_gain (see level_gain.h).
  for (int i = 0; i < m; ++i) {
    const int32_t mix = int32_t{w[i]} * g1 + int32_t{MAX_16 - w[i]} * g0;
    const auto g = static_cast<int16_t>((2 * mix + 32768) >> 16);
    x[i] = q15_product_r(g, x[i]);
  }
  for (int i = m; i < n; ++i) x[i] = q15_product_r(x[i], g1);
  if (out_gain != nullptr) apply_q11_gain(x, n, *out_gain);
}

// q11_gain: round_fx(L_shl(L_mult(x, g), 4)) = sat16((x g + 1024) >> 11) for every 16-bit x and
// g. x g is exact in 32 bits; when 32 x g lies within 32 bits the chain rounds
// (32 x g + 32768) >> 16 = (x g + 1024) >> 11 and saturates only where that passes 16 bits; when
// it does not (|x g| >= 2^26, including -32768 x -32768, where L_mult gives MAX_32), both sides
// saturate to the same end.
// q15_product_r: mult_r(x, g) = sat16((x g + 16384) >> 15), and only -32768 x -32768 leaves 16
// bits (32768), and only upward, so one bound suffices.
void apply_q11_gain(int16_t* x, int n, int16_t g) {
  if (g == 2048) return;  // q11_gain(x, 2048) = (2048 x + 1024) >> 11 = x
  for (int i = 0; i < n; ++i) x[i] = q11_gain(x[i], g);
}

}  // namespace halvern
