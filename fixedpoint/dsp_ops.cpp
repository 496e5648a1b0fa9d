#include "fixedpoint/dsp_ops.h"

#include <cstdio>

namespace halvern {

int16_t div_s_reference(int16_t num, int16_t den) {
  if (num > den || num < 0 || den < 0) {
    char message[64];
    std::snprintf(message, sizeof message, "Division Error var1=%d  var2=%d\n", num, den);
    throw ArithmeticFault(message);
  }
  if (den == 0) throw ArithmeticFault("Division by 0, Fatal error \n");
  if (num == den) return MAX_16;
  int32_t r = num;
  int16_t q = 0;
  for (int i = 0; i < 15; ++i) {
    r *= 2;
    q = static_cast<int16_t>(q * 2);
    if (r >= den) {
      r = L_sub(r, den);
      q = add(q, 1);
    }
  }
  return q;
}

int32_t L_divide_reference(int32_t num, int32_t den, Diagnostics* diag) {
  if (num < 0 || den < 0 || num > den) {
    diagnostics_report(diag, L_DIVIDE_INVALID_INPUT);
    return 0;
  }
  const int16_t approx = div_s_reference(16383, extract_h(den));  // 1/den in Q14
  int32_t t = Mpy_32_16(den, approx);
  t = L_sub(MAX_32, t);
  const int32_t inv = Mpy_32_16(t, approx);  // 1/den in Q29
  const int32_t q = Mpy_32(num, inv);
  return L_shl(q, 2);
}

}  // namespace halvern
