// DSP functions built on the basic operators: division, double-precision products, the
// reciprocal-based 32-bit division and the linear congruential generator.
#pragma once

#include <cstdint>

#include "fixedpoint/basic_ops.h"
#include "fixedpoint/diagnostics.h"

namespace halvern {

// Q15 quotient num / den for 0 <= num <= den, den > 0 (32767 when num == den).
// Throws ArithmeticFault with "Division Error var1=%d  var2=%d\n" when num > den or either is
// negative, and with "Division by 0, Fatal error \n" when den is 0.
int16_t div_s(int16_t num, int16_t den);

// L * n / 32768 with L in double-precision format (hi, lo); the low product is shifted after the
// doubling of L_mult, which keeps one more bit than the published variant.
constexpr int32_t Mpy_32_16(int32_t L, int16_t n) {
  int16_t hi = 0;
  int16_t lo = 0;
  L_Extract(L, &hi, &lo);
  return L_add(L_mult(hi, n), L_mult(lo, n) >> 15);
}

// Q31 x Q31 -> Q31 product in double-precision format, including the lo1 * lo2 term.
constexpr int32_t Mpy_32(int32_t L1, int32_t L2) {
  int16_t hi1 = 0, lo1 = 0, hi2 = 0, lo2 = 0;
  L_Extract(L1, &hi1, &lo1);
  L_Extract(L2, &hi2, &lo2);
  int32_t t = (int32_t{lo1} * lo2) >> 15;
  t = L_add(t, int32_t{hi1} * lo2);
  t = L_add(int32_t{hi2} * lo1, t);
  return L_add(t >> 14, L_mult(hi1, hi2));
}

// The message L_divide reports for an invalid input.
inline constexpr const char* L_DIVIDE_INVALID_INPUT = "ERROR: Invalid input into L_divide!\n";

// Q31 quotient num / den for 0 <= num <= den, by Newton refinement of a 16-bit reciprocal; den
// must be normalised (upper half at least 16383) or div_s throws. Invalid input (a negative
// argument or num > den) reports "ERROR: Invalid input into L_divide!\n" to diag and gives 0.
int32_t L_divide(int32_t num, int32_t den, Diagnostics* diag);

// Advances the seed: seed = 31821 * seed + 13849 modulo 65536, read as signed. Returns it.
constexpr int16_t Random(int16_t* seed) {
  *seed = extract_l(L_add(L_shr(L_mult(*seed, 31821), 1), 13849));
  return *seed;
}

}  // namespace halvern
