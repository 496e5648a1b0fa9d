#include <array>

#include "fixedpoint/basic_ops.h"
#include "fixedpoint/dsp_ops.h"
#include "stages/suppressor/lpc/lpc.h"
#include "stages/suppressor/lpc/quotients.h"

namespace halvern {
namespace {

inline constexpr int GRID_INTERVALS = 60;
inline constexpr int BISECTIONS = 4;

using Polynomial = std::array<int16_t, 6>;  // Q10, entry 0 = 1.0

// The secant through (xlow, ylow) and (xhigh, yhigh): the cosine at which it crosses zero.
// Fast selects div_s_fast for div_s (the same quotient; dy is normalised into [16384, 32767]).
template <bool Fast>
int16_t secant_root(int16_t xlow, int16_t ylow, int16_t xhigh, int16_t yhigh) {
  const int16_t dx = sub(xhigh, xlow);
  int16_t dy = sub(yhigh, ylow);
  if (dy == 0) return xlow;
  const int16_t sign = dy;
  dy = abs_s(dy);
  const int16_t e = norm_s(dy);
  dy = shl(dy, e);
  int16_t q = Fast ? div_s_fast(16383, dy) : div_s(16383, dy);       // 0.5 / dy, normalised
  q = extract_l(L_shr(L_mult(dx, q), static_cast<int16_t>(20 - e)));  // dx / dy in Q10
  if (sign < 0) q = negate(q);
  return sub(xlow, extract_l(L_shr(L_mult(ylow, q), 11)));
}

// L_mult(a, b) > 0: the doubled product, or MAX_32 for -32768 x -32768, is positive exactly
// when a and b are both non-zero with the same sign.
constexpr bool same_sign(int16_t a, int16_t b) { return (a > 0 && b > 0) || (a < 0 && b < 0); }

template <bool Fast>
bool positive_product(int16_t a, int16_t b) {
  return Fast ? same_sign(a, b) : L_mult(a, b) > 0;
}

}  // namespace

int16_t chebyshev_value_reference(int16_t x, const int16_t* f) {
  // The recurrence values b1, b2 are in double-precision format (hi, lo) on a Q24 scale.
  int16_t b1_hi = 0;
  int16_t b1_lo = 0;
  int32_t t = L_add(L_mult(f[1], 8192), L_mult(x, 512));  // 2x + f[1]
  L_Extract(t, &b1_hi, &b1_lo);
  int16_t b2_hi = 256;  // 1.0
  int16_t b2_lo = 0;

  for (int i = 2; i <= 4; ++i) {
    t = L_mac(L_mult(b1_hi, x), mult(b1_lo, x), 1);  // b1 * x
    t = L_shl(t, 1);
    t = L_mac(t, b2_hi, -32768);  // - b2
    t = L_msu(t, b2_lo, 1);
    t = L_mac(t, f[i], 8192);
    b2_hi = b1_hi;
    b2_lo = b1_lo;
    L_Extract(t, &b1_hi, &b1_lo);
  }

  t = L_mac(L_mult(x, b1_hi), mult(b1_lo, x), 1);  // b1 * x, not doubled
  t = L_mac(t, b2_hi, -32768);
  t = L_msu(t, b2_lo, 1);
  t = L_mac(t, f[5], 4096);  // + f[5] / 2
  return extract_h(L_shl(t, 6));
}

// The recurrence of chebyshev_value_reference in plain 64-bit arithmetic, while no step can
// saturate. A recurrence value held as (hi, lo) stands for V = 65536 hi + 2 lo, which is the
// 32-bit sum t it was extracted from with bit 0 cleared. Its product with x as the reference forms
// it, L_mac(L_mult(hi, x), mult(lo, x), 1) = 2 (hi x + ((lo x) >> 15)), is 2 ((V x) >> 16):
// mult(lo, x) never saturates (0 <= lo < 32768), and (V x) >> 16 = hi x + floor(2 lo x / 65536).
// A step then forms, in this order, that product, doubled, - 65536 hi2 - 2 lo2 = - V2, and
// + 16384 f[i]; the last one the product undoubled, - V2 and + 8192 f[5].
// With |hi1|, |hi2| <= 8191 and |f[i]| <= 8191 every partial sum stays below the sum of the
// terms' magnitudes, 2^30 (4 hi1 x + 4 m) + 2^29 + 2^18 + 2^27 < 2^31, so none of L_mac, L_shl,
// L_msu saturates, and L_mult's -32768 x -32768 case would need hi = -32768. The start
// 16384 f[1] + 1024 x never saturates. The result extract_h(L_shl(t, 6)) is sat16(t >> 10): when
// 64 t fits it is (64 t) >> 16, and when it does not, t >> 10 lies beyond the 16-bit range on the
// same side. The steps run without branches in 64 bits, where nothing overflows whatever the
// values; if any hi or f[i] lay beyond 8191, the reference evaluates instead.
namespace {

constexpr int64_t CHEBYSHEV_LIMIT = 8191;

// True when f[2..5] lie within +-8191, as chebyshev_core needs.
constexpr bool coefficients_within_limit(const int16_t* f) {
  for (int i = 2; i <= 5; ++i) {
    if (f[i] > CHEBYSHEV_LIMIT || f[i] < -CHEBYSHEV_LIMIT) return false;
  }
  return true;
}

// chebyshev_value for coefficients within the limit.
inline int16_t chebyshev_core(int16_t x, const int16_t* f) {
  // hi = V >> 16 lies within +-8191 exactly when V lies within [-8191 * 65536, 8192 * 65536).
  const auto beyond_hi = [](int64_t v) {
    return static_cast<uint64_t>(v + CHEBYSHEV_LIMIT * 65536) >=
           static_cast<uint64_t>((2 * CHEBYSHEV_LIMIT + 1) * 65536);
  };
  const int64_t xx = x;
  int64_t v1 = (16384 * int64_t{f[1]} + 1024 * xx) & ~int64_t{1};
  int64_t v2 = 256 * 65536;
  bool outside = beyond_hi(v1);
  for (int i = 2; i <= 4; ++i) {
    const int64_t t = 4 * ((v1 * xx) >> 16) - v2 + 16384 * int64_t{f[i]};
    v2 = v1;
    v1 = t & ~int64_t{1};
    outside = outside || beyond_hi(v1);
  }
  if (outside) return chebyshev_value_reference(x, f);
  const int64_t t = 2 * ((v1 * xx) >> 16) - v2 + 8192 * int64_t{f[5]};
  return sat16(static_cast<int32_t>(t >> 10));
}

}  // namespace

int16_t chebyshev_value(int16_t x, const int16_t* f) {
  return coefficients_within_limit(f) ? chebyshev_core(x, f) : chebyshev_value_reference(x, f);
}

namespace {

// A polynomial of the search with the way to evaluate it: the fast form checks the coefficients
// once per polynomial instead of once per point.
template <bool Fast>
struct Evaluator {
  const int16_t* f;
  bool within;

