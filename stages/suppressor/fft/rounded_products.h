// Rounded and floored sums and differences of two 16-bit products, (a c +- b d + 16384) >> 15
// and (a c +- b d) >> 15, formed in 16-bit arithmetic so that the transform's loops run on 16-bit
// lanes.
#pragma once

#include <cstdint>

namespace halvern {

// (a c - b d + 16384) >> 15 and (a c + b d + 16384) >> 15 modulo 2^16, in 16-bit lanes (exact
// wherever the result fits 16 bits, as it does where rotate uses them). With
// X + 16384 = 2^15 P + e (P = (X + 16384) >> 15, e its low 15 bits) for X = a c and likewise
// Y + 16384 = 2^15 Q + g for Y = b d:
// - X - Y + 16384 = 2^15 (P - Q) + (e - g + 16384), and e - g + 16384 lies in
//   [-16383, 49151], so the result is P - Q plus 1 when e - g >= 16384 and minus 1 when
//   e - g < -16384;
// - X + Y + 16384 = 2^15 (P + Q) + (e + g - 16384), and e + g - 16384 lies in
//   [-16384, 49150], so the result is P + Q plus 1 when e + g >= 49152 and minus 1 when
//   e + g < 16384.
// P is the rounded high product ((X >> 14) + 1) >> 1 (a floor of a floor by powers of two is one
// floor), and e = (X + 16384) & 32767 depends only on the low 16 bits of X, which the product of
// the unsigned 16-bit patterns gives modulo 2^16; all sums are taken modulo 2^16.
// The low 16 bits of a c, from the unsigned 16-bit patterns (their product modulo 2^16).
constexpr uint16_t low_product(int16_t a, int16_t c) {
  return static_cast<uint16_t>(uint32_t{static_cast<uint16_t>(a)} * static_cast<uint16_t>(c));
}

constexpr int16_t rounded_high(int16_t a, int16_t c) {
  return static_cast<int16_t>((((int32_t{a} * c) >> 14) + 1) >> 1);
}
constexpr uint16_t rounded_low(int16_t a, int16_t c) {
  return static_cast<uint16_t>(static_cast<uint16_t>(low_product(a, c) + 16384u) & 0x7fffu);
}
constexpr int16_t rounded_difference(int16_t a, int16_t c, int16_t b, int16_t d) {
  const auto delta = static_cast<int16_t>(rounded_low(a, c) - rounded_low(b, d));
  const auto up = static_cast<int16_t>(delta > 16383 ? 1 : 0);
  const auto down = static_cast<int16_t>(delta < -16384 ? 1 : 0);
  return static_cast<int16_t>(rounded_high(a, c) - rounded_high(b, d) + up - down);
}
constexpr int16_t rounded_sum(int16_t a, int16_t c, int16_t b, int16_t d) {
  const auto total = static_cast<uint16_t>(rounded_low(a, c) + rounded_low(b, d));
  const auto up = static_cast<int16_t>(total >= 49152u ? 1 : 0);
  const auto down = static_cast<int16_t>(total < 16384u ? 1 : 0);
  return static_cast<int16_t>(rounded_high(a, c) + rounded_high(b, d) + up - down);
}

// (a c) >> 15 modulo 2^16 and the low 15 bits of a c, from the high and low halves of the product:
// a c = 65536 hi + lo with lo the unsigned low half, so (a c) >> 15 = 2 hi + (lo >> 15).
constexpr int16_t floored_high(int16_t a, int16_t c) {
  const auto hi = static_cast<int16_t>((int32_t{a} * c) >> 16);
  return static_cast<int16_t>(2 * hi + (low_product(a, c) >> 15));
}
constexpr int16_t floored_low(int16_t a, int16_t c) {
  return static_cast<int16_t>(low_product(a, c) & 0x7fffu);
}

// (a c + b d) >> 15 and (a c - b d) >> 15 modulo 2^16 (exact wherever the result fits 16 bits).
// With X = 2^15 F + L for X = a c (F = X >> 15, 0 <= L < 2^15) and Y = 2^15 G + M for Y = b d:
// X + Y = 2^15 (F + G) + (L + M) with L + M < 2^16, one more when L + M >= 2^15; X - Y =
// 2^15 (F - G) + (L - M) with |L - M| < 2^15, one less when L < M.
constexpr int16_t floored_sum(int16_t a, int16_t c, int16_t b, int16_t d) {
  const int carry = floored_low(a, c) + floored_low(b, d) >= 32768 ? 1 : 0;
  return static_cast<int16_t>(floored_high(a, c) + floored_high(b, d) + carry);
}
constexpr int16_t floored_difference(int16_t a, int16_t c, int16_t b, int16_t d) {
  const int borrow = floored_low(a, c) < floored_low(b, d) ? 1 : 0;
  return static_cast<int16_t>(floored_high(a, c) - floored_high(b, d) - borrow);
}

// 1 when the low 15 bits of a c + b d (sum) or a c - b d are not all zero: (-h) >> 15 is then
// -(h >> 15) - 1, and -(h >> 15) otherwise (h = 2^15 F + L gives -h = 2^15 (-F - 1) + 2^15 - L).
constexpr int16_t floored_inexact(int16_t a, int16_t c, int16_t b, int16_t d, bool sum) {
  const int low =
      sum ? floored_low(a, c) + floored_low(b, d) : floored_low(a, c) - floored_low(b, d);
  return static_cast<int16_t>((low & 0x7fff) != 0 ? 1 : 0);
}

}  // namespace halvern
