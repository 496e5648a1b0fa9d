#include "dsp/dsp_reference.h"

#include <algorithm>

#include "fixedpoint/basic_ops.h"

namespace halvern {

int16_t frame_level_db_reference(const int16_t* x, int n, MeanRule rule, int16_t rho) {
  // Energy with a running block exponent: the accumulator never passes 2^30 + 2^30.
  int32_t acc = 0;
  int s = 1;
  for (int i = 0; i < n; ++i) {
    const int32_t p = L_shr_n(L_mult(x[i], x[i]), std::min(s, 31));
    acc = L_add(acc, p);
    if (acc > FRAME_ENERGY_LIMIT) {
      acc >>= 1;
      ++s;
    }
  }
  return level_from_energy(acc, s, n, rule, rho);
}

}  // namespace halvern
