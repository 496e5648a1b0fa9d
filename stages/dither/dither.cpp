#include "stages/dither/dither.h"

#include <algorithm>

#include "fixedpoint/basic_ops.h"
#include "fixedpoint/dsp_ops.h"

namespace halvern {

void dither_reset(DitherContext* ctx) {
  *ctx = DitherContext{};
  stage_header_reset(&ctx->header, -1);
  ctx->threshold = -1;
  ctx->seed = DITHER_SEED;
}

void dither_configure(DitherContext* ctx, const TuningSlots& slots) {
  const int v = std::clamp<int>(slots[60], 10, 39);
  const int r = v % 10;
  ctx->threshold = DITHER_THRESHOLDS[static_cast<size_t>(r)];
  ctx->step = static_cast<int16_t>(r / 3 + 1);
  ctx->period = static_cast<int16_t>(v / 10);
}

int dither_process(DitherContext* ctx) {
  if (!stage_copy_input(&ctx->header)) return -1;
  if (ctx->header.enable != 1) return 0;
  int16_t* out = ctx->header.output;
  const int n = ctx->header.frame_length;

  int counter = 0;  // every frame starts with a decision
  for (int i = 0; i < n; ++i) {
    // The generator advances on every sample, decision or not.
    const int d = Random(&ctx->seed) >> 11;  // -16..15
    int32_t s = out[i];
    if (counter == 0) {
      if (d >= ctx->threshold && ctx->direction != -1) {
        ctx->direction = 1;
      } else if (d <= -ctx->threshold && ctx->direction != 1) {
        ctx->direction = -1;
      } else {
        ctx->direction = 0;
      }
    }
    s += ctx->direction * ctx->step;
    if (++counter == ctx->period) counter = 0;
    out[i] = sat16(s);
  }
  return 0;
}

}  // namespace halvern
