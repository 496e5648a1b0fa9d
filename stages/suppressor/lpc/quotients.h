// Fast forms of the two divisions the suppressor and its linear prediction use: div_s and
// L_divide. They give the same results, messages and faults as the library operators for every
// input; only the arithmetic differs.
#pragma once

#include <cstdint>

#include "fixedpoint/basic_ops.h"
#include "fixedpoint/diagnostics.h"
#include "fixedpoint/dsp_ops.h"

namespace halvern {

// div_s(num, den). For 0 <= num < den the operator's fifteen shift-and-subtract steps form the
// quotient bits of num * 2^15 / den one by one (the remainder stays below den, so no step
// saturates): the result is the truncated quotient (num * 32768) / den. num == den gives 32767;
// every other input goes to div_s itself, which raises its fault.
inline int16_t div_s_fast(int16_t num, int16_t den) {
  if (num >= 0 && num < den) return static_cast<int16_t>((int32_t{num} * 32768) / den);
  return div_s(num, den);
}

// L_divide(num, den, diag) with div_s_fast for its reciprocal seed; the same steps otherwise.
inline int32_t L_divide_fast(int32_t num, int32_t den, Diagnostics* diag) {
  if (num < 0 || den < 0 || num > den) {
    diagnostics_report(diag, L_DIVIDE_INVALID_INPUT);
    return 0;
  }
  const int16_t approx = div_s_fast(16383, extract_h(den));  // 1/den in Q14
  int32_t t = Mpy_32_16(den, approx);
  t = L_sub(MAX_32, t);
  const int32_t inv = Mpy_32_16(t, approx);  // 1/den in Q29
  const int32_t q = Mpy_32(num, inv);
  return L_shl(q, 2);
}

// L_divide(num, den) for 0 <= num <= den with den in [2^30, 2^31) (a normalised denominator), in
// plain 32-bit arithmetic (L_divide_seeded, with its seed from L_divide_seed); no operator of
// L_divide saturates on the way, except the last shift:
// - a = div_s(16383, dh) = floor(16383 2^15 / dh) for dh = den >> 16 in [16384, 32767].
// - Mpy_32_16(den, a) = 2 dh a + ((2 dl a) >> 15) (dl = bits 1..15 of den) is at most
//   2 16383 2^15 + 65532 < 2^30, so t = MAX_32 minus it lies in [2^30, 2^31).
// - inv = Mpy_32_16(t, a) is at most t a / 2^15 <= (2^31 - 2 dh a) a / 2^15 <= 2^44 / dh <= 2^30
//   (the bound over a is largest at a = 2^29 / dh).
// - Mpy_32(num, inv): the parts of num lie below 2^15, those of inv at most 2^14, so the cross
//   sum stays below 2^31 and the result q is at most num inv / 2^31 < 2^30.
// - L_shl(q, 2) is 4 q, or MAX_32 when q > MAX_32 / 4.
// The seed of L_divide_normalised: div_s(16383, den >> 16), a division that the callers may do
// apart from the rest.
constexpr int32_t L_divide_seed(int32_t den) { return (16383 * 32768) / (den >> 16); }

// L_divide_normalised with its seed a = L_divide_seed(den) given.
constexpr int32_t L_divide_seeded(int32_t num, int32_t den, int32_t a) {
  const int32_t dh = den >> 16;
  const int32_t dl = (den >> 1) & 0x7fff;
  const int32_t t = MAX_32 - (2 * dh * a + ((2 * dl * a) >> 15));
  const int32_t th = t >> 16;
  const int32_t tl = (t >> 1) & 0x7fff;
  const int32_t inv = 2 * th * a + ((2 * tl * a) >> 15);
  const int32_t nh = num >> 16;
  const int32_t nl = (num >> 1) & 0x7fff;
  const int32_t ih = inv >> 16;
  const int32_t il = (inv >> 1) & 0x7fff;
  const int32_t cross = ((nl * il) >> 15) + nh * il + ih * nl;
  const int32_t q = (cross >> 14) + 2 * nh * ih;
  return q > (MAX_32 >> 2) ? MAX_32 : 4 * q;
}

inline int32_t L_divide_normalised(int32_t num, int32_t den) {
  return L_divide_seeded(num, den, L_divide_seed(den));
}

// L_divide_fast(num, den, diag), with L_divide_normalised where it applies.
inline int32_t L_divide_quick(int32_t num, int32_t den, Diagnostics* diag) {
  if (num >= 0 && num <= den && den >= (int32_t{1} << 30)) return L_divide_normalised(num, den);
  return L_divide_fast(num, den, diag);
}

}  // namespace halvern
