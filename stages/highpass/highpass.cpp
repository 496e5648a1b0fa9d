#include "stages/highpass/highpass.h"

#include <algorithm>

#include "fixedpoint/basic_ops.h"

namespace halvern {

int16_t half_db_gain_q11(int16_t tenths_db) {
  const int g = std::clamp<int>(tenths_db, -300, 240);
  return HIGHPASS_GAIN_Q11[static_cast<size_t>(g / 5 + 60)];
}

void highpass_reset(HighPassContext* ctx) {
  *ctx = HighPassContext{};
  stage_header_reset(&ctx->header, 0);
}

void highpass_configure(HighPassContext* ctx, const TuningSlots& slots) {
  int cutoff = slots[1];
  if (cutoff < 0 || cutoff > 800) cutoff = 0;
  const auto& row = HIGHPASS_COEFFS_16K[static_cast<size_t>(2 * cutoff / 100)];
  ctx->b0 = row[0];
  ctx->b1 = row[1];
  ctx->b2 = row[2];
  ctx->a1 = row[3];
  ctx->a2 = row[4];
  ctx->gain = half_db_gain_q11(slots[2]);
}

int highpass_process(HighPassContext* ctx) {
  if (!stage_copy_input(&ctx->header)) return -1;
  int16_t* out = ctx->header.output;
  const int n = ctx->header.frame_length;

  // The accumulator cannot overflow 64 bits: |a1 y1| <= 2^62, |a2 y2| <= 2^61, and the three
  // input products and the remainder stay below 2^53.
  for (int i = 0; i < n; ++i) {
    const int32_t x = int32_t{out[i]} * 64;
    const int64_t t = int64_t{ctx->b0} * x + int64_t{ctx->a2} * ctx->y2 +
                      int64_t{ctx->a1} * ctx->y1 + int64_t{ctx->b2} * ctx->x2 +
                      int64_t{ctx->b1} * ctx->x1 + int64_t{ctx->remainder};
    ctx->remainder = static_cast<uint32_t>(t);
    const auto h = static_cast<int32_t>(t >> 32);
    ctx->y2 = ctx->y1;
    ctx->y1 = static_cast<int32_t>(static_cast<uint32_t>(h) * 4u);  // kept to 32 bits
    ctx->x2 = ctx->x1;
    ctx->x1 = x;
    out[i] = sat16(static_cast<int32_t>((int64_t{h} + 8) >> 4));  // T / 2^36, rounded
  }
  for (int i = 0; i < n; ++i) out[i] = round_fx(L_shl(L_mult(out[i], ctx->gain), 4));
  return 0;
}

}  // namespace halvern
