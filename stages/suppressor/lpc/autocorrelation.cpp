#include <array>
#include <utility>

#include "fixedpoint/basic_ops.h"
#include "stages/suppressor/lpc/lpc.h"

namespace halvern {
namespace {

// The lag sum of the zero-padded working copy over the whole block.
template <int Lag>
int32_t lag_sum(const std::array<int16_t, LPC_BLOCK + 16>& y) {
  int32_t sum = 0;
  for (int n = 0; n < LPC_BLOCK; ++n) sum += int32_t{y[n]} * y[n + Lag];
  return sum;
}

}  // namespace

// The steps of autocorrelation_reference (lpc_reference.cpp) with the loops in forms the compiler
// vectorises.
// - The energy of the 16-bit values is summed exactly in 64 bits, in any order.
// - The lag sums are 32-bit dot products. Every partial sum, over any subset of the terms and so
//   in any order, is bounded by the energy (Cauchy-Schwarz) and cannot overflow. The working
//   copy carries zeros after the block, so each lag runs over all 256 samples: the extra terms
//   are zero.
void autocorrelation(const int16_t* block, int32_t* r) {
  alignas(16) std::array<int16_t, LPC_BLOCK + 16> y{};
  for (int n = 0; n < LPC_BLOCK; ++n) y[n] = block[n];

  const auto energy_of = [&y] {
    int64_t e = 1;
    for (int n = 0; n < LPC_BLOCK; ++n) e += int32_t{y[n]} * y[n];
    return e;
  };
  int64_t energy = energy_of();
  while (energy >= (int64_t{1} << 31)) {
    for (int n = 0; n < LPC_BLOCK; ++n) y[n] = static_cast<int16_t>(y[n] >> 1);
    energy = energy_of();
  }

  const int16_t s = norm_l(static_cast<int32_t>(energy));
  r[0] = static_cast<int32_t>(energy) * (int32_t{1} << s);
  // One loop per lag, each over the whole block (written out so that each is vectorised as a
  // dot product rather than the lags across one another).
  [&]<int... Lag>(std::integer_sequence<int, Lag...>) {
    ((r[Lag + 1] = lag_sum<Lag + 1>(y) * (int32_t{1} << s)), ...);
  }
  (std::make_integer_sequence<int, LPC_ORDER>{});
}

}  // namespace halvern
