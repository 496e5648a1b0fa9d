#include <algorithm>
#include <array>
#include <bit>

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

// Sum (f1) and difference (f2) polynomials of the predictor a[1..10] with their roots at z = -1
// and z = +1 divided out, symmetric halves in Q10.
void lsp_polynomials(const int16_t* a, Polynomial& f1, Polynomial& f2) {
  f1[0] = 1024;
  f2[0] = 1024;
  for (int i = 0; i < 5; ++i) {
    f1[i + 1] = sub(extract_h(L_add(L_mult(a[10 - i], 8192), L_mult(a[i + 1], 8192))), f1[i]);
    f2[i + 1] = add(extract_h(L_sub(L_mult(a[i + 1], 8192), L_mult(a[10 - i], 8192))), f2[i]);
  }
}

// L_mult(a, b) > 0: the doubled product, or MAX_32 for -32768 x -32768, is positive exactly
// when a and b are both non-zero with the same sign.
constexpr bool same_sign(int16_t a, int16_t b) { return (a > 0 && b > 0) || (a < 0 && b < 0); }

}  // namespace

int16_t chebyshev_value_saturating(int16_t x, const int16_t* f) {
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

// The recurrence of chebyshev_value_saturating in plain 64-bit arithmetic, while no step can
// saturate. A recurrence value held as (hi, lo) stands for V = 65536 hi + 2 lo, which is the 32-bit
// sum t it was extracted from with bit 0 cleared. Its product with x as the saturating form forms
// it, L_mac(L_mult(hi, x), mult(lo, x), 1) = 2 (hi x + ((lo x) >> 15)), is 2 ((V x) >> 16):
// mult(lo, x) never saturates (0 <= lo < 32768), and (V x) >> 16 = hi x + floor(2 lo x / 65536). A
// step then forms, in this order, that product, doubled, - 65536 hi2 - 2 lo2 = - V2, and + 16384
// f[i]; the last one the product undoubled, - V2 and + 8192 f[5]. With |hi1|, |hi2| <= 8191 and
// |f[i]| <= 8191 every partial sum stays below the sum of the terms' magnitudes, 2^30 (4 hi1 x + 4
// m) + 2^29 + 2^18 + 2^27 < 2^31, so none of L_mac, L_shl, L_msu saturates, and L_mult's -32768 x
// -32768 case would need hi = -32768. The start 16384 f[1] + 1024 x never saturates. The result
// extract_h(L_shl(t, 6)) is sat16(t >> 10): when 64 t fits it is (64 t) >> 16, and when it does
// not, t >> 10 lies beyond the 16-bit range on the same side. The steps run without branches in 64
// bits, where nothing overflows whatever the values; if any hi or f[i] lay beyond 8191, the
// saturating form evaluates instead.
namespace {

// chebyshev_value_saturating in 64-bit arithmetic, for any coefficients: every operator of the
// recurrence gives its exact value while that value lies in the 32-bit range (L_mult gives
// 2 a b except for -32768 x -32768, whose 2^31 is out of range; mult(lo, x) with
// 0 <= lo < 32768 never saturates; L_Extract's hi and lo are bits 16..31 and 1..15 of the sum).
// So while every partial sum of the saturating form stays in range, the exact sums are its
// sums; the first one out of range hands the point to the saturating form. The result is
// sat16(t >> 10) as in chebyshev_core. Recurrence values are held as (hi, lo).
int16_t chebyshev_checked(int16_t x, const int16_t* f) {
  const auto in_range = [](int64_t v) { return v >= MIN_32 && v <= MAX_32; };
  const int64_t xx = x;
  int64_t t = 16384 * int64_t{f[1]} + 1024 * xx;  // within 2^30
  int64_t h1 = t >> 16;
  int64_t l1 = (t >> 1) & 0x7fff;
  int64_t h2 = 256;
  int64_t l2 = 0;
  bool ok = true;
  for (int i = 2; i <= 5; ++i) {
    const int64_t product = 2 * h1 * xx;  // L_mult(hi, x)
    const int64_t p = product + 2 * ((l1 * xx) >> 15);
    t = i < 5 ? 2 * p : p;  // doubled by L_shl in the inner steps
    const int64_t minus_hi = t - 65536 * h2;
    const int64_t minus_lo = minus_hi - 2 * l2;
    t = minus_lo + (i < 5 ? 16384 : 8192) * int64_t{f[i]};
    ok = ok && in_range(product) && in_range(p) && (i == 5 || in_range(2 * p)) &&
         in_range(-65536 * h2) && in_range(minus_hi) && in_range(minus_lo) && in_range(t);
    h2 = h1;
    l2 = l1;
    h1 = t >> 16;
    l1 = (t >> 1) & 0x7fff;
  }
  if (!ok) return chebyshev_value_saturating(x, f);
  return sat16(static_cast<int32_t>(t >> 10));
}

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
  if (outside) return chebyshev_checked(x, f);
  const int64_t t = 2 * ((v1 * xx) >> 16) - v2 + 8192 * int64_t{f[5]};
  return sat16(static_cast<int32_t>(t >> 10));
}

}  // namespace

