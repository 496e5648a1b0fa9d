// Saturating fixed-point basic operators on signed 16-bit and 32-bit values.
//
// Names and semantics are those of the ITU-T basic operator set. Every operator is exact and free
// of undefined behaviour: sums and products are formed in a wider type and clamped, left shifts
// of signed values are written as multiplications, and every shift count (the whole 16-bit range,
// -32768 included) is accepted. Right shifts written >> on signed values are arithmetic.
#pragma once

#include <bit>
#include <cstdint>
#include <type_traits>

namespace halvern {

inline constexpr int16_t MAX_16 = 32767;
inline constexpr int16_t MIN_16 = -32768;
inline constexpr int32_t MAX_32 = 0x7fffffff;
inline constexpr int32_t MIN_32 = -MAX_32 - 1;

// Clamps x to [-32768, 32767].
constexpr int16_t sat16(int32_t x) {
  return x > MAX_16 ? MAX_16 : (x < MIN_16 ? MIN_16 : static_cast<int16_t>(x));
}

// Clamps x to [MIN_32, MAX_32].
constexpr int32_t sat32(int64_t x) {
  return x > MAX_32 ? MAX_32 : (x < MIN_32 ? MIN_32 : static_cast<int32_t>(x));
}

// sat16(a + b)
constexpr int16_t add(int16_t a, int16_t b) { return sat16(int32_t{a} + b); }

// sat16(a - b)
constexpr int16_t sub(int16_t a, int16_t b) { return sat16(int32_t{a} - b); }

// -a; -32768 gives 32767
constexpr int16_t negate(int16_t a) { return a == MIN_16 ? MAX_16 : static_cast<int16_t>(-a); }

// |a|; -32768 gives 32767
constexpr int16_t abs_s(int16_t a) {
  return a == MIN_16 ? MAX_16 : static_cast<int16_t>(a < 0 ? -a : a);
}

constexpr int16_t shr_n(int16_t a, int n);

// a * 2^n with saturation for n >= 0 (any non-zero a saturates for n > 15); shr(a, -n) for n < 0.
constexpr int16_t shl_n(int16_t a, int n) {
  if (n < 0) return shr_n(a, -n);
  if (a == 0) return 0;
  if (n > 15) return a > 0 ? MAX_16 : MIN_16;
  const int32_t r = int32_t{a} * (int32_t{1} << n);
  if (r > MAX_16 || r < MIN_16) return a > 0 ? MAX_16 : MIN_16;
  return static_cast<int16_t>(r);
}

// a >> n for n >= 0 (0 or -1 for n >= 15); shl(a, -n) for n < 0.
constexpr int16_t shr_n(int16_t a, int n) {
  if (n < 0) return shl_n(a, -n);
  if (n >= 15) return a < 0 ? -1 : 0;
  return static_cast<int16_t>(a >> n);
}

constexpr int16_t shl(int16_t a, int16_t n) { return shl_n(a, n); }
constexpr int16_t shr(int16_t a, int16_t n) { return shr_n(a, n); }

// Rounding right shift: 0 for n > 15; otherwise shr(a, n) plus bit n-1 of a when n > 0.
constexpr int16_t shr_r(int16_t a, int16_t n) {
  if (n > 15) return 0;
  int16_t r = shr_n(a, n);
  if (n > 0 && ((a >> (n - 1)) & 1) != 0) ++r;
  return r;
}

// sat16((a * b) >> 15)
constexpr int16_t mult(int16_t a, int16_t b) { return sat16((int32_t{a} * b) >> 15); }

// sat16((a * b + 16384) >> 15)
constexpr int16_t mult_r(int16_t a, int16_t b) { return sat16((int32_t{a} * b + 16384) >> 15); }

// Upper 16 bits of A.
constexpr int16_t extract_h(int32_t A) { return static_cast<int16_t>(A >> 16); }

// Lower 16 bits of A, as a signed value.
constexpr int16_t extract_l(int32_t A) { return static_cast<int16_t>(A); }

// 2 * a * b; -32768 * -32768 gives MAX_32.
constexpr int32_t L_mult(int16_t a, int16_t b) {
  const int32_t p = int32_t{a} * b;
  return p == 0x40000000 ? MAX_32 : p * 2;
}

// sat32(A + B)
constexpr int32_t L_add(int32_t A, int32_t B) { return sat32(int64_t{A} + B); }

// sat32(A - B)
constexpr int32_t L_sub(int32_t A, int32_t B) { return sat32(int64_t{A} - B); }

// L_add(A, L_mult(a, b))
constexpr int32_t L_mac(int32_t A, int16_t a, int16_t b) { return L_add(A, L_mult(a, b)); }

// L_sub(A, L_mult(a, b))
constexpr int32_t L_msu(int32_t A, int16_t a, int16_t b) { return L_sub(A, L_mult(a, b)); }

// -A; MIN_32 gives MAX_32
constexpr int32_t L_negate(int32_t A) { return A == MIN_32 ? MAX_32 : -A; }

// |A|; MIN_32 gives MAX_32
constexpr int32_t L_abs(int32_t A) { return A == MIN_32 ? MAX_32 : (A < 0 ? -A : A); }

// a * 65536
constexpr int32_t L_deposit_h(int16_t a) { return int32_t{a} * 65536; }

// extract_h(L_add(A, 32768))
constexpr int16_t round_fx(int32_t A) { return extract_h(L_add(A, 32768)); }

constexpr int32_t L_shr_n(int32_t A, int n);

// A * 2^n saturated for n > 0 (doubling stops at the first overflow, which is the same as
// saturating the exact product); L_shr(A, -n) for n <= 0.
constexpr int32_t L_shl_n(int32_t A, int n) {
  if (n <= 0) return L_shr_n(A, -n);
  if (A == 0) return 0;
  if (n > 31) return A > 0 ? MAX_32 : MIN_32;
  return sat32(int64_t{A} * (int64_t{1} << n));
}

// A >> n for n >= 0 (0 or -1 for n >= 31); L_shl(A, -n) for n < 0.
constexpr int32_t L_shr_n(int32_t A, int n) {
  if (n < 0) return L_shl_n(A, -n);
  if (n >= 31) return A < 0 ? -1 : 0;
  return A >> n;
}

constexpr int32_t L_shl(int32_t A, int16_t n) { return L_shl_n(A, n); }
constexpr int32_t L_shr(int32_t A, int16_t n) { return L_shr_n(A, n); }

// Splits A into hi = extract_h(A) and lo = bits 1 to 15 of A, so that A ~ hi * 65536 + lo * 2.
constexpr void L_Extract(int32_t A, int16_t* hi, int16_t* lo) {
  *hi = extract_h(A);
  *lo = static_cast<int16_t>((A >> 1) - int32_t{*hi} * 32768);
}

// Left shifts that bring a into [16384, 32767] (or [-32768, -16385]); 0 for 0, 15 for -1.
constexpr int16_t norm_s(int16_t a) {
  if (a == 0) return 0;
  if (a == -1) return 15;
  const auto x = static_cast<uint16_t>(a < 0 ? ~a : a);
  return static_cast<int16_t>(std::countl_zero(x) - 1);
}

// Left shifts that bring A into [2^30, 2^31) (or the negative mirror); 0 for 0, 31 for -1.
constexpr int16_t norm_l(int32_t A) {
  if (A == 0) return 0;
  if (A == -1) return 31;
  const auto x = static_cast<uint32_t>(A < 0 ? ~A : A);
  return static_cast<int16_t>(std::countl_zero(x) - 1);
}

// add (T = int16_t) or L_add (T = int32_t) without a wider type, in a form the compiler
// vectorises in lanes of T: the sum wraps, and it overflowed exactly when a and b have the same
// sign and the wrapped sum the other one; the saturated value is then the largest T for a >= 0
// and the smallest for a < 0.
template <typename T>
constexpr T lane_add_saturating(T a, T b) {
  using U = std::make_unsigned_t<T>;
  constexpr int kSignBit = 8 * sizeof(T) - 1;
  const auto ua = static_cast<U>(a);
  const auto ub = static_cast<U>(b);
  const auto sum = static_cast<U>(ua + ub);
  const auto limit = static_cast<U>((ua >> kSignBit) + (static_cast<U>(-1) >> 1));
  const bool overflow = ((static_cast<U>((ua ^ sum) & (ub ^ sum))) >> kSignBit) != 0;
  return static_cast<T>(overflow ? limit : sum);
}

}  // namespace halvern
