// Base-2 logarithm (table and polynomial forms) and base-2 power in fixed point.
#pragma once

#include <array>
#include <cstdint>

namespace halvern {

// tabLog[i] ~ log2(1 + i/32) in Q15 (within 2 units; the last entry is 32767).
inline constexpr std::array<int16_t, 33> tabLog = {
    0,     1455,  2866,  4236,  5568,  6863,  8124,  9352,  10549, 11716, 12855,
    13967, 15054, 16117, 17156, 18172, 19167, 20142, 21097, 22033, 22951, 23852,
    24735, 25603, 26455, 27291, 28113, 28922, 29716, 30497, 31266, 32023, 32767};

// log2(L) ~ exponent + fraction / 32768 by table interpolation; (0, 0) for L <= 0.
void Log2(int32_t L, int16_t* exponent, int16_t* fraction);

// log2(L / 2^31) in Q26 for L > 0, from a second-order polynomial of the normalised mantissa
// (up to about 0.009 above the exact logarithm).
int32_t Log2_poly(int32_t L);

// 2^(L / 2^26) in Q31 from the Q10 upper half of L, by a second-order polynomial. Exponents of 0
// or more are not shifted left: the result is then 2^(fraction - 1).
int32_t Pow2(int32_t L);

}  // namespace halvern
