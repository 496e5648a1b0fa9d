#include <utility>

#include "stages/suppressor/lpc/levinson_steps.h"
#include "stages/suppressor/lpc/lpc.h"

namespace halvern {

// The recursion with each order written out (levinson::order with a constant order, so that its
// loops unroll into plain scalar code), calling between(context) after each order it completes.
void levinson_durbin_interleaved(int16_t* a, const int32_t* r, Diagnostics* diag,
                                 void (*between)(void*), void* context) {
  levinson::State s = levinson::first_order(r, diag);
  between(context);
  const bool stable = [&]<int... I>(std::integer_sequence<int, I...>) {
    return ((levinson::order(I + 2, s, r, a, diag) && (between(context), true)) && ...);
  }
  (std::make_integer_sequence<int, LPC_ORDER - 1>{});
  if (stable) levinson::to_q12(s, a);
}

}  // namespace halvern
