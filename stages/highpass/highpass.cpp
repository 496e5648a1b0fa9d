#include "stages/highpass/highpass.h"

#include <algorithm>

#include "fixedpoint/basic_ops.h"
#include "tuning/slot_catalogue.h"

namespace halvern {

void highpass_reset(HighPassContext* ctx) {
  *ctx = HighPassContext{};
  stage_header_reset(&ctx->header, 0);
}

// The slots this stage reads.
constexpr int kCutoff = slot_index("hp_cutoff_hz");
constexpr int kGain = slot_index("hp_gain_tenth_db");

void highpass_configure(HighPassContext* ctx, const TuningSlots& slots) {
  const int cutoff = slot_in_range(slots, kCutoff) ? slots[kCutoff] : 0;
  const auto& row = HIGHPASS_COEFFS_16K[static_cast<size_t>(2 * cutoff / 100)];
  ctx->b0 = row[0];
  ctx->b1 = row[1];
  ctx->b2 = row[2];
  ctx->a1 = row[3];
  ctx->a2 = row[4];
  ctx->gain_q11 = half_db_gain_q11(slots[kGain]);
}

namespace {

constexpr int HIGHPASS_CHUNK = 640;

// The recursion over the n samples of x, storing the high word h of each accumulator in
// high[] and updating m. Returns false, with m and high[] to be discarded, when an h lies outside
// [-2^29, 2^29) or the entry y1 is not a multiple of 4.
//
// The accumulator is the exact recursion's, with the terms grouped so that only a1 y1 lies on the
// chain from one sample to the next (the input terms and a2 y2 are formed off it), and
// y1 = (int32)(4 h) mod 2^32 of the previous step equals 4 h exactly when h lies in
// [-2^29, 2^29), so that a1 y1 = (4 a1) h; on entry y1 = 4 (y1 >> 2) when it is a multiple of 4.
// Integer sums are exact in any order (highpass_recursion_exact bounds them below 2^63).
template <bool kSymmetric>
bool recursion_fast(const int16_t* x, int n, int32_t* high, const HighPassContext& c,
                    HighPassMemories* m) {
  if ((m->y1 & 3) != 0) return false;
  const int64_t b0 = c.b0;
  const int64_t b1 = c.b1;
  const int64_t b2 = c.b2;
  const int64_t a1_times_4 = int64_t{c.a1} * 4;
  const int64_t a2 = c.a2;
  int32_t x1 = m->x1;
  int32_t x2 = m->x2;
  int64_t h = m->y1 >> 2;  // 4 h = y1
  int32_t y2 = m->y2;
  uint64_t remainder = m->remainder;
  bool wide = false;
  for (int i = 0; i < n; ++i) {
    const int32_t in = int32_t{x[i]} * 64;
    // With b2 = b0 (every row of the table), b0 x + b2 x2 = b0 (x + x2), one product less.
    const int64_t f = kSymmetric ? b0 * (in + x2) + b1 * x1 : b0 * in + b1 * x1 + b2 * x2;
    // The last product and sum wrap modulo 2^64 (unsigned): an h outside the fast range could
    // take them past 64 bits, and that chunk is then done again by the exact form anyway.
    const auto t =
        static_cast<int64_t>(static_cast<uint64_t>(f + a2 * y2 + static_cast<int64_t>(remainder)) +
                             static_cast<uint64_t>(a1_times_4) * static_cast<uint64_t>(h));
    remainder = static_cast<uint32_t>(t);
    y2 = static_cast<int32_t>(static_cast<uint32_t>(h) * 4u);  // this step's y1
    h = t >> 32;
    wide |= static_cast<uint64_t>(h + (int64_t{1} << 29)) >= (uint64_t{1} << 30);
    high[i] = static_cast<int32_t>(h);
    x2 = x1;
    x1 = in;
  }
  if (wide) return false;
  m->x1 = x1;
  m->x2 = x2;
  m->y1 = static_cast<int32_t>(static_cast<uint32_t>(h) * 4u);  // kept to 32 bits
  m->y2 = y2;
  m->remainder = static_cast<uint32_t>(remainder);
  return true;
}

}  // namespace

void highpass_recursion_exact(const int16_t* x, int n, int32_t* high, const HighPassContext& c,
                              HighPassMemories* m) {
  // The accumulator cannot overflow 64 bits: |a1 y1| <= 2^62, |a2 y2| <= 2^61, and the three
  // input products and the remainder stay below 2^53.
  for (int i = 0; i < n; ++i) {
    const int32_t in = int32_t{x[i]} * 64;
    const int64_t t = int64_t{c.b0} * in + int64_t{c.a2} * m->y2 + int64_t{c.a1} * m->y1 +
                      int64_t{c.b2} * m->x2 + int64_t{c.b1} * m->x1 + int64_t{m->remainder};
    m->remainder = static_cast<uint32_t>(t);
    const auto h = static_cast<int32_t>(t >> 32);
    m->y2 = m->y1;
    m->y1 = static_cast<int32_t>(static_cast<uint32_t>(h) * 4u);  // kept to 32 bits
    m->x2 = m->x1;
    m->x1 = in;
    high[i] = h;
  }
}

namespace {

void highpass_frame(HighPassContext* ctx) {
  int16_t* out = ctx->header.output;
  const int n = ctx->header.frame_length;

  // The recursion first, storing the high word h of every accumulator; then, element-wise, the
  // rounding (h + 8) >> 4, which is (h >> 4) plus bit 3 of h and so cannot overflow, and the
  // gain, by q11_gain's closed form (level_gain.h), skipped at 2048 where it changes nothing.
  HighPassMemories m{ctx->x1, ctx->x2, ctx->y1, ctx->y2, ctx->remainder};
  const int32_t gain = ctx->gain_q11;
  for (int start = 0; start < n; start += HIGHPASS_CHUNK) {
    const int len = std::min(HIGHPASS_CHUNK, n - start);
    int16_t* x = out + start;
    int32_t high[HIGHPASS_CHUNK];
    HighPassMemories next = m;
    const bool fast = ctx->b2 == ctx->b0 ? recursion_fast<true>(x, len, high, *ctx, &next)
                                         : recursion_fast<false>(x, len, high, *ctx, &next);
    if (fast) {
      m = next;
    } else {
      highpass_recursion_exact(x, len, high, *ctx, &m);
    }
    for (int i = 0; i < len; ++i) {
      const int32_t r = std::clamp((high[i] >> 4) + ((high[i] >> 3) & 1), -32768, 32767);
      x[i] = static_cast<int16_t>(r);
    }
    if (gain != 2048) {
      for (int i = 0; i < len; ++i) {
        const int32_t r = (int32_t{x[i]} * gain + 1024) >> 11;
        x[i] = static_cast<int16_t>(std::clamp(r, -32768, 32767));
      }
    }
  }
  ctx->x1 = m.x1;
  ctx->x2 = m.x2;
  ctx->y1 = m.y1;
  ctx->y2 = m.y2;
  ctx->remainder = m.remainder;
}

}  // namespace

int highpass_process(HighPassContext* ctx) {
  return stage_process(ctx, [](HighPassContext& c) {
    highpass_frame(&c);
    return 0;
  });
}

}  // namespace halvern
