#include "fixedpoint/log_pow.h"

#include "fixedpoint/basic_ops.h"

namespace halvern {

void Log2(int32_t L, int16_t* exponent, int16_t* fraction) {
  if (L <= 0) {
    *exponent = 0;
    *fraction = 0;
    return;
  }
  const int16_t e = norm_l(L);
  L = L_shl(L, e);
  *exponent = sub(30, e);
  L = L_shr(L, 9);
  int16_t i = extract_h(L);  // 32..63
  L = L_shr(L, 1);
  const int16_t a = static_cast<int16_t>(extract_l(L) & 0x7fff);
  i = sub(i, 32);
  const int16_t tmp = sub(tabLog[i], tabLog[i + 1]);
  const int32_t y = L_msu(L_deposit_h(tabLog[i]), tmp, a);
  *fraction = extract_h(y);
}

int32_t Log2_poly(int32_t L) {
  const int16_t e = norm_l(L);
  const int32_t m = L_shl(L, e);
  const int16_t x = extract_h(m);  // Q15 mantissa in [0.5, 1)
  const int16_t k = negate(add(e, 1));
  const int16_t x2 = mult_r(x, x);
  const int32_t s = L_add(L_mult(x, 32709), L_mult(x2, -11050));
  const int32_t y = L_sub(s, 1422917632);  // ~ log2(x) / 4 in Q31
  const int32_t f = (y >> 3) & 0x3ffffff;  // 1 + log2(x) in Q26
  return L_add(L_deposit_h(shl(k, 10)), f);
}

int32_t Pow2(int32_t L) {
  const int16_t h = extract_h(L);                   // exponent in Q10
  const int32_t t = L_mult(h, 32);                  // exponent in Q16
  const int16_t k = sat16(~int32_t{extract_h(t)});  // -1 - floor(exponent)
  const int32_t f = t & 0xffff;
  const auto x = static_cast<int16_t>((f - 65536) >> 1);  // fraction - 1 in Q15, [-1, 0)
  const int16_t x2 = mult_r(x, x);
  const int32_t s = L_add(L_mult(x, 21871), L_mult(x2, 5615));
  const int32_t y = L_add(s, 0x7fbd0000);  // ~ 2^x in Q31
  if (k <= 0) return y;
  if (k >= 31) return y >> 31;
  return y >> k;
}

}  // namespace halvern
