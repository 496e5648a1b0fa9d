#include "stages/suppressor/fft/fft.h"

#include <utility>

#include "fixedpoint/basic_ops.h"
#include "stages/suppressor/fft/rounded_products.h"

namespace halvern {

void fft_split_forward_bin(int16_t* x, int i) {
  const int j = FFT_LENGTH - i;
  const int16_t f1r = add(x[i], x[j]);
  const int16_t f1i = sub(x[i + 1], x[j + 1]);
  const int16_t f2r = add(x[i + 1], x[j + 1]);
  const int16_t f2i = sub(x[j], x[i]);
  const int16_t ci = FFT_TWIDDLES[i];
  const int16_t si = FFT_TWIDDLES[i + 1];
  const int16_t cj = FFT_TWIDDLES[j];
  const int16_t sj = FFT_TWIDDLES[j + 1];
  x[i] = round_fx(L_shr(L_add(L_sub(L_mult(f2r, ci), L_mult(f2i, si)), L_deposit_h(f1r)), 1));
  x[i + 1] = round_fx(L_shr(L_add(L_add(L_mult(f2i, ci), L_mult(f2r, si)), L_deposit_h(f1i)), 1));
  x[j] = round_fx(L_shr(L_add(L_add(L_mult(f2r, cj), L_mult(f2i, sj)), L_deposit_h(f1r)), 1));
  x[j + 1] = round_fx(L_shr(
      L_add(L_add(L_negate(L_mult(f2i, cj)), L_mult(f2r, sj)), L_negate(L_deposit_h(f1i))), 1));
}

void fft_split_inverse_bin(int16_t* x, int i) {
  const int j = FFT_LENGTH - i;
  const int16_t f1r = add(x[i], x[j]);
  const int16_t f1i = sub(x[i + 1], x[j + 1]);
  const int16_t f2r = negate(add(x[i + 1], x[j + 1]));
  const int16_t f2i = negate(sub(x[j], x[i]));
  const int16_t ci = FFT_TWIDDLES[i];
  const int16_t si = FFT_TWIDDLES[i + 1];
  const int16_t cj = FFT_TWIDDLES[j];
  const int16_t sj = FFT_TWIDDLES[j + 1];
  x[i] = round_fx(L_shr(L_add(L_add(L_mult(f2r, ci), L_mult(f2i, si)), L_deposit_h(f1r)), 1));
  x[i + 1] = round_fx(L_shr(L_add(L_sub(L_mult(f2i, ci), L_mult(f2r, si)), L_deposit_h(f1i)), 1));
  x[j] = round_fx(L_shr(L_add(L_sub(L_mult(f2r, cj), L_mult(f2i, sj)), L_deposit_h(f1r)), 1));
  x[j + 1] = round_fx(L_shr(
      L_add(L_negate(L_deposit_h(f1i)), L_negate(L_add(L_mult(f2i, cj), L_mult(f2r, sj)))), 1));
}

namespace {

// ---------------------------------------------------------------------------------------------
// Fast forms.
//
// The complex transform works on separate planes of real and imaginary parts and visits the
// butterflies in self-sorting order: stage s (ns = 2^s) takes butterfly j = 0..63 from entries
// j (top) and j + 64 (bottom) of its input planes and writes it to entries (j / ns) 2 ns + j % ns
// (top) and that + ns (bottom) of its output planes, with twiddle pair (j % ns) (128 / ns).
// Stage s of the in-place transform after bit reversal combines the same two values (element
// j % ns of two sub-transforms of size ns over the same decimated samples) with the same twiddle
// pair, so every intermediate value is the same; only where the values are stored differs. The
// input is read in natural order and the result comes out in natural order.
// ---------------------------------------------------------------------------------------------

constexpr int POINTS = FFT_LENGTH / 2;   // complex points of the transform
constexpr int BUTTERFLIES = POINTS / 2;  // butterflies per stage, and bins per split half
constexpr int STAGES = 7;

using Row = std::array<int16_t, BUTTERFLIES>;

// Twiddles of the 64 butterflies of each stage, in the order the fast stages visit them.
struct StageTwiddles {
  std::array<Row, STAGES> re;
  std::array<Row, STAGES> im;
};

constexpr StageTwiddles make_stage_twiddles() {
  StageTwiddles t{};
  for (int s = 0; s < STAGES; ++s) {
    for (int j = 0; j < BUTTERFLIES; ++j) {
      const int pair = (j % (1 << s)) * FFT_STAGE_STEPS[s];
      t.re[s][j] = FFT_TWIDDLES[2 * pair];
      t.im[s][j] = FFT_TWIDDLES[2 * pair + 1];
    }
  }
  return t;
}

inline constexpr StageTwiddles STAGE_TWIDDLES = make_stage_twiddles();

// The bounds below rely on these properties of the table: |c| + |s| <= 46341 (sqrt(2) 32768) for
// every pair, no cosine is -32768, the sine is -32768 only at pair 64, whose cosine is 0, and
// pair 128 - k is (-c, s) of pair k for k = 1..64 (the table is rounded symmetrically).
constexpr bool twiddles_as_assumed() {
  for (int m = 0; m < POINTS; ++m) {
    const int c = FFT_TWIDDLES[2 * m];
    const int s = FFT_TWIDDLES[2 * m + 1];
    if ((c < 0 ? -c : c) + (s < 0 ? -s : s) > 46341) return false;
    if (c == MIN_16) return false;
    if (s == MIN_16 && (m != BUTTERFLIES || c != 0)) return false;
    if (m >= 1 && m <= BUTTERFLIES &&
        (FFT_TWIDDLES[2 * (POINTS - m)] != -c || FFT_TWIDDLES[2 * (POINTS - m) + 1] != s)) {
      return false;
    }
  }
  return true;
}
static_assert(twiddles_as_assumed());

using Planes = FftPlanes;

// The planes of a transform and its scratch planes, in one record so that the compiler sees
// that a stage's input and output never overlap.
using Transform = FftTransform;

constexpr int32_t clamp16(int32_t v) { return v < MIN_16 ? MIN_16 : (v > MAX_16 ? MAX_16 : v); }

constexpr int16_t clamp16_to(int32_t v, int16_t low, int16_t high) {
  return static_cast<int16_t>(v < low ? low : (v > high ? high : v));
}

// round_fx(L_sub(L_mult(a, c), L_mult(b, s))) or round_fx(L_add(...)) of a butterfly, from the
// exact h = a c -+ b s: equal to sat16((h + 16384) >> 15).
// - |h| <= 32768 (|c| + |s|) <= 32768 * 46341 < 2^31 - 16384: h and h + 16384 fit 32 bits.
// - round_fx(sat32(D)) = sat16((D + 32768) >> 16) for every D (a D beyond either end of the
//   32-bit range gives the same extreme both ways), and (2 h + 32768) >> 16 = (h + 16384) >> 15.
// - L_mult differs from 2 a b only for -32768 x -32768, which needs the sine of pair 64, whose
//   cosine is 0: the difference form then gets D = 2 h + 1, and (D + 32768) >> 16 does not move
//   since 2 h + 32769 is odd; the sum form gets MAX_32 instead of 2^31, both rounding to 32767.
constexpr int32_t round_product(int32_t h) { return clamp16((h + 16384) >> 15); }

// The butterfly outputs of stage S for j = 0..63, in butterfly order.
struct StageOutput {
  alignas(16) Row top_re;
  alignas(16) Row top_im;
  alignas(16) Row bottom_re;
  alignas(16) Row bottom_im;
};

// Stores the butterfly outputs of a stage with ns < 8 at their self-sorting places. The outputs
// are first formed in butterfly order, where the loop runs over whole vectors, and then moved.
template <int S>
inline void place(const StageOutput& o, Planes& out) {
  constexpr int ns = 1 << S;
  for (int g = 0; g < BUTTERFLIES / ns; ++g) {
    for (int r = 0; r < ns; ++r) {
      const int j = g * ns + r;
      const int top = g * 2 * ns + r;
      out.re[top] = o.top_re[j];
      out.im[top] = o.top_im[j];
      out.re[top + ns] = o.bottom_re[j];
      out.im[top + ns] = o.bottom_im[j];
    }
  }
}

// Forward stages. The rounded products never saturate here, so round_product's clamp is left
// out: stage 0 has the twiddle (32767, 0), so |h| <= 32768 * 32767 and the result lies in
// [-32767, 32766]; every later stage reads outputs of a forward stage, which lie in
// [-16384, 16383], so |h| <= 16384 * 46341 and the result lies within +-23171.
//
// The outputs shr(add(p, t), 1) = sat16(p + t) >> 1 and shr(sub(p, t), 1) = sat16(p - t) >> 1
// equal clamp((p + t) >> 1, -16384, 16383) and clamp((p - t) >> 1, -16384, 16383) (the shift is
// monotone and maps the limits 32767 and -32768 to 16383 and -16384). With p = 2 P + p0 and
// t = 2 T + t0, (p + t) >> 1 = P + T + (p0 & t0) and (p - t) >> 1 = P - T - (~p0 & t0); each lies
// in [-32768, 32767], so the butterfly sums run in 16-bit lanes.
constexpr int16_t halve_sum(int16_t p, int16_t t) {
  return clamp16_to((p >> 1) + (t >> 1) + (p & t & 1), -16384, 16383);
}

constexpr int16_t halve_difference(int16_t p, int16_t t) {
  return clamp16_to((p >> 1) - (t >> 1) - (~p & t & 1), -16384, 16383);
}

// The rounded product with the twiddle (32767, 0) of stages 0 and 1: (a 32767 + 16384) >> 15 =
// a + ((16384 - a) >> 15), and (16384 - a) >> 15 is -1 for a > 16384, 1 for a < -16383 and 0
// otherwise. It lies within [-32767, 32766], so no clamp applies.
constexpr int16_t times_unity(int16_t a) {
  return static_cast<int16_t>(a - (a > 16384 ? 1 : 0) + (a < -16383 ? 1 : 0));
}

// The rounded products (tr, ti) of butterfly j of a stage: (a, b) times the conjugated twiddle
// (c, d) for the forward transform, times the twiddle for the inverse, where no clamp applies
// (the forward stages, and inverse stages with a quiet input). Stages 0 and 1 use only the
// twiddles (32767, 0) and, at odd j of stage 1, (0, -32768), whose products are exact:
// (32768 b + 16384) >> 15 = b and (-32768 a + 16384) >> 15 = -a (here |a|, |b| <= 16384).
template <int S, bool Forward>
inline void rotate(int32_t a, int32_t b, int j, int16_t& tr, int16_t& ti) {
  if constexpr (S == 0 || S == 1) {
    const bool quarter = S == 1 && (j & 1) != 0;
    const auto ar = times_unity(static_cast<int16_t>(a));
    const auto br = times_unity(static_cast<int16_t>(b));
    if constexpr (Forward) {
      tr = quarter ? static_cast<int16_t>(b) : ar;
      ti = quarter ? static_cast<int16_t>(-a) : br;
    } else {
      tr = quarter ? static_cast<int16_t>(-b) : ar;
      ti = quarter ? static_cast<int16_t>(a) : br;
    }
  } else {
    const int16_t c = STAGE_TWIDDLES.re[S][j];
    const int16_t d = STAGE_TWIDDLES.im[S][j];
    const auto a16 = static_cast<int16_t>(a);
    const auto b16 = static_cast<int16_t>(b);
    if constexpr (Forward) {
      tr = rounded_difference(a16, c, b16, d);
      ti = rounded_sum(b16, c, a16, d);
    } else {
      tr = rounded_sum(a16, c, b16, d);
      ti = rounded_difference(b16, c, a16, d);
    }
  }
}

// Butterfly j of forward stage S, outputs to (top, bottom) at entries (jt, jb) of out.
template <int S, typename Out>
inline void forward_butterfly(const Planes& in, int j, Out& top_re, Out& top_im, Out& bottom_re,
                              Out& bottom_im, int jt, int jb) {
  int16_t tr = 0;
  int16_t ti = 0;
  rotate<S, true>(in.re[j + BUTTERFLIES], in.im[j + BUTTERFLIES], j, tr, ti);
  top_re[jt] = halve_sum(in.re[j], tr);
  top_im[jt] = halve_sum(in.im[j], ti);
  bottom_re[jb] = halve_difference(in.re[j], tr);
  bottom_im[jb] = halve_difference(in.im[j], ti);
}

template <int S, int From, int To>
inline void forward_stage(Transform& w) {
  constexpr int ns = 1 << S;
  const Planes& in = w.p[From];
  Planes& out = w.p[To];
  if constexpr (ns < 8) {
    StageOutput o;
    for (int j = 0; j < BUTTERFLIES; ++j) {
      forward_butterfly<S>(in, j, o.top_re, o.top_im, o.bottom_re, o.bottom_im, j, j);
    }
    place<S>(o, out);
  } else {
    for (int g = 0; g < BUTTERFLIES / ns; ++g) {
      for (int r = 0; r < ns; ++r) {
        const int top = g * 2 * ns + r;
        forward_butterfly<S>(in, g * ns + r, out.re, out.im, out.re, out.im, top, top + ns);
      }
    }
  }
}

// Largest magnitude of the values of an inverse stage's input at which nothing in the stage can
// saturate: with every input within +-13572, |h| <= 13572 * 46341, so the rounded product lies
// within +-19194 (no clamp) and p +- t within +-32766 (no clamp either).
constexpr int16_t INVERSE_QUIET_LIMIT = 13572;

// True when every one of the n values of v lies within +-limit.
inline bool values_within(const int16_t* v, int n, int16_t limit) {
  int16_t high = 0;
  int16_t low = 0;
  for (int m = 0; m < n; ++m) {
    high = v[m] > high ? v[m] : high;
    low = v[m] < low ? v[m] : low;
  }
  return high <= limit && low >= -limit;
}

// True when every value of the planes lies within +-limit.
inline bool within(const Planes& z, int16_t limit) {
  return values_within(z.re.data(), POINTS, limit) && values_within(z.im.data(), POINTS, limit);
}

// Butterfly j of inverse stage S. When the stage input is quiet, the plain 16-bit sums are the
// saturating ones; otherwise every step saturates: round_product for the products, sat16(p +- t)
// for add and sub.
template <int S, bool Quiet, typename Out>
inline void inverse_butterfly(const Planes& in, int j, Out& top_re, Out& top_im, Out& bottom_re,
                              Out& bottom_im, int jt, int jb) {
  const int32_t a = in.re[j + BUTTERFLIES];
  const int32_t b = in.im[j + BUTTERFLIES];
  if constexpr (Quiet) {
    int16_t tr = 0;
    int16_t ti = 0;
    rotate<S, false>(a, b, j, tr, ti);
    top_re[jt] = static_cast<int16_t>(in.re[j] + tr);
    top_im[jt] = static_cast<int16_t>(in.im[j] + ti);
    bottom_re[jb] = static_cast<int16_t>(in.re[j] - tr);
    bottom_im[jb] = static_cast<int16_t>(in.im[j] - ti);
  } else {
    const int32_t c = STAGE_TWIDDLES.re[S][j];
    const int32_t d = STAGE_TWIDDLES.im[S][j];
    const int32_t tr = round_product(a * c + b * d);
    const int32_t ti = round_product(b * c - a * d);
    top_re[jt] = static_cast<int16_t>(clamp16(in.re[j] + tr));
    top_im[jt] = static_cast<int16_t>(clamp16(in.im[j] + ti));
    bottom_re[jb] = static_cast<int16_t>(clamp16(in.re[j] - tr));
    bottom_im[jb] = static_cast<int16_t>(clamp16(in.im[j] - ti));
  }
}

template <int S, bool Quiet>
inline void inverse_stage_as(const Planes& in, Planes& out) {
  constexpr int ns = 1 << S;
  if constexpr (ns < 8) {
    StageOutput o;
    for (int j = 0; j < BUTTERFLIES; ++j) {
      inverse_butterfly<S, Quiet>(in, j, o.top_re, o.top_im, o.bottom_re, o.bottom_im, j, j);
    }
    place<S>(o, out);
  } else {
    for (int g = 0; g < BUTTERFLIES / ns; ++g) {
      for (int r = 0; r < ns; ++r) {
        const int top = g * 2 * ns + r;
        inverse_butterfly<S, Quiet>(in, g * ns + r, out.re, out.im, out.re, out.im, top, top + ns);
      }
    }
  }
}

template <int S, int From, int To>
inline void inverse_stage(Transform& w) {
  if (within(w.p[From], INVERSE_QUIET_LIMIT)) {
    inverse_stage_as<S, true>(w.p[From], w.p[To]);
  } else {
    inverse_stage_as<S, false>(w.p[From], w.p[To]);
  }
}

// Largest magnitude of an inverse transform's input at which its first two stages cannot
// saturate. Their rounded products never grow a magnitude (times_unity, and the exact swap of
// the twiddle (0, -32768)), so stage 0 at most doubles the magnitudes and stage 1 doubles them
// again: 4 * 8191 = 32764 still fits, while four values of 8192 reach 32768.
constexpr int16_t FIRST_STAGES_QUIET_LIMIT = 8191;

// Stages 0 and 1 in one pass over planes 0, in place (the forward stages, or the inverse ones on
// an input within FIRST_STAGES_QUIET_LIMIT). Stage 0's butterflies g and g + 32 (inputs g, g + 64
// and g + 32, g + 96) feed exactly stage 1's butterflies 2g (their tops, twiddle (32767, 0)) and
// 2g + 1 (their bottoms, twiddle (0, -32768)), whose outputs go to entries 4g, 4g + 2 and
// 4g + 1, 4g + 3: the same butterflies on the same values as the two stages one after the other.
template <bool Forward>
inline void first_two_stages(Planes& z) {
  constexpr int QUARTER = POINTS / 4;
  using Quarter = std::array<int16_t, QUARTER>;
  // The outputs of stage 1 for entry 4g + q, q = 0..3.
  alignas(16) std::array<Quarter, 4> out_re;
  alignas(16) std::array<Quarter, 4> out_im;
  const auto sum = [](int16_t p, int16_t t) {
    return Forward ? halve_sum(p, t) : static_cast<int16_t>(p + t);
  };
  const auto difference = [](int16_t p, int16_t t) {
    return Forward ? halve_difference(p, t) : static_cast<int16_t>(p - t);
  };
  for (int g = 0; g < QUARTER; ++g) {
    // Stage 0: butterflies g (top0, bottom0) and g + 32 (top1, bottom1).
    const int16_t u_re = times_unity(z.re[g + 2 * QUARTER]);
    const int16_t u_im = times_unity(z.im[g + 2 * QUARTER]);
    const int16_t v_re = times_unity(z.re[g + 3 * QUARTER]);
    const int16_t v_im = times_unity(z.im[g + 3 * QUARTER]);
    const int16_t top0_re = sum(z.re[g], u_re);
    const int16_t top0_im = sum(z.im[g], u_im);
    const int16_t bottom0_re = difference(z.re[g], u_re);
    const int16_t bottom0_im = difference(z.im[g], u_im);
    const int16_t top1_re = sum(z.re[g + QUARTER], v_re);
    const int16_t top1_im = sum(z.im[g + QUARTER], v_im);
    const int16_t bottom1_re = difference(z.re[g + QUARTER], v_re);
    const int16_t bottom1_im = difference(z.im[g + QUARTER], v_im);
    // Stage 1: butterfly 2g on the tops, 2g + 1 on the bottoms (rotate's exact products).
    const int16_t t_re = times_unity(top1_re);
    const int16_t t_im = times_unity(top1_im);
    const auto q_re = static_cast<int16_t>(Forward ? bottom1_im : -bottom1_im);
    const auto q_im = static_cast<int16_t>(Forward ? -bottom1_re : bottom1_re);
    out_re[0][g] = sum(top0_re, t_re);
    out_im[0][g] = sum(top0_im, t_im);
    out_re[2][g] = difference(top0_re, t_re);
    out_im[2][g] = difference(top0_im, t_im);
    out_re[1][g] = sum(bottom0_re, q_re);
    out_im[1][g] = sum(bottom0_im, q_im);
    out_re[3][g] = difference(bottom0_re, q_re);
    out_im[3][g] = difference(bottom0_im, q_im);
  }
  for (int g = 0; g < QUARTER; ++g) {
    for (int q = 0; q < 4; ++q) {
      z.re[4 * g + q] = out_re[q][g];
      z.im[4 * g + q] = out_im[q][g];
    }
  }
}

// The seven stages, from planes 0 to planes 1.
template <bool Forward>
void fast_complex(Transform& w) {
  if constexpr (Forward) {
    first_two_stages<true>(w.p[0]);
    forward_stage<2, 0, 1>(w);
    forward_stage<3, 1, 0>(w);
    forward_stage<4, 0, 1>(w);
    forward_stage<5, 1, 0>(w);
    forward_stage<6, 0, 1>(w);
  } else {
    if (within(w.p[0], FIRST_STAGES_QUIET_LIMIT)) {
      first_two_stages<false>(w.p[0]);
    } else {
      inverse_stage<0, 0, 1>(w);
      inverse_stage<1, 1, 0>(w);
    }
    inverse_stage<2, 0, 1>(w);
    inverse_stage<3, 1, 0>(w);
    inverse_stage<4, 0, 1>(w);
    inverse_stage<5, 1, 0>(w);
    inverse_stage<6, 0, 1>(w);
  }
}

// --------------------------------------------------------------------------------------------- The
// split steps, bins k = 1..64 with their mirrors 128 - k, as vectors over k: entry k - 1 of a Row
// holds bin k (lower) or bin 128 - k (upper). Bin 64 is its own mirror and its pair has the sine
// -32768, so the callers redo it with fft_split_forward_bin or fft_split_inverse_bin afterwards.
// For k = 1..63 the pairs used have no sine of -32768, so every L_mult is the exact doubled
// product, and pair 128 - k is (-c, s) of pair k (checked above), so the four product sums of a bin
// reduce to two.
//
// Each output is round_fx(L_shr(L_add(sat32(2 h), 65536 f), 1)) for an exact h (|h| < 2^31, as
// in round_product) and an f with |f| <= 32767, or the same with -h and -f. It equals
//   clamp((sat16(h >> 15) + f + 1) >> 1, -16384, 16384):
// - sat32 then >> 1 clamps the halved value: L_shr(L_add(U, V), 1) = clamp_half(U_h + V_h) with
//   clamp_half to [-2^30, 2^30 - 1], U_h = sat32(2 h) >> 1 = clamp_half(h), V_h = 32768 f (the
//   low bit of 65536 f is 0, so the low bit of U is dropped either way);
// - (clamp_half(X) + 32768) >> 16 = clamp((X + 32768) >> 16, -16384, 16384) (monotone, and the
//   limits map to 16384 and -16384): round_fx cannot saturate here;
// - with h = 32768 H + l (H = h >> 15, 0 <= l < 32768), clamp_half(h) = 32768 sat16(H) + l'
//   with 0 <= l' < 32768, and (32768 (sat16(H) + f + 1) + l') >> 16 = (sat16(H) + f + 1) >> 1
//   since l' / 65536 < 1/2 never carries a halved integer past the next integer.
// ---------------------------------------------------------------------------------------------

// Twiddle pair k = 1..64 at entry k - 1.
struct SplitTwiddles {
  alignas(16) Row c;
  alignas(16) Row s;
};

constexpr SplitTwiddles make_split_twiddles() {
  SplitTwiddles t{};
  for (int k = 1; k <= BUTTERFLIES; ++k) {
    t.c[k - 1] = FFT_TWIDDLES[2 * k];
    t.s[k - 1] = FFT_TWIDDLES[2 * k + 1];
  }
  return t;
}

inline constexpr SplitTwiddles SPLIT_TWIDDLES = make_split_twiddles();

constexpr int16_t split_output(int32_t h, int32_t f) {
  return clamp16_to((clamp16(h >> 15) + f + 1) >> 1, -16384, 16384);
}

// Lower and upper bins of a split, in Row order.
struct SplitBins {
  alignas(16) Row lower_re;
  alignas(16) Row lower_im;
  alignas(16) Row upper_re;
  alignas(16) Row upper_im;
};

// Entry k - 1 of `to` becomes entry 128 - k of `from`, k = 1..64.
inline void mirror(const std::array<int16_t, POINTS>& from, Row& to) {
  for (int e = 0; e < BUTTERFLIES; ++e) to[e] = from[POINTS - 1 - e];
}

// Entry 128 - k of `to` becomes entry k - 1 of `from`, k = 1..63.
inline void unmirror(const Row& from, std::array<int16_t, POINTS>& to) {
  for (int e = 0; e < BUTTERFLIES - 1; ++e) to[POINTS - 1 - e] = from[e];
}

// The forward split of bins 1..63 (and a value for bin 64 that the caller replaces), from the
// natural-order spectrum z of the forward complex transform. Its values lie in [-16384, 16383],
// so f1r = re[k] + re[m], f1i, f2r and f2i (m = 128 - k) fit 16 bits without saturating, and
// f1i >= -32767 (so that -f1i, the deposit of x[2m + 1], is exact). With
// h1 = f2r c - f2i s and h2 = f2i c + f2r s, bin m's sums are f2r (-c) + f2i s = -h1 and
// f2r s - f2i (-c) = h2.
void split_forward_fast(const Planes& z, SplitBins& o) {
  Row mre;
  Row mim;
  mirror(z.re, mre);
  mirror(z.im, mim);
  for (int e = 0; e < BUTTERFLIES; ++e) {
    const int16_t kr = z.re[e + 1];
    const int16_t ki = z.im[e + 1];
    const auto f1r = static_cast<int16_t>(kr + mre[e]);
    const auto f1i = static_cast<int16_t>(ki - mim[e]);
    const auto f2r = static_cast<int16_t>(ki + mim[e]);
    const auto f2i = static_cast<int16_t>(mre[e] - kr);
    const int16_t c = SPLIT_TWIDDLES.c[e];
    const int16_t s = SPLIT_TWIDDLES.s[e];
    const int32_t h1 = int32_t{f2r} * c - int32_t{f2i} * s;
    const int32_t h2 = int32_t{f2i} * c + int32_t{f2r} * s;
    o.lower_re[e] = split_output(h1, f1r);
    o.lower_im[e] = split_output(h2, f1i);
    o.upper_re[e] = split_output(-h1, f1r);
    o.upper_im[e] = split_output(h2, -int32_t{f1i});
  }
}

// Largest magnitude of a forward transform's output at which the forward split needs no clamp
// before its halving: with every value within +-11585, |f| <= 23170 and
// |h| <= 23170 * 46341 < 2^30, so h >> 15 and (-h) >> 15 fit 16 bits.
constexpr int16_t FORWARD_SPLIT_QUIET_LIMIT = 11585;

// split_output(h, f) for h >> 15 = q within 16 bits and |f| <= 23170: (q + f + 1) >> 1 as
// (q >> 1) + (f >> 1) + ((q | f) & 1) (with q = 2 Q + q0, f = 2 G + f0 the sum q0 + f0 + 1
// halves to q0 | f0), within 16 bits, then clamped as split_output clamps it.
constexpr int16_t quiet_forward_output(int16_t q, int16_t f) {
  return clamp16_to((q >> 1) + (f >> 1) + ((q | f) & 1), -16384, 16384);
}

// split_forward_fast when every value of z lies within +-FORWARD_SPLIT_QUIET_LIMIT, in 16-bit
// lanes: the same h1, h2 (and -h1) shifted by 15, and the same outputs.
void split_forward_quiet(const Planes& z, SplitBins& o) {
  Row mre;
  Row mim;
  mirror(z.re, mre);
  mirror(z.im, mim);
  for (int e = 0; e < BUTTERFLIES; ++e) {
    const int16_t kr = z.re[e + 1];
    const int16_t ki = z.im[e + 1];
    const auto f1r = static_cast<int16_t>(kr + mre[e]);
    const auto f1i = static_cast<int16_t>(ki - mim[e]);
    const auto f2r = static_cast<int16_t>(ki + mim[e]);
    const auto f2i = static_cast<int16_t>(mre[e] - kr);
    const int16_t c = SPLIT_TWIDDLES.c[e];
    const int16_t s = SPLIT_TWIDDLES.s[e];
    const int16_t h1 = floored_difference(f2r, c, f2i, s);
    const auto minus_h1 = static_cast<int16_t>(-h1 - floored_inexact(f2r, c, f2i, s, false));
    const int16_t h2 = floored_sum(f2i, c, f2r, s);
    o.lower_re[e] = quiet_forward_output(h1, f1r);
    o.lower_im[e] = quiet_forward_output(h2, f1i);
    o.upper_re[e] = quiet_forward_output(minus_h1, f1r);
    o.upper_im[e] = quiet_forward_output(h2, static_cast<int16_t>(-f1i));
  }
}

// Largest magnitude of a packed spectrum value at which nothing in the inverse split saturates:
// every f lies within +-13572 (negate(sat16(v)) is then -v), |h| <= 13572 * 46341 < 2^30 and
// |2 h + 65536 f| <= 2147334696 < 2^31, so the chain is exact: ((h >> 15) + f + 1) >> 1 as above,
// and for bin m's imaginary part L_negate(L_deposit_h(f1i)) + L_negate(sat32(2 (-h2))) =
// 2 h2 - 65536 f1i exactly.
constexpr int16_t SPLIT_QUIET_LIMIT = 6786;

// The inverse split of bins 1..63 of the packed spectrum y (and a value for bin 64 that the caller
// replaces), when within(y, SPLIT_QUIET_LIMIT): f2r = negate(add(y_k.im, y_m.im)) = -(y_k.im +
// y_m.im), f2i = y_k.re - y_m.re; bin k takes h1 = f2r c + f2i s and h2 = f2i c - f2r s, bin m f2r
// (-c) - f2i s = -h1 and -(f2i (-c) + f2r s) = h2.
constexpr int16_t quiet_split_output(int32_t h, int32_t f) {
  return static_cast<int16_t>(((h >> 15) + f + 1) >> 1);
}

void split_inverse_quiet(const Planes& y, SplitBins& o) {
  Row mre;
  Row mim;
  mirror(y.re, mre);
  mirror(y.im, mim);
  for (int e = 0; e < BUTTERFLIES; ++e) {
    const int16_t kr = y.re[e + 1];
    const int16_t ki = y.im[e + 1];
    const auto f1r = static_cast<int16_t>(kr + mre[e]);
    const auto f1i = static_cast<int16_t>(ki - mim[e]);
    const auto f2r = static_cast<int16_t>(-(ki + mim[e]));
    const auto f2i = static_cast<int16_t>(kr - mre[e]);
    const int16_t c = SPLIT_TWIDDLES.c[e];
    const int16_t s = SPLIT_TWIDDLES.s[e];
    const int32_t h1 = int32_t{f2r} * c + int32_t{f2i} * s;
    const int32_t h2 = int32_t{f2i} * c - int32_t{f2r} * s;
    o.lower_re[e] = quiet_split_output(h1, f1r);
    o.lower_im[e] = quiet_split_output(h2, f1i);
    o.upper_re[e] = quiet_split_output(-h1, f1r);
    o.upper_im[e] = quiet_split_output(h2, -int32_t{f1i});
  }
}

// Real transforms on planes.

// The split of the forward transform on planes: from the output of fast_complex<true> in planes 1
// of w to the packed spectrum as planes, the values of the straightforward split.
void forward_split_planes(const Transform& w, FftPlanes& out) {
  const Planes& z = w.p[1];
  SplitBins o;
  if (within(z, FORWARD_SPLIT_QUIET_LIMIT)) {
    split_forward_quiet(z, o);
  } else {
    split_forward_fast(z, o);
  }
  out.re[0] = add(z.re[0], z.im[0]);
  out.im[0] = sub(z.re[0], z.im[0]);
  for (int e = 0; e < BUTTERFLIES - 1; ++e) {
    out.re[e + 1] = o.lower_re[e];
    out.im[e + 1] = o.lower_im[e];
  }
  // Entry e of the upper rows is bin 127 - e.
  for (int e = 0; e < BUTTERFLIES - 1; ++e) {
    out.re[POINTS - 1 - e] = o.upper_re[e];
    out.im[POINTS - 1 - e] = o.upper_im[e];
  }
  // Bin 64 by fft_split_forward_bin, on a block holding only its pair.
  std::array<int16_t, FFT_LENGTH> pair;
  pair[POINTS] = z.re[BUTTERFLIES];
  pair[POINTS + 1] = z.im[BUTTERFLIES];
  fft_split_forward_bin(pair.data(), POINTS);
  out.re[BUTTERFLIES] = pair[POINTS];
  out.im[BUTTERFLIES] = pair[POINTS + 1];
}

// Inverse on planes: the packed spectrum as planes to the 128 sample pairs in planes 1 of w.
void inverse_real_planes(const FftPlanes& y, Transform& w) {
  Planes& z = w.p[0];
  if (within(y, SPLIT_QUIET_LIMIT)) {
    SplitBins o;
    split_inverse_quiet(y, o);
    for (int e = 0; e < BUTTERFLIES - 1; ++e) {
      z.re[e + 1] = o.lower_re[e];
      z.im[e + 1] = o.lower_im[e];
    }
    unmirror(o.upper_re, z.re);
    unmirror(o.upper_im, z.im);
    std::array<int16_t, FFT_LENGTH> pair;
    pair[POINTS] = y.re[BUTTERFLIES];
    pair[POINTS + 1] = y.im[BUTTERFLIES];
    fft_split_inverse_bin(pair.data(), POINTS);
    z.re[BUTTERFLIES] = pair[POINTS];
    z.im[BUTTERFLIES] = pair[POINTS + 1];
  } else {
    std::array<int16_t, FFT_LENGTH> x;
    fft_from_planes(y, x.data());
    for (int i = 2; i <= POINTS; i += 2) fft_split_inverse_bin(x.data(), i);
    fft_to_planes(x.data(), z);
  }
  z.re[0] = shr(add(y.re[0], y.im[0]), 1);
  z.im[0] = shr(sub(y.re[0], y.im[0]), 1);
  fast_complex<false>(w);
}

}  // namespace

void fft_to_planes(const int16_t* x, FftPlanes& z) {
  for (int m = 0; m < POINTS; ++m) {
    z.re[m] = x[2 * m];
    z.im[m] = x[2 * m + 1];
  }
}

void fft_from_planes(const FftPlanes& z, int16_t* x) {
  for (int m = 0; m < POINTS; ++m) {
    x[2 * m] = z.re[m];
    x[2 * m + 1] = z.im[m];
  }
}

void complex_fft_planes(FftTransform& w, int16_t direction) {
  if (direction == 1) {
    fast_complex<true>(w);
  } else {
    fast_complex<false>(w);
  }
}

// The steps of fast_complex<true>, then the split.
void real_fft_forward_step(FftTransform& w, int step, FftPlanes& spectrum) {
  switch (step) {
    case 0: first_two_stages<true>(w.p[0]); break;
    case 1: forward_stage<2, 0, 1>(w); break;
    case 2: forward_stage<3, 1, 0>(w); break;
    case 3: forward_stage<4, 0, 1>(w); break;
    case 4: forward_stage<5, 1, 0>(w); break;
    case 5: forward_stage<6, 0, 1>(w); break;
    default: forward_split_planes(w, spectrum); break;
  }
}

void real_fft_inverse_planes(const FftPlanes& spectrum, int16_t* x) {
  Transform w;
  inverse_real_planes(spectrum, w);
  fft_from_planes(w.p[1], x);
}

}  // namespace halvern
