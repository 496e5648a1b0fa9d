// DSP functions built on the basic operators: division, double-precision products, the
// reciprocal-based 32-bit division and the linear congruential generator.
#pragma once

#include <cstdint>

#include "fixedpoint/basic_ops.h"
#include "fixedpoint/diagnostics.h"

namespace halvern {

// Q15 quotient num / den for 0 <= num <= den, den > 0 (32767 when num == den), by fifteen
// shift-and-subtract steps. Throws ArithmeticFault with "Division Error var1=%d  var2=%d\n" when
// num > den or either is negative, and with "Division by 0, Fatal error \n" when den is 0.
int16_t div_s_by_steps(int16_t num, int16_t den);

// div_s_by_steps in closed form. For 0 <= num < den the fifteen steps form the bits of
// num 2^15 / den one by one (the remainder stays below den, so no step saturates): the result is
// the truncated quotient (num 32768) / den. num == den and every invalid input take the steps
// themselves, with their fault.
inline int16_t div_s(int16_t num, int16_t den) {
  if (num >= 0 && num < den) return static_cast<int16_t>((int32_t{num} * 32768) / den);
  return div_s_by_steps(num, den);
}

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
// The saturating operator steps one by one.
int32_t L_divide_saturating(int32_t num, int32_t den, Diagnostics* diag);

// L_divide_saturating for 0 <= num <= den with den in [2^30, 2^31) (a normalised denominator), in
// plain 32-bit arithmetic (dsp_ops.cpp shows that it gives the same bits); the preconditions are
// asserted. The seed may be formed apart (L_divide_seed), for instance for many divisions at once.
int32_t L_divide_seed(int32_t den);
int32_t L_divide_seeded(int32_t num, int32_t den, int32_t seed);
int32_t L_divide_normalised(int32_t num, int32_t den);

// L_divide_saturating, in closed form where the denominator is normalised.
inline int32_t L_divide(int32_t num, int32_t den, Diagnostics* diag) {
  if (num >= 0 && num <= den && den >= (int32_t{1} << 30)) return L_divide_normalised(num, den);
  return L_divide_saturating(num, den, diag);
}

// x * (c_hi * 32768 + c_lo) / 2^30 from the upper 16 bits of the normalised x; 0 for x = 0.
constexpr int32_t Mpy_norm_32(int32_t x, int16_t c_hi, int16_t c_lo) {
  const int16_t n = norm_l(x);
  const int16_t h = extract_h(L_shl(x, n));
  const int32_t p = L_add(L_mult(h, c_hi), L_shr(L_mult(h, c_lo), 15));
  return L_shr(p, n);
}

// Mpy_norm_32 for a 16-bit x: a Q15 x gives the product in Q31.
constexpr int32_t Mpy_norm_16(int16_t x, int16_t c_hi, int16_t c_lo) {
  const int16_t n = norm_s(x);
  const int16_t h = shl(x, n);
  const int32_t p = L_add(L_mult(h, c_hi), L_shr(L_mult(h, c_lo), 15));
  return L_shr(p, n);
}

// Advances the seed: seed = 31821 * seed + 13849 modulo 65536, read as signed. Returns it.
constexpr int16_t Random(int16_t* seed) {
  *seed = extract_l(L_add(L_shr(L_mult(*seed, 31821), 1), 13849));
  return *seed;
}

}  // namespace halvern
