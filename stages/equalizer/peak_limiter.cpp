#include "stages/equalizer/peak_limiter.h"

#include <cstddef>

#include "fixedpoint/basic_ops.h"
#include "stages/dynamics/level_gain.h"

namespace halvern {

int32_t limiter_envelope_step(int16_t a, int16_t* envelope) {
  const int16_t c = a > *envelope ? LIMITER_ATTACK_Q15 : LIMITER_RELEASE_Q15;
  const int32_t E = L_mac(L_mult(a, c), static_cast<int16_t>(MAX_16 - c), *envelope);
  *envelope = extract_h(E);
  return E;
}

int16_t limiter_level_db(int32_t E) {
  if (E == 0) return LIMITER_SILENCE_DB_Q7;
  const int16_t s = norm_l(E);
  const int32_t M = L_shl(E, s);
  // M lies in [2^30, 2^31) for E > 0, so k = M >> 24 is 64..127 and its low six bits are k - 64.
  const auto k = static_cast<std::size_t>((M >> 24) & 63);
  const int16_t L = add(shl(negate(s), 9), LIMITER_LOG2_MANTISSA_Q9[k]);
  // |L| <= 31 x 512, so twice the product stays within 16 bits.
  return static_cast<int16_t>(2 * mult(L, 24660));  // 24660 = 10 log10(2) / 4, Q15
}

int16_t limiter_gain(int16_t level, int16_t T, int16_t slope) {
  if (level <= T) return MAX_16;
  const int16_t t = extract_h(L_mult(sub(T, level), slope));  // truncated, not rounded
  if (t == 0) return MAX_16;
  return extract_h(db_to_gain_q31(t));
}

void peak_limit(int16_t* x, int n, PeakLimiter* limiter, int16_t* delay, int16_t* delay_index,
                int16_t delay_length) {
  // The threshold less the offset, as a wrapping 16-bit difference (the offset is always 0).
  const auto T = static_cast<int16_t>(limiter->threshold - limiter->offset_db);
  int idx = *delay_index;
  for (int i = 0; i < n; ++i) {
    delay[idx] = x[i];  // written before the read below, so the delay is delay_length - 1
    const int32_t E = limiter_envelope_step(abs_s(x[i]), &limiter->envelope);
    const int16_t g = limiter_gain(limiter_level_db(E), T, limiter->slope);
    limiter->gain = static_cast<int16_t>((limiter->gain + g) >> 1);
    const int j = idx < delay_length - 1 ? idx + 1 : 0;
    const int16_t y = extract_h(L_mult(delay[j], limiter->gain));
    x[i] = round_fx(L_shl(L_mult(y, limiter->out_gain), 4));
    idx = j;
  }
  *delay_index = static_cast<int16_t>(idx);
}

}  // namespace halvern
