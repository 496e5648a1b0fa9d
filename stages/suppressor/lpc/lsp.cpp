#include <array>

#include "fixedpoint/basic_ops.h"
#include "fixedpoint/dsp_ops.h"
#include "stages/suppressor/lpc/lpc.h"

namespace halvern {
namespace {

inline constexpr int GRID_INTERVALS = 60;
inline constexpr int BISECTIONS = 4;

using Polynomial = std::array<int16_t, 6>;  // Q10, entry 0 = 1.0

// The secant through (xlow, ylow) and (xhigh, yhigh): the cosine at which it crosses zero.
int16_t secant_root(int16_t xlow, int16_t ylow, int16_t xhigh, int16_t yhigh) {
  const int16_t dx = sub(xhigh, xlow);
  int16_t dy = sub(yhigh, ylow);
  if (dy == 0) return xlow;
  const int16_t sign = dy;
  dy = abs_s(dy);
  const int16_t e = norm_s(dy);
  dy = shl(dy, e);
  int16_t q = div_s(16383, dy);                                       // 0.5 / dy, normalised
  q = extract_l(L_shr(L_mult(dx, q), static_cast<int16_t>(20 - e)));  // dx / dy in Q10
  if (sign < 0) q = negate(q);
  return sub(xlow, extract_l(L_shr(L_mult(ylow, q), 11)));
}

}  // namespace

int16_t chebyshev_value(int16_t x, const int16_t* f) {
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

void lpc_to_lsp(const int16_t* a, int16_t* lsp, const int16_t* fallback) {
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
  const Polynomial* current = &f1;
  int16_t xlow = LSP_GRID[0];
  int16_t ylow = chebyshev_value(xlow, current->data());
  int j = 0;
  while (nf < LPC_ORDER && j < GRID_INTERVALS) {
    ++j;
    int16_t xhigh = xlow;
    int16_t yhigh = ylow;
    xlow = LSP_GRID[j];
    ylow = chebyshev_value(xlow, current->data());
    if (L_mult(ylow, yhigh) > 0) continue;

    for (int b = 0; b < BISECTIONS; ++b) {
      const int16_t xmid = add(shr(xhigh, 1), shr(xlow, 1));
      const int16_t ymid = chebyshev_value(xmid, current->data());
      if (L_mult(ylow, ymid) <= 0) {
        xhigh = xmid;
        yhigh = ymid;
      } else {
        xlow = xmid;
        ylow = ymid;
      }
    }

    const int16_t xint = secant_root(xlow, ylow, xhigh, yhigh);
    roots[nf] = xint;
    ++nf;
    // The next bracket starts at the root just found, in the other polynomial.
    xlow = xint;
    current = current == &f1 ? &f2 : &f1;
    ylow = chebyshev_value(xlow, current->data());
  }

  for (int i = 0; i < LPC_ORDER; ++i) lsp[i] = nf < LPC_ORDER ? fallback[i] : roots[i];
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
