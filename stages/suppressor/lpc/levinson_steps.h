// The steps of the Levinson-Durbin recursion, shared by its fast form (levinson.cpp, each order
// written out) and its straightforward form (lpc_reference.cpp, a loop over the orders).
#pragma once

#include <array>
#include <cstdint>

#include "fixedpoint/basic_ops.h"
#include "fixedpoint/dsp_ops.h"
#include "stages/suppressor/lpc/lpc.h"

namespace halvern::levinson {

inline constexpr int32_t ONE_Q26 = 67108864;
// 1 - 2^-12 in Q26: the largest reflection coefficient the recursion accepts.
inline constexpr int32_t K_LIMIT_Q26 = 67092480;

// u * v >> 26 from the exact 64-bit product, kept to its low 32 bits.
inline int32_t mul26(int32_t u, int32_t v) { return static_cast<int32_t>((int64_t{u} * v) >> 26); }

// u + v and u - v in 32 bits, wrapping on overflow.
inline int32_t add_wrap(int32_t u, int32_t v) {
  return static_cast<int32_t>(static_cast<uint32_t>(u) + static_cast<uint32_t>(v));
}
inline int32_t sub_wrap(int32_t u, int32_t v) {
  return static_cast<int32_t>(static_cast<uint32_t>(u) - static_cast<uint32_t>(v));
}

// The predictor A in Q26 (A[0] = 1.0) and the prediction error alpha.
struct State {
  std::array<int32_t, LPC_ORDER + 1> A;
  int32_t alpha;
};

// Order 1 from r[0..1]. The quotient is never negative, so the negation cannot overflow.
inline State first_order(const int32_t* r, Diagnostics* diag) {
  State s{};
  s.A[0] = ONE_Q26;
  int32_t k = L_divide(L_abs(r[1]), r[0], diag);  // Q31
  if (r[1] >= 0) k = -k;
  k >>= 5;  // Q26
  s.A[1] = k;
  s.alpha = add_wrap(r[0], mul26(k, r[1]));
  return s;
}

// The trivial predictor, a[0] = 1.0 in Q12 and the rest 0.
inline void trivial_predictor(int16_t* a) {
  a[0] = 4096;
  for (int j = 1; j <= LPC_ORDER; ++j) a[j] = 0;
}

// Order i (2..10). Returns false when the recursion becomes unstable; a then holds the trivial
// predictor. Inlined always, so that a caller with a constant i gets loops of fixed length.
[[gnu::always_inline]] inline bool order(int i, State& s, const int32_t* r, int16_t* a,
                                         Diagnostics* diag) {
  int32_t t = 0;
  for (int j = 1; j <= i; ++j) t = add_wrap(t, mul26(r[j], s.A[i - j]));

  const int16_t n = norm_l(s.alpha);
  const auto alpha_norm = static_cast<int32_t>(static_cast<uint32_t>(s.alpha) << n);
  // Q31, or 0 after a reported failure. An error of exactly 0 is refused here the same way:
  // L_divide would pass the zero denominator on to div_s, which ends the whole run.
  int32_t q = 0;
  if (alpha_norm == 0) {
    diagnostics_report(diag, L_DIVIDE_INVALID_INPUT);
  } else {
    q = L_divide(L_abs(t), alpha_norm, diag);
  }
  if (5 - n < 0) {
    q = L_shl(q, static_cast<int16_t>(n - 5));
  } else {
    q >>= 5 - n;
  }
  const int32_t k = t >= 0 ? sub_wrap(0, q) : q;  // -t / alpha in Q26

  // Wrapping difference: beyond 1 - 2^-12, or below -31.0 where it wraps to a positive value.
  if (sub_wrap(k, K_LIMIT_Q26) > 0) {
    trivial_predictor(a);
    return false;
  }

  std::array<int32_t, LPC_ORDER + 1> next = s.A;
  for (int j = 1; j < i; ++j) next[j] = add_wrap(s.A[j], mul26(k, s.A[i - j]));
  next[i] = k;
  s.alpha = add_wrap(s.alpha, mul26(t, k));
  s.A = next;
  return true;
}

// Q26 to Q12 without saturation: a coefficient of 8.0 or more wraps around.
inline void to_q12(const State& s, int16_t* a) {
  for (int j = 0; j <= LPC_ORDER; ++j) a[j] = static_cast<int16_t>(s.A[j] >> 14);
}

}  // namespace halvern::levinson
