#include "stages/dither/dither.h"

#include <algorithm>
#include <array>
#include <cstddef>

#include "fixedpoint/basic_ops.h"
#include "fixedpoint/dsp_ops.h"
#include "tuning/slot_catalogue.h"

namespace halvern {

void dither_reset(DitherContext* ctx) {
  *ctx = DitherContext{};
  stage_header_reset(&ctx->header, -1);
  ctx->threshold = -1;
  ctx->seed = DITHER_SEED;
}

void dither_configure(DitherContext* ctx, const TuningSlots& slots) {
  const int v = slot_clamped(slots, slot_index("dither"));
  const int r = v % 10;
  ctx->threshold = DITHER_THRESHOLDS[static_cast<size_t>(r)];
  ctx->step = static_cast<int16_t>(r / 3 + 1);
  ctx->period = static_cast<int16_t>(v / 10);
}

namespace {

void dither_frame_per_sample(DitherContext* ctx) {
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
}

// Samples dithered at once, and the generator lanes advanced together.
constexpr int DITHER_CHUNK = 640;
constexpr int DITHER_LANES = 8;

// The generator: Random leaves seed' = 31821 seed + 13849 modulo 2^16 (L_mult doubles the
// product and L_shr halves it back exactly, and |31821 seed| + 13849 < 2^31, so L_add does not
// saturate; extract_l keeps the low 16 bits). k steps at once are again such a map,
// seed_k = A_k seed + C_k modulo 2^16, with A_1 = 31821, C_1 = 13849,
// A_{k+1} = 31821 A_k and C_{k+1} = 31821 C_k + 13849.
struct Jump {
  uint16_t a;
  uint16_t c;
};
constexpr std::array<Jump, DITHER_LANES + 1> make_jumps() {
  std::array<Jump, DITHER_LANES + 1> j{};
  j[0] = {1, 0};
  for (size_t k = 1; k <= DITHER_LANES; ++k) {
    j[k].a = static_cast<uint16_t>(31821u * j[k - 1].a);
    j[k].c = static_cast<uint16_t>(31821u * j[k - 1].c + 13849u);
  }
  return j;
}
constexpr std::array<Jump, DITHER_LANES + 1> JUMPS = make_jumps();

// One decision: with c = code (bit 0: d >= threshold, bit 1: d <= -threshold) and the held
// direction h: +1 when bit 0 is set and h is not -1; else -1 when bit 1 is set and h is not +1;
// else 0. Field 4 c + h (two bits each, h = 2 unused) holds the next direction for (c, h).
constexpr uint32_t make_dither_next() {
  uint32_t table = 0;
  for (uint32_t c = 0; c < 4; ++c) {
    for (uint32_t h : {0u, 1u, 3u}) {
      const int dir = h == 0 ? 0 : (h == 1 ? 1 : -1);
      int next = 0;
      if ((c & 1) != 0 && dir != -1) {
        next = 1;
      } else if ((c & 2) != 0 && dir != 1) {
        next = -1;
      }
      const uint32_t bits = next == 0 ? 0u : (next == 1 ? 1u : 3u);
      table |= bits << (8 * c + 2 * h);
    }
  }
  return table;
}
constexpr uint32_t DITHER_NEXT = make_dither_next();

inline uint16_t jump(uint16_t seed, Jump j) {
  return static_cast<uint16_t>(uint32_t{j.a} * seed + j.c);
}

void dither_frame(DitherContext* ctx) {
  // A step of -32768 has no 16-bit negation; the per-sample form handles it.
  if (ctx->step == MIN_16) {
    dither_frame_per_sample(ctx);
    return;
  }
  int16_t* out = ctx->header.output;
  const int n = ctx->header.frame_length;

  int counter = 0;  // every frame starts with a decision, as in the per-sample form
  auto seed = static_cast<uint16_t>(ctx->seed);
  // The direction in two bits: 0 for none, 1 for +1, 3 for -1 (as it is read from the context,
  // any value other than +1 and -1 counts as "neither", which is all the first decision of the
  // frame asks).
  uint32_t held = ctx->direction == 1 ? 1u : (ctx->direction == -1 ? 3u : 0u);
  const int threshold = ctx->threshold;
  const int16_t step = ctx->step;
  // The offset for each held direction (index 2 is never held).
  const std::array<int16_t, 4> offset_of = {0, step, 0, static_cast<int16_t>(-step)};
  const int period = ctx->period;
  for (int start = 0; start < n; start += DITHER_CHUNK) {
    const int len = std::min(DITHER_CHUNK, n - start);
    // The seeds drawn for the chunk's samples, eight lanes at a time, each lane stepping eight
    // draws ahead.
    uint16_t seeds[DITHER_CHUNK + DITHER_LANES];
    uint16_t lane[DITHER_LANES];
    for (int l = 0; l < DITHER_LANES; ++l) lane[l] = jump(seed, JUMPS[static_cast<size_t>(l + 1)]);
    for (int i = 0; i < len; i += DITHER_LANES) {
      for (int l = 0; l < DITHER_LANES; ++l) {
        seeds[i + l] = lane[l];
        lane[l] = jump(lane[l], JUMPS[DITHER_LANES]);
      }
    }
    seed = seeds[len - 1];
    // The decisions, in order, as they depend on the direction in force. First the two
    // comparisons of every draw, element-wise: code bit 0 for d >= threshold, bit 1 for
    // d <= -threshold, with d = seed >> 11 (-16..15).
    uint8_t code[DITHER_CHUNK];
    for (int i = 0; i < len; ++i) {
      const int d = static_cast<int16_t>(seeds[i]) >> 11;
      code[i] = static_cast<uint8_t>((d >= threshold ? 1 : 0) | (d <= -threshold ? 2 : 0));
    }
    // Then the state machine, without branches, as the draws are random: the direction is
    // held in two bits (0, 1, or 3 for -1), and the next one is read from the two-bit field
    // DITHER_NEXT >> (8 code + 2 state). With a period of 1 every sample decides.
    int16_t offset[DITHER_CHUNK];
    if (period == 1) {
      for (int i = 0; i < len; ++i) {
        held = (DITHER_NEXT >> (8 * code[i] + 2 * held)) & 3u;
        offset[i] = offset_of[held];
      }
    } else {
      for (int i = 0; i < len; ++i) {
        const uint32_t next = (DITHER_NEXT >> (8 * code[i] + 2 * held)) & 3u;
        held = counter == 0 ? next : held;
        offset[i] = offset_of[held];
        counter = counter + 1 == period ? 0 : counter + 1;
      }
    }
    // sat16(x + offset) in 16-bit lanes (the offset is +-step, 16 bits wide for every step but
    // -32768, which is left to dither_process_per_sample above).
    int16_t* x = out + start;
    for (int i = 0; i < len; ++i) x[i] = lane_add_saturating(x[i], offset[i]);
  }
  if (n <= 0) return;  // no decision: the direction stays as it was
  ctx->seed = static_cast<int16_t>(seed);
  ctx->direction = static_cast<int16_t>(held == 0 ? 0 : (held == 1 ? 1 : -1));
}

}  // namespace

int dither_process(DitherContext* ctx) {
  return stage_process(ctx, [](DitherContext& c) {
    dither_frame(&c);
    return 0;
  });
}

int dither_process_per_sample(DitherContext* ctx) {
  return stage_process(ctx, [](DitherContext& c) {
    dither_frame_per_sample(&c);
    return 0;
  });
}

}  // namespace halvern
