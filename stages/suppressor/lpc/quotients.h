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

}  // namespace halvern
