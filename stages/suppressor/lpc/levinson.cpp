#include <array>
#include <utility>

#include "fixedpoint/basic_ops.h"
#include "fixedpoint/dsp_ops.h"
#include "stages/suppressor/lpc/lpc.h"

namespace halvern {
namespace {

inline constexpr int32_t ONE_Q26 = 67108864;
// 1 - 2^-12 in Q26: the largest reflection coefficient the recursion accepts.
inline constexpr int32_t K_LIMIT_Q26 = 67092480;

// u * v >> 26 from the exact 64-bit product, kept to its low 32 bits.
int32_t mul26(int32_t u, int32_t v) { return static_cast<int32_t>((int64_t{u} * v) >> 26); }

// u + v and u - v in 32 bits, wrapping on overflow.
int32_t add_wrap(int32_t u, int32_t v) {
  return static_cast<int32_t>(static_cast<uint32_t>(u) + static_cast<uint32_t>(v));
}
int32_t sub_wrap(int32_t u, int32_t v) {
  return static_cast<int32_t>(static_cast<uint32_t>(u) - static_cast<uint32_t>(v));
}

void trivial_predictor(int16_t* a) {
  a[0] = 4096;
  for (int j = 1; j <= LPC_ORDER; ++j) a[j] = 0;
}

}  // namespace

void levinson_durbin_reference(int16_t* a, const int32_t* r, Diagnostics* diag) {
  std::array<int32_t, LPC_ORDER + 1> A{};  // Q26, A[0] = 1.0
  std::array<int32_t, LPC_ORDER + 1> next{};
  A[0] = ONE_Q26;

  // Order 1. The quotient is never negative, so the negation cannot overflow.
  int32_t k = L_divide(L_abs(r[1]), r[0], diag);  // Q31
  if (r[1] >= 0) k = -k;
  k >>= 5;  // Q26
  A[1] = k;
  int32_t alpha = add_wrap(r[0], mul26(k, r[1]));

  for (int i = 2; i <= LPC_ORDER; ++i) {
    int32_t t = 0;
    for (int j = 1; j <= i; ++j) t = add_wrap(t, mul26(r[j], A[i - j]));

    const int16_t n = norm_l(alpha);
    const auto alpha_norm = static_cast<int32_t>(static_cast<uint32_t>(alpha) << n);
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
    k = t >= 0 ? sub_wrap(0, q) : q;  // -t / alpha in Q26

    // Wrapping difference: beyond 1 - 2^-12, or below -31.0 where it wraps to a positive value.
    if (sub_wrap(k, K_LIMIT_Q26) > 0) {
      trivial_predictor(a);
      return;
    }

    for (int j = 1; j < i; ++j) next[j] = add_wrap(A[j], mul26(k, A[i - j]));
    next[i] = k;
    alpha = add_wrap(alpha, mul26(t, k));
    for (int j = 1; j <= i; ++j) A[j] = next[j];
  }

  // Q26 to Q12 without saturation: a coefficient of 8.0 or more wraps around.
  for (int j = 0; j <= LPC_ORDER; ++j) a[j] = static_cast<int16_t>(A[j] >> 14);
}

namespace {

// Order I of the fast recursion (I = 2..10), with the loops over j at a fixed length so that they
// unroll into plain scalar code: the same operations in the same order as the reference's
// order I. Returns false when the recursion becomes unstable (a holds the trivial predictor).
template <int I>
inline bool levinson_order(std::array<int32_t, LPC_ORDER + 1>& A, int32_t& alpha, const int32_t* r,
                           int16_t* a, Diagnostics* diag) {
  int32_t t = 0;
  for (int j = 1; j <= I; ++j) t = add_wrap(t, mul26(r[j], A[I - j]));

  const int16_t n = norm_l(alpha);
  const auto alpha_norm = static_cast<int32_t>(static_cast<uint32_t>(alpha) << n);
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

  std::array<int32_t, LPC_ORDER + 1> next = A;
  for (int j = 1; j < I; ++j) next[j] = add_wrap(A[j], mul26(k, A[I - j]));
  next[I] = k;
  alpha = add_wrap(alpha, mul26(t, k));
  A = next;
  return true;
}


// The recursion above with the divisions of L_divide, which gives L_divide's results and
// messages for every input, and each order written out; between() runs after each order the
// recursion completes.
template <typename Between>
void levinson_durbin_with(int16_t* a, const int32_t* r, Diagnostics* diag, Between&& between) {
  std::array<int32_t, LPC_ORDER + 1> A{};  // Q26, A[0] = 1.0
  A[0] = ONE_Q26;

  // Order 1. The quotient is never negative, so the negation cannot overflow.
  int32_t k = L_divide(L_abs(r[1]), r[0], diag);  // Q31
  if (r[1] >= 0) k = -k;
  k >>= 5;  // Q26
  A[1] = k;
  int32_t alpha = add_wrap(r[0], mul26(k, r[1]));
  between();

  const bool stable = [&]<int... I>(std::integer_sequence<int, I...>) {
    return ((levinson_order<I + 2>(A, alpha, r, a, diag) && (between(), true)) && ...);
  }(std::make_integer_sequence<int, LPC_ORDER - 1>{});
  if (!stable) return;

  // Q26 to Q12 without saturation: a coefficient of 8.0 or more wraps around.
  for (int j = 0; j <= LPC_ORDER; ++j) a[j] = static_cast<int16_t>(A[j] >> 14);
}

}  // namespace

void levinson_durbin(int16_t* a, const int32_t* r, Diagnostics* diag) {
  levinson_durbin_with(a, r, diag, [] {});
}

void levinson_durbin_interleaved(int16_t* a, const int32_t* r, Diagnostics* diag,
                                 void (*between)(void*), void* context) {
  levinson_durbin_with(a, r, diag, [&] { between(context); });
}

}  // namespace halvern
