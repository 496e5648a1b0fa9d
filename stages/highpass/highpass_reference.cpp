#include "stages/highpass/highpass_reference.h"

#include <algorithm>

#include "fixedpoint/basic_ops.h"

namespace halvern {

int highpass_process_reference(HighPassContext* ctx) {
  return stage_process(ctx, [](HighPassContext& c) {
    int16_t* out = c.header.output;
    const int n = c.header.frame_length;
    HighPassMemories m{c.x1, c.x2, c.y1, c.y2, c.remainder};
    constexpr int kChunk = 640;
    for (int start = 0; start < n; start += kChunk) {
      const int len = std::min(kChunk, n - start);
      int32_t high[kChunk];
      highpass_recursion_exact(out + start, len, high, c, &m);
      // T / 2^36, rounded.
      for (int i = 0; i < len; ++i) {
        out[start + i] = sat16(static_cast<int32_t>((int64_t{high[i]} + 8) >> 4));
      }
    }
    c.x1 = m.x1;
    c.x2 = m.x2;
    c.y1 = m.y1;
    c.y2 = m.y2;
    c.remainder = m.remainder;
    for (int i = 0; i < n; ++i) out[i] = round_fx(L_shl(L_mult(out[i], c.gain_q11), 4));
    return 0;
  });
}

}  // namespace halvern