int16_t chebyshev_value(int16_t x, const int16_t* f) {
  return coefficients_within_limit(f) ? chebyshev_core(x, f) : chebyshev_checked(x, f);
}

void lsp_search_sequential(const int16_t* a, int16_t* lsp, const int16_t* fallback,
                           int16_t (*evaluate)(int16_t x, const int16_t* f)) {
  // Sum (f1) and difference (f2) polynomials with their roots at z = -1 and z = +1 divided out,
  // symmetric halves in Q10.
  Polynomial f1{};
  Polynomial f2{};
  lsp_polynomials(a, f1, f2);

  // Scan the grid from the highest cosine down; the roots of f1 and f2 are sought in turn. The
  // roots are kept apart until the search is complete, so lsp may share storage with fallback.
  std::array<int16_t, LPC_ORDER> roots{};
  int nf = 0;
  const int16_t* current = f1.data();
  int16_t xlow = LSP_GRID[0];
  int16_t ylow = evaluate(xlow, current);
  int j = 0;
  while (nf < LPC_ORDER && j < GRID_INTERVALS) {
    ++j;
    int16_t xhigh = xlow;
    int16_t yhigh = ylow;
    xlow = LSP_GRID[j];
    ylow = evaluate(xlow, current);
    if (L_mult(ylow, yhigh) > 0) continue;

    for (int b = 0; b < BISECTIONS; ++b) {
      const int16_t xmid = add(shr(xhigh, 1), shr(xlow, 1));
      const int16_t ymid = evaluate(xmid, current);
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
    current = current == f1.data() ? f2.data() : f1.data();
    ylow = evaluate(xlow, current);
  }

  for (int i = 0; i < LPC_ORDER; ++i) lsp[i] = nf < LPC_ORDER ? fallback[i] : roots[i];
}

namespace {

// ---------------------------------------------------------------------------------------------
// The fast search: the same scan, with the evaluations taken out of its sequence.
//
// - The signs of both polynomials at the 61 grid points do not depend on the scan, so they are
//   formed up front, many at once (grid_signs). A bracket the scan meets between two grid points is
//   then known without it: polynomial c has a bracket at point k (1..60) exactly when
//   !same_sign(c(g[k]), c(g[k - 1])), and its four bisections and secant root depend only on these
//   two points. Every such bracket of either polynomial is solved up front, all of them at once,
//   whether the scan reaches it or not (the evaluations have no side effects).
// - So is the sign of the other polynomial at each of those roots, which the scan reads next.
// - The scan itself then follows the sequential search's sequence from these tables: from a grid
//   point it moves to the next bracket of the current polynomial; after a root at point j it
//   compares the other polynomial at g[j + 1] with its value at the root. Only when these differ in
//   sign is the bracket (g[j + 1], root] one that depends on the root itself; it is solved then,
//   one evaluation at a time, as is the value at its root. The bisections and the sign tests only
//   compare signs (value_signs, below); the values the secant roots take are kept as well.
//   Polynomials with a coefficient beyond the limit of chebyshev_core, and pathological ones with
//   more sign changes than the table holds, take the sequential search (lsp_search_sequential).
//
// The exact evaluations run in 32-bit lanes: a recurrence value V of chebyshev_core (bit 0
// clear) is held in a lane, and (V x) >> 16 = hi x + ((lo x) >> 15) with hi = V >> 16 and
// lo = (V >> 1) & 32767, since V = 65536 hi + 2 lo and floor((65536 hi x + 2 lo x) / 65536) =
// hi x + floor(lo x / 32768). hi and lo depend only on bits 1..31 of V, so they are taken from
// the step's sum t before its bit 0 is cleared; only the subtracted V2 needs the cleared bit.
// hi lies within +-32768 for any 32-bit value and lo below 2^15, so both products fit 32 bits.
// While every hi met so far lies within +-8191 (and f[2..5] too), each sum is the one of
// chebyshev_core and stays below 2^31 in magnitude (the bound shown there), so the lane holds
// it exactly; the start 16384 f[1] + 1024 x lies within 2^30. The sums are formed in unsigned
// arithmetic, so a lane that leaves the limit merely wraps from there on; the lane's largest and
// smallest sums are kept (each exact up to the first that leaves the limit), and a lane whose
// extremes leave it is evaluated by chebyshev_checked instead.
// ---------------------------------------------------------------------------------------------

inline constexpr int GRID_LANES = 64;     // the 61 grid points, padded
inline constexpr int BRACKET_LANES = 16;  // brackets solved up front, at most

// The coefficients of a polynomial as the lanes use them.
struct LaneCoefficients {
  int32_t start;  // 16384 f[1]
  uint32_t c2;    // 16384 f[2], 16384 f[3], 16384 f[4] and 8192 f[5], modulo 2^32
  uint32_t c3;
  uint32_t c4;
  uint32_t c5;
};

constexpr LaneCoefficients lane_coefficients(const int16_t* f) {
  return {16384 * int32_t{f[1]}, static_cast<uint32_t>(16384 * int32_t{f[2]}),
          static_cast<uint32_t>(16384 * int32_t{f[3]}),
          static_cast<uint32_t>(16384 * int32_t{f[4]}),
          static_cast<uint32_t>(8192 * int32_t{f[5]})};
}

// (V x) >> 16 for the value V of the sum t with bit 0 cleared.
constexpr int32_t lane_product(uint32_t t, int32_t x) {
  const int32_t hi = static_cast<int32_t>(t) >> 16;
  const auto lo = static_cast<int32_t>((t >> 1) & 0x7fff);
  return hi * x + ((lo * x) >> 15);
}

// chebyshev_core at x in a lane: the value, and in `beyond` whether some hi left the limit.
constexpr int16_t lane_value(int32_t x, const LaneCoefficients& c, bool& beyond) {
  const uint32_t t1 = static_cast<uint32_t>(c.start + 1024 * x);
  const uint32_t v1 = t1 & ~1u;
  const uint32_t t2 = 4u * static_cast<uint32_t>(lane_product(t1, x)) - 256u * 65536u + c.c2;
  const uint32_t v2 = t2 & ~1u;
  const uint32_t t3 = 4u * static_cast<uint32_t>(lane_product(t2, x)) - v1 + c.c3;
  const uint32_t v3 = t3 & ~1u;
  const uint32_t t4 = 4u * static_cast<uint32_t>(lane_product(t3, x)) - v2 + c.c4;
  const uint32_t t5 = 2u * static_cast<uint32_t>(lane_product(t4, x)) - v3 + c.c5;
  // hi within +-8191 for each of the four recurrence values: V in [-8191 2^16, 8192 2^16).
  const auto s1 = static_cast<int32_t>(v1);
  const auto s2 = static_cast<int32_t>(v2);
  const auto s3 = static_cast<int32_t>(v3);
  const auto s4 = static_cast<int32_t>(t4 & ~1u);
  const int32_t high = std::max(std::max(s1, s2), std::max(s3, s4));
  const int32_t low = std::min(std::min(s1, s2), std::min(s3, s4));
  beyond = high >= (CHEBYSHEV_LIMIT + 1) * 65536 || low < -CHEBYSHEV_LIMIT * 65536;
  const int32_t r = static_cast<int32_t>(t5) >> 10;
  return static_cast<int16_t>(r > MAX_16 ? MAX_16 : (r < MIN_16 ? MIN_16 : r));
}

// The grid padded to GRID_LANES (the padding lanes are evaluated and never read).
constexpr std::array<int16_t, GRID_LANES> padded_grid_points() {
  std::array<int16_t, GRID_LANES> g{};
  for (int j = 0; j <= GRID_INTERVALS; ++j) g[j] = LSP_GRID[j];
  return g;
}

// The brackets solved up front, one a lane (N lanes, the first `used` of them brackets).
template <int N>
struct BracketLanes {
  int used;
  alignas(64) std::array<int16_t, N> xlow;
  alignas(64) std::array<int16_t, N> slow;  // the sign of the value at xlow
  alignas(64) std::array<int16_t, N> xhigh;
  alignas(64) std::array<int16_t, N> ylow;  // the exact values at the ends, after the bisections
  alignas(64) std::array<int16_t, N> yhigh;
  alignas(64) std::array<int16_t, N> poly;   // 0 or 1: the polynomial of the bracket
  std::array<int16_t, N> root;               // its secant root
  alignas(64) std::array<int16_t, N> other;  // the sign of the other polynomial at the root
};

// Values at x[0..M-1] of the polynomials poly[0..M-1] (0 or 1); the entries below `used` in each
// run of `run` lanes are read, and where such a lane leaves the limit, chebyshev_checked (or the
// the saturating form) gives its value.
template <int M>
void lane_values(const std::array<const int16_t*, 2>& f, const std::array<int16_t, M>& poly,
                 const std::array<int16_t, M>& x, int run, int used, std::array<int16_t, M>& y) {
  const LaneCoefficients c0 = lane_coefficients(f[0]);
  const LaneCoefficients c1 = lane_coefficients(f[1]);
  alignas(64) std::array<int16_t, M> beyond;
  for (int n = 0; n < M; ++n) {
    // Each coefficient chosen by a select, so that the lanes do not gather.
    const bool second = poly[n] != 0;
    const LaneCoefficients c = {second ? c1.start : c0.start, second ? c1.c2 : c0.c2,
                                second ? c1.c3 : c0.c3, second ? c1.c4 : c0.c4,
                                second ? c1.c5 : c0.c5};
    bool out = false;
    y[n] = lane_value(x[n], c, out);
    beyond[n] = out ? 1 : 0;
  }
  int16_t any = 0;
  for (int n = 0; n < M; ++n) any = static_cast<int16_t>(any | beyond[n]);
  if (any == 0) return;
  for (int start = 0; start < M; start += run) {
    for (int n = start; n < start + used; ++n) {
      if (beyond[n] != 0) y[n] = chebyshev_checked(x[n], f[poly[n]]);
    }
  }
}

// The sign class of an exact value: 1, -1, or 0 for 0.
constexpr int16_t sign_of(int16_t v) { return static_cast<int16_t>(v > 0 ? 1 : (v < 0 ? -1 : 0)); }

// Signs at x[0..M-1] of the polynomials poly[0..M-1] (0 or 1), from their exact values (for the
// first `used` lanes of each run of `run` lanes; the others are not read).
template <int M>
void value_signs(const std::array<const int16_t*, 2>& f, const std::array<int16_t, M>& poly,
                 const std::array<int16_t, M>& x, int run, int used, std::array<int16_t, M>& sign) {
  alignas(64) std::array<int16_t, M> y;
  lane_values<M>(f, poly, x, run, used, y);
  for (int n = 0; n < M; ++n) sign[n] = sign_of(y[n]);
}

// The signs of polynomial f (coefficients within the limit) at the grid points.
void grid_signs(const int16_t* f, std::array<int16_t, GRID_LANES>& sign) {
  constexpr std::array<int16_t, GRID_LANES> points = padded_grid_points();
  constexpr std::array<int16_t, GRID_LANES> first{};  // every lane on polynomial 0
  value_signs<GRID_LANES>({f, f}, first, points, GRID_LANES, GRID_INTERVALS + 1, sign);
}

// The bisections of lsp_search on every lane at once, two at a time: the midpoint m of
// (xlow, xhigh] and the midpoints of both its halves, (xlow, m] and (m, xhigh], are taken
// together, and the first step's outcome picks the half whose midpoint the second step uses.
// The steps only compare signs (same_sign(ylow, ymid)), so value_signs suffices; then the exact
// values at the ends for the secant roots, and the sign of the other polynomial at each root.
template <int N>
void solve_brackets(const std::array<const int16_t*, 2>& f, BracketLanes<N>& b) {
  alignas(64) std::array<int16_t, 3 * N> poly;
  for (int n = 0; n < N; ++n) {
    poly[n] = b.poly[n];
    poly[N + n] = b.poly[n];
    poly[2 * N + n] = b.poly[n];
  }
  // add(shr(h, 1), shr(l, 1)): two halves within [-16384, 16383] never saturate.
  const auto mid = [](int16_t h, int16_t l) { return static_cast<int16_t>((h >> 1) + (l >> 1)); };
  // same_sign of two values from their signs.
  const auto same = [](int16_t a, int16_t c) { return a * c > 0; };
  static_assert(BISECTIONS == 4);
  for (int round = 0; round < 2; ++round) {
    alignas(64) std::array<int16_t, 3 * N> x;
    alignas(64) std::array<int16_t, 3 * N> sign;
    for (int n = 0; n < N; ++n) {
      const int16_t m = mid(b.xhigh[n], b.xlow[n]);
      x[n] = m;
      x[N + n] = mid(m, b.xlow[n]);
      x[2 * N + n] = mid(b.xhigh[n], m);
    }
    value_signs<3 * N>(f, poly, x, N, b.used, sign);
    for (int n = 0; n < N; ++n) {
      const bool upper = same(b.slow[n], sign[n]);
      const int16_t xlow = upper ? x[n] : b.xlow[n];
      const int16_t slow = upper ? sign[n] : b.slow[n];
      const int16_t xhigh = upper ? b.xhigh[n] : x[n];
      const int16_t xmid = upper ? x[2 * N + n] : x[N + n];
      const int16_t smid = upper ? sign[2 * N + n] : sign[N + n];
      const bool upper2 = same(slow, smid);
      b.xlow[n] = upper2 ? xmid : xlow;
      b.slow[n] = upper2 ? smid : slow;
      b.xhigh[n] = upper2 ? xhigh : xmid;
    }
  }
  alignas(64) std::array<int16_t, 2 * N> ends;
  alignas(64) std::array<int16_t, 2 * N> ends_poly;
  alignas(64) std::array<int16_t, 2 * N> values;
  for (int n = 0; n < N; ++n) {
    ends[n] = b.xlow[n];
    ends[N + n] = b.xhigh[n];
    ends_poly[n] = b.poly[n];
    ends_poly[N + n] = b.poly[n];
  }
  lane_values<2 * N>(f, ends_poly, ends, N, b.used, values);
  for (int n = 0; n < b.used; ++n) {
    b.ylow[n] = values[n];
    b.yhigh[n] = values[N + n];
    b.root[n] = secant_root(b.xlow[n], b.ylow[n], b.xhigh[n], b.yhigh[n]);
  }
  for (int n = b.used; n < N; ++n) b.root[n] = 0;
  alignas(64) std::array<int16_t, N> other;
  for (int n = 0; n < N; ++n) other[n] = static_cast<int16_t>(1 - b.poly[n]);
  value_signs<N>(f, other, b.root, N, b.used, b.other);
}

// A bracket met only after the root at its upper end: bisected and solved on its own.
int16_t solve_bracket(const int16_t* f, int16_t xlow, int16_t ylow, int16_t xhigh, int16_t yhigh) {
  for (int step = 0; step < BISECTIONS; ++step) {
    const int16_t xmid = static_cast<int16_t>((xhigh >> 1) + (xlow >> 1));
    const int16_t ymid = chebyshev_core(xmid, f);
    if (!same_sign(ylow, ymid)) {
      xhigh = xmid;
      yhigh = ymid;
    } else {
      xlow = xmid;
      ylow = ymid;
    }
  }
  return secant_root(xlow, ylow, xhigh, yhigh);
}

// Bits 1..60: the grid points that can end a bracket.
inline constexpr uint64_t GRID_CHANGE_BITS =
    ((uint64_t{1} << (GRID_INTERVALS + 1)) - 1) & ~uint64_t{1};

// Bit k set when value k has the sign `sign` (1: above 0, -1: below 0). Eight flags (0 or 1) in
// the bytes of a word w = sum flag[i] 2^(8i) are gathered by (w M) >> 56 with
// M = sum 2^(56 - 7i), i = 0..7: flag i lands on bit 56 + i, a product of flag i with another
// term of M on a bit 56 + i + 7 (i - j), beyond bit 63 (dropped) for j < i, and the products
// with j > i add up to less than 2^56, so they carry nothing into bit 56.
uint64_t grid_flags(const std::array<int16_t, GRID_LANES>& y, int sign) {
  alignas(64) std::array<uint8_t, GRID_LANES> flag;
  for (int n = 0; n < GRID_LANES; ++n) {
    flag[n] = (sign > 0 ? y[n] > 0 : y[n] < 0) ? 1 : 0;
  }
  uint64_t bits = 0;
  for (int w = 0; w < GRID_LANES / 8; ++w) {
    uint64_t word = 0;
    for (int i = 0; i < 8; ++i) word |= uint64_t{flag[8 * w + i]} << (8 * i);
    bits |= ((word * 0x0102040810204080u) >> 56) << (8 * w);
  }
  return bits;
}

// The rest of lsp_search_fast, with N lanes for the brackets, from the signs g of both
// polynomials at the grid points.
template <int N>
void scan_from_tables(const std::array<const int16_t*, 2>& f,
                      const std::array<std::array<int16_t, GRID_LANES>, 2>& g,
                      const std::array<uint64_t, 2>& change, int16_t* lsp,
                      const int16_t* fallback) {
  // Every bracket in a lane (unused lanes repeat the cell of point 1 of polynomial 0), and the
  // lane of each (polynomial, point).
  BracketLanes<N> b;
  std::array<std::array<int8_t, GRID_INTERVALS + 1>, 2> lane_of{};
  int lanes = 0;
  for (int c = 0; c < 2; ++c) {
    for (uint64_t m = change[c]; m != 0; m &= m - 1) {
      const int k = std::countr_zero(m);
      lane_of[c][k] = static_cast<int8_t>(lanes);
      b.xlow[lanes] = LSP_GRID[k];
      b.slow[lanes] = g[c][k];
      b.xhigh[lanes] = LSP_GRID[k - 1];
      b.poly[lanes] = static_cast<int16_t>(c);
      ++lanes;
    }
  }
  b.used = lanes;
  for (int n = lanes; n < N; ++n) {
    b.xlow[n] = LSP_GRID[1];
    b.slow[n] = g[0][1];
    b.xhigh[n] = LSP_GRID[0];
    b.poly[n] = 0;
  }
  solve_brackets(f, b);

  // The scan of lsp_search from the tables. After a root, xroot is the root and sroot the sign
  // of the value there of the polynomial now searched; exact values are formed only for a
  // bracket that starts at the root.
  std::array<int16_t, LPC_ORDER> roots{};
  int nf = 0;
  int c = 0;
  int j = 0;
  bool after_root = false;
  int16_t xroot = 0;
  int16_t sroot = 0;
  while (nf < LPC_ORDER && j < GRID_INTERVALS) {
    if (after_root) {
      ++j;
      after_root = false;
      if (g[c][j] * sroot > 0) continue;  // same_sign of the values
      xroot = solve_bracket(f[c], LSP_GRID[j], chebyshev_core(LSP_GRID[j], f[c]), xroot,
                            chebyshev_core(xroot, f[c]));
      c = 1 - c;
      sroot = sign_of(chebyshev_core(xroot, f[c]));
    } else {
      // The next bracket of polynomial c after point j.
      const uint64_t ahead = change[c] & ~((uint64_t{2} << j) - 1);
      if (ahead == 0) break;  // none: the scan runs to the end of the grid
      j = std::countr_zero(ahead);
      const int n = lane_of[c][j];
      xroot = b.root[n];
      sroot = b.other[n];
      c = 1 - c;
    }
    roots[nf] = xroot;
    ++nf;
    after_root = true;
  }

  for (int i = 0; i < LPC_ORDER; ++i) lsp[i] = nf < LPC_ORDER ? fallback[i] : roots[i];
}

void lsp_search_fast(const int16_t* a, int16_t* lsp, const int16_t* fallback) {
  Polynomial f1{};
  Polynomial f2{};
  lsp_polynomials(a, f1, f2);
  if (!coefficients_within_limit(f1.data()) || !coefficients_within_limit(f2.data())) {
    lsp_search_sequential(a, lsp, fallback, &chebyshev_value);
    return;
  }
  const std::array<const int16_t*, 2> f = {f1.data(), f2.data()};

  // The signs (1, -1, or 0 for 0) of both polynomials at the grid points.
  alignas(64) std::array<std::array<int16_t, GRID_LANES>, 2> g;
  grid_signs(f[0], g[0]);
  grid_signs(f[1], g[1]);

  // Bit k (1..60) of change[c]: polynomial c has a bracket at grid point k.
  std::array<uint64_t, 2> change{};
  for (int c = 0; c < 2; ++c) {
    const uint64_t pos = grid_flags(g[c], 1);
    const uint64_t neg = grid_flags(g[c], -1);
    change[c] = ~((pos & (pos << 1)) | (neg & (neg << 1))) & GRID_CHANGE_BITS;
  }
  const int brackets = std::popcount(change[0]) + std::popcount(change[1]);
  if (brackets > BRACKET_LANES) {
    lsp_search_sequential(a, lsp, fallback, &chebyshev_value);
    return;
  }

  if (brackets <= 8) {
    scan_from_tables<8>(f, g, change, lsp, fallback);
  } else {
    scan_from_tables<BRACKET_LANES>(f, g, change, lsp, fallback);
  }
}

}  // namespace

void lpc_to_lsp(const int16_t* a, int16_t* lsp, const int16_t* fallback) {
  lsp_search_fast(a, lsp, fallback);
}

namespace {

// The table decreases strictly, and its entry 0 (32767) is at least any value.
constexpr bool cos_table_decreasing() {
  for (int k = 1; k < static_cast<int>(LSF_COS_TABLE.size()); ++k) {
    if (LSF_COS_TABLE[k] >= LSF_COS_TABLE[k - 1]) return false;
  }
  return LSF_COS_TABLE[0] == MAX_16;
}
static_assert(cos_table_decreasing());

// Every slope is negative and above -32768, as lsp_to_lsf's closed form assumes.
constexpr bool slopes_negative() {
  for (const int16_t s : LSF_SLOPE_TABLE) {
    if (s >= 0 || s == MIN_16) return false;
  }
  return true;
}
static_assert(slopes_negative());

// The largest k <= 63 with LSF_COS_TABLE[k] >= v, by halving steps (the step is added through a
// mask, so that no step branches): before the step of size s the index is at most
// 63 - (2s - 1), so k + s never passes 63.
constexpr int cos_index(int16_t v) {
  int k = 0;
  for (int s = 32; s >= 1; s >>= 1) k += s & -static_cast<int>(LSF_COS_TABLE[k + s] >= v);
  return k;
}

}  // namespace

// The straightforward index search without the walk: sub(table[ind], v) < 0 exactly when
// table[ind] < v (the saturated difference keeps its sign), so the walk down from ind stops at
// the largest k <= ind with table[k] >= v. The table decreases strictly and starts at 32767, so
// that is min(ind, cos_index(v)); the indices of all ten values are found independently and the
// running minimum gives the walk's.
//
// The interpolation in plain arithmetic: table[ind] >= v, so d = sub(v, table[ind]) =
// max(v - table[ind], -32768) <= 0; every slope is negative and above -32768, so
// L_mult(d, slope) = 2 d slope lies in [0, 2^31) without saturating; L_shl by 3 is
// min(8 step, MAX_32) and round_fx of that min(.. + 32768, MAX_32) >> 16, within [0, 32767];
// shl(ind, 8) <= 16128 is exact and add saturates the sum at 32767.
void lsp_to_lsf(const int16_t* lsp, int16_t* lsf) {
  std::array<int, LPC_ORDER> index;
  for (int i = 0; i < LPC_ORDER; ++i) index[i] = cos_index(lsp[i]);
  int ind = 63;
  for (int i = LPC_ORDER - 1; i >= 0; --i) {
    ind = index[i] < ind ? index[i] : ind;
    const int32_t diff = int32_t{lsp[i]} - LSF_COS_TABLE[ind];
    const int64_t d = diff < MIN_16 ? MIN_16 : diff;
    const int64_t shifted = std::min<int64_t>(16 * d * LSF_SLOPE_TABLE[ind], MAX_32);
    const int64_t rounded = std::min<int64_t>(shifted + 32768, MAX_32) >> 16;
    lsf[i] = static_cast<int16_t>(std::min<int64_t>(rounded + 256 * ind, MAX_16));
  }
}

}  // namespace halvern
