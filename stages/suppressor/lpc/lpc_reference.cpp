#include "stages/suppressor/lpc/lpc_reference.h"

#include <array>

#include "fixedpoint/basic_ops.h"
#include "stages/suppressor/lpc/levinson_steps.h"

namespace halvern {

namespace {

// 1 + the sum of the squares of y, exact.
int64_t block_energy(const std::array<int16_t, LPC_BLOCK>& y) {
  int64_t e = 1;
  for (const int16_t v : y) e += int32_t{v} * v;
  return e;
}

}  // namespace

void autocorrelation_reference(const int16_t* block, int32_t* r) {
  std::array<int16_t, LPC_BLOCK> y;
  for (int n = 0; n < LPC_BLOCK; ++n) y[n] = block[n];

  // Halve the working copy until the energy fits 31 bits; a full-scale block needs four halvings.
  int64_t energy = block_energy(y);
  while (energy >= (int64_t{1} << 31)) {
    for (int16_t& v : y) v = static_cast<int16_t>(v >> 1);
    energy = block_energy(y);
  }

  const int16_t s = norm_l(static_cast<int32_t>(energy));
  const int32_t scale = int32_t{1} << s;
  r[0] = static_cast<int32_t>(energy) * scale;

  // Every partial sum is bounded by the energy (Cauchy-Schwarz), so neither the 32-bit sum nor
  // the shift by s can overflow.
  for (int i = 1; i <= LPC_ORDER; ++i) {
    int32_t sum = 0;
    for (int n = 0; n < LPC_BLOCK - i; ++n) sum += int32_t{y[n]} * y[n + i];
    r[i] = sum * scale;
  }
}

void levinson_durbin(int16_t* a, const int32_t* r, Diagnostics* diag) {
  levinson_durbin_interleaved(
      a, r, diag, [](void*) {}, nullptr);
}

void levinson_durbin_reference(int16_t* a, const int32_t* r, Diagnostics* diag) {
  levinson::State s = levinson::first_order(r, diag);
  for (int i = 2; i <= LPC_ORDER; ++i) {
    if (!levinson::order(i, s, r, a, diag)) return;
  }
  levinson::to_q12(s, a);
}

void lpc_to_lsp_reference(const int16_t* a, int16_t* lsp, const int16_t* fallback) {
  lsp_search_sequential(a, lsp, fallback, &chebyshev_value_saturating);
}

void lsp_to_lsf_reference(const int16_t* lsp, int16_t* lsf) {
  // Piecewise-linear arc cosine; the table index only moves down, from the highest frequency on.
  int ind = 63;
  for (int i = LPC_ORDER - 1; i >= 0; --i) {
    while (sub(LSF_COS_TABLE[ind], lsp[i]) < 0) --ind;
    const int32_t step = L_mult(sub(lsp[i], LSF_COS_TABLE[ind]), LSF_SLOPE_TABLE[ind]);
    lsf[i] = add(round_fx(L_shl(step, 3)), shl(static_cast<int16_t>(ind), 8));
  }
}

}  // namespace halvern
