// Linear-prediction analysis of a 256-sample block: autocorrelation, Levinson-Durbin recursion,
// line spectral pairs and line spectral frequencies.
#pragma once

#include <cstdint>

#include "fixedpoint/diagnostics.h"

namespace halvern {

inline constexpr int LPC_ORDER = 10;
inline constexpr int LPC_BLOCK = 256;

// r[0..10]: autocorrelation of the 256-sample block at lags 0 to 10, normalised so that r[0] lies
// in [2^30, 2^31). The block is not changed.
void autocorrelation(const int16_t* block, int32_t* r);

// a[0..10] in Q12 (a[0] = 4096) from r[0..10]; the trivial predictor when the recursion becomes
// unstable. An invalid division is reported to diag (may be null) and gives k = 0 for that order.
void levinson_durbin(int16_t* a, const int32_t* r, Diagnostics* diag);

// lsp[0..9] (Q15 cosines) from a[1..10]; a copy of fallback[0..9] when fewer than ten roots are
// found.
void lpc_to_lsp(const int16_t* a, int16_t* lsp, const int16_t* fallback);

// The Q14 value at the Q15 cosine x of the polynomial with Q10 coefficients f[1..5].
int16_t chebyshev_value(int16_t x, const int16_t* f);

// lsf[0..9] (16384 = half the sampling rate) from lsp[0..9].
void lsp_to_lsf(const int16_t* lsp, int16_t* lsf);

}  // namespace halvern
