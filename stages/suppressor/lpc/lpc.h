// Linear-prediction analysis of a 256-sample block: autocorrelation, Levinson-Durbin recursion,
// line spectral pairs and line spectral frequencies.
#pragma once

#include <array>
#include <cstdint>

#include "fixedpoint/diagnostics.h"

namespace halvern {

inline constexpr int LPC_ORDER = 10;
inline constexpr int LPC_BLOCK = 256;

// The straightforward forms of these operations, and the entry points that only tests use, are
// in lpc_reference.h; each pair gives the same bits (and the same messages) for every input,
// which the tests check.

// Cosine grid scanned for the roots of the line-spectral-pair polynomials, Q15: entry k
// (k = 0..60) is 32768 cos(pi k / 60) truncated toward zero, except the two end points, which
// are 32760 and -32760 instead of +-32768.
inline constexpr std::array<int16_t, 61> LSP_GRID = {
    32760,  32723,  32588,  32364,  32051,  31651,  31164,  30591,  29935,  29196,  28377,
    27481,  26509,  25465,  24351,  23170,  21926,  20621,  19260,  17846,  16384,  14876,
    13327,  11743,  10125,  8480,   6812,   5126,   3425,   1714,   0,      -1714,  -3425,
    -5126,  -6812,  -8480,  -10125, -11743, -13327, -14876, -16384, -17846, -19260, -20621,
    -21926, -23170, -24351, -25465, -26509, -27481, -28377, -29196, -29935, -30591, -31164,
    -31651, -32051, -32364, -32588, -32723, -32760,
};

// Arc-cosine breakpoints, Q15: entry k (k = 0..64) is the integer nearest to
// 32768 cos(pi k / 64), limited to 32767 at k = 0 (entry 64 is -32768).
inline constexpr std::array<int16_t, 65> LSF_COS_TABLE = {
    32767,  32729,  32610,  32413,  32138,  31786,  31357,  30853,  30274,  29622,  28899,
    28106,  27246,  26320,  25330,  24279,  23170,  22006,  20788,  19520,  18205,  16846,
    15447,  14010,  12540,  11039,  9512,   7962,   6393,   4808,   3212,   1608,   0,
    -1608,  -3212,  -4808,  -6393,  -7962,  -9512,  -11039, -12540, -14010, -15447, -16846,
    -18205, -19520, -20788, -22006, -23170, -24279, -25330, -26320, -27246, -28106, -28899,
    -29622, -30274, -30853, -31357, -31786, -32138, -32413, -32610, -32729, -32768,
};

// Arc-cosine slopes: entry k (k = 0..63) is the integer nearest to 2^20 / (c[k + 1] - c[k]),
// where c[k] is the integer nearest to 32768 cos(pi k / 64) without the limit (c[0] = 32768):
// one table interval (256 frequency units) over its cosine step, scaled by 2^12.
inline constexpr std::array<int16_t, 64> LSF_SLOPE_TABLE = {
    -26887, -8812, -5323, -3813, -2979, -2444, -2081, -1811, -1608, -1450, -1322, -1219,  -1132,
    -1059,  -998,  -946,  -901,  -861,  -827,  -797,  -772,  -750,  -730,  -713,  -699,   -687,
    -677,   -668,  -662,  -657,  -654,  -652,  -652,  -654,  -657,  -662,  -668,  -677,   -687,
    -699,   -713,  -730,  -750,  -772,  -797,  -827,  -861,  -901,  -946,  -998,  -1059,  -1132,
    -1219,  -1322, -1450, -1608, -1811, -2081, -2444, -2979, -3813, -5323, -8812, -26887,
};

// r[0..10]: autocorrelation of the 256-sample block at lags 0 to 10, normalised so that r[0] lies
// in [2^30, 2^31). The block is not changed.
void autocorrelation(const int16_t* block, int32_t* r);

// a[0..10] in Q12 (a[0] = 4096) from r[0..10] by the Levinson-Durbin recursion; the trivial
// predictor when the recursion becomes unstable. An invalid division is reported to diag (may be
// null) and gives k = 0 for that order. Calls between(context) after each order it completes (at
// most ten times, fewer when the recursion stops early), so that a caller can interleave
// independent work with the recursion's long chain of dependent steps.
void levinson_durbin_interleaved(int16_t* a, const int32_t* r, Diagnostics* diag,
                                 void (*between)(void*), void* context);

// lsp[0..9] (Q15 cosines) from a[1..10]; a copy of fallback[0..9] when fewer than ten roots are
// found.
void lpc_to_lsp(const int16_t* a, int16_t* lsp, const int16_t* fallback);

// The root search of lpc_to_lsp one grid point and one bisection at a time, evaluating the
// polynomials with evaluate (chebyshev_value or chebyshev_value_saturating): the same roots.
// lpc_to_lsp takes it for the polynomials its fast search does not cover.
void lsp_search_sequential(const int16_t* a, int16_t* lsp, const int16_t* fallback,
                           int16_t (*evaluate)(int16_t x, const int16_t* f));

// The Q14 value at the Q15 cosine x of the polynomial with Q10 coefficients f[1..5].
// chebyshev_value_saturating is the recurrence one saturating operator at a time, which
// chebyshev_value takes where its exact 64-bit form could leave the 32-bit range; both give the
// same bits for every input.
int16_t chebyshev_value(int16_t x, const int16_t* f);
int16_t chebyshev_value_saturating(int16_t x, const int16_t* f);

// lsf[0..9] (16384 = half the sampling rate) from lsp[0..9].
void lsp_to_lsf(const int16_t* lsp, int16_t* lsf);

}  // namespace halvern
