#include "fixedpoint/dsp_ops.h"

#include <cassert>
#include <cstdio>

namespace halvern {

int16_t div_s_by_steps(int16_t num, int16_t den) {
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

int32_t L_divide_saturating(int32_t num, int32_t den, Diagnostics* diag) {
  if (num < 0 || den < 0 || num > den) {
    diagnostics_report(diag, L_DIVIDE_INVALID_INPUT);
    return 0;
  }
  const int16_t approx = div_s_by_steps(16383, extract_h(den));  // 1/den in Q14
  int32_t t = Mpy_32_16(den, approx);
  t = L_sub(MAX_32, t);
  const int32_t inv = Mpy_32_16(t, approx);  // 1/den in Q29
  const int32_t q = Mpy_32(num, inv);
  return L_shl(q, 2);
}

// L_divide_saturating for 0 <= num <= den with den in [2^30, 2^31), in plain 32-bit arithmetic;
// no operator of it saturates on the way, except the last shift:
// - the seed a = div_s(16383, dh) = floor(16383 2^15 / dh) for dh = den >> 16 in [16384, 32767];
// - Mpy_32_16(den, a) = 2 dh a + ((2 dl a) >> 15) (dl = bits 1..15 of den) is at most
//   2 16383 2^15 + 65532 < 2^30, so t = MAX_32 minus it lies in [2^30, 2^31);
// - inv = Mpy_32_16(t, a) is at most t a / 2^15 <= (2^31 - 2 dh a) a / 2^15 <= 2^44 / dh <= 2^30
//   (the bound over a is largest at a = 2^29 / dh);
// - Mpy_32(num, inv): the parts of num lie below 2^15, those of inv at most 2^14, so the cross
//   sum stays below 2^31 and the result q is at most num inv / 2^31 < 2^30;
// - L_shl(q, 2) is 4 q, or MAX_32 when q > MAX_32 / 4.
int32_t L_divide_seed(int32_t den) {
  assert(den >= (int32_t{1} << 30));
  return (16383 * 32768) / (den >> 16);
}

int32_t L_divide_seeded(int32_t num, int32_t den, int32_t a) {
  assert(num >= 0 && num <= den && den >= (int32_t{1} << 30));
  const int32_t dh = den >> 16;
  const int32_t dl = (den >> 1) & 0x7fff;
  const int32_t t = MAX_32 - (2 * dh * a + ((2 * dl * a) >> 15));
  const int32_t th = t >> 16;
  const int32_t tl = (t >> 1) & 0x7fff;
  const int32_t inv = 2 * th * a + ((2 * tl * a) >> 15);
  const int32_t nh = num >> 16;
  const int32_t nl = (num >> 1) & 0x7fff;
  const int32_t ih = inv >> 16;
  const int32_t il = (inv >> 1) & 0x7fff;
  const int32_t cross = ((nl * il) >> 15) + nh * il + ih * nl;
  const int32_t q = (cross >> 14) + 2 * nh * ih;
  return q > (MAX_32 >> 2) ? MAX_32 : 4 * q;
}

int32_t L_divide_normalised(int32_t num, int32_t den) {
  return L_divide_seeded(num, den, L_divide_seed(den));
}

}  // namespace halvern