  explicit Evaluator(const int16_t* coefficients)
      : f(coefficients), within(coefficients_within_limit(coefficients)) {}

  int16_t operator()(int16_t x) const {
    if (!Fast) return chebyshev_value_reference(x, f);
    return within ? chebyshev_core(x, f) : chebyshev_value_reference(x, f);
  }
};

// The root search of lpc_to_lsp; Fast selects the fast forms of the evaluation, the sign test
// and the division, which give the same values.
template <bool Fast>
void lsp_search(const int16_t* a, int16_t* lsp, const int16_t* fallback) {
  // Sum (f1) and difference (f2) polynomials with their roots at z = -1 and z = +1 divided out,
  // symmetric halves in Q10.
  Polynomial f1{};
  Polynomial f2{};
  f1[0] = 1024;
  f2[0] = 1024;
  for (int i = 0; i < 5; ++i) {
    f1[i + 1] = sub(extract_h(L_add(L_mult(a[10 - i], 8192), L_mult(a[i + 1], 8192))), f1[i]);
    f2[i + 1] = add(extract_h(L_sub(L_mult(a[i + 1], 8192), L_mult(a[10 - i], 8192))), f2[i]);
  }

  // Scan the grid from the highest cosine down; the roots of f1 and f2 are sought in turn. The
  // roots are kept apart until the search is complete, so lsp may share storage with fallback.
  std::array<int16_t, LPC_ORDER> roots{};
  int nf = 0;
  const Evaluator<Fast> e1(f1.data());
  const Evaluator<Fast> e2(f2.data());
  const Evaluator<Fast>* current = &e1;
  int16_t xlow = LSP_GRID[0];
  int16_t ylow = (*current)(xlow);
  int j = 0;
  while (nf < LPC_ORDER && j < GRID_INTERVALS) {
    ++j;
    int16_t xhigh = xlow;
    int16_t yhigh = ylow;
    xlow = LSP_GRID[j];
    ylow = (*current)(xlow);
    if (positive_product<Fast>(ylow, yhigh)) continue;

    for (int b = 0; b < BISECTIONS; ++b) {
      const int16_t xmid = add(shr(xhigh, 1), shr(xlow, 1));
      const int16_t ymid = (*current)(xmid);
      if (!positive_product<Fast>(ylow, ymid)) {
        xhigh = xmid;
        yhigh = ymid;
      } else {
        xlow = xmid;
        ylow = ymid;
      }
    }

    const int16_t xint = secant_root<Fast>(xlow, ylow, xhigh, yhigh);
    roots[nf] = xint;
    ++nf;
    // The next bracket starts at the root just found, in the other polynomial.
    xlow = xint;
    current = current == &e1 ? &e2 : &e1;
    ylow = (*current)(xlow);
  }

  for (int i = 0; i < LPC_ORDER; ++i) lsp[i] = nf < LPC_ORDER ? fallback[i] : roots[i];
}

}  // namespace

void lpc_to_lsp(const int16_t* a, int16_t* lsp, const int16_t* fallback) {
  lsp_search<true>(a, lsp, fallback);
}

void lpc_to_lsp_reference(const int16_t* a, int16_t* lsp, const int16_t* fallback) {
  lsp_search<false>(a, lsp, fallback);
}

void lsp_to_lsf(const int16_t* lsp, int16_t* lsf) {
  // Piecewise-linear arc cosine; the table index only moves down, from the highest frequency on.
  int ind = 63;
  for (int i = LPC_ORDER - 1; i >= 0; --i) {
    while (sub(LSF_COS_TABLE[ind], lsp[i]) < 0) --ind;
    const int32_t step = L_mult(sub(lsp[i], LSF_COS_TABLE[ind]), LSF_SLOPE_TABLE[ind]);
    lsf[i] = add(round_fx(L_shl(step, 3)), shl(static_cast<int16_t>(ind), 8));
  }
}

}  // namespace halvern
