// Normalisation of a 256-sample block before a transform, and the matching rescaling after it.
#pragma once

#include <cstdint>

#include "fixedpoint/basic_ops.h"

namespace halvern {

inline constexpr int BLOCK_SCALE_LENGTH = 256;

// block_normalise and block_rescale (fixedpoint_reference.h) shift a block before a transform
// and back after it; the pieces below form them, for callers that fuse them with other passes
// over a block.
// The magnitude block_normalise scans for: |v| wrapped at 2^16 ((v ^ s) - s with s = v >> 15 is
// |v|, except that -32768 stays -32768), the largest over the values, from -32768 up.
constexpr int16_t wrapped_magnitude(int16_t v) {
  const auto sign = static_cast<int16_t>(v >> 15);
  return static_cast<int16_t>((v ^ sign) - sign);
}

// The shift block_normalise applies for the largest wrapped magnitude m.
constexpr int16_t normalise_shift(int16_t m, int16_t headroom) {
  const int16_t exp = m == 0 ? int16_t{16} : norm_s(m);
  return static_cast<int16_t>(exp - headroom);
}

// Calls apply with the element-wise form of block_rescale(., n), one form per range of n so that
// the loops apply runs are free of branches:
// - n > 15: shr_r gives 0.
// - 0 < n <= 15: shr_r is the shifted value plus bit n - 1; for n = 15 the shift gives 0 or -1 as
//   shr_n's limit does. The sum cannot overflow since the shifted value is within +-16384. (The
//   shift counts are masked to 0..15, which they already are, so that 16-bit lanes can shift.)
// - n < 0: shr_r(v, n) = shl(v, -n), v 2^-n saturated. For -n <= 15 the values that fit are those
//   within [-32768 >> -n, 32767 >> -n], and their product with 2^-n fits 16 bits (for -n = 15
//   the factor 32768 wraps to -32768, and -1 x -32768 wraps back to -32768 as it should); beyond
//   15 every non-zero value saturates (both limits 0, and 0 times anything is 0).
// - n = 0: the value itself.
template <typename Apply>
void with_rescale(int16_t n, Apply&& apply) {
  if (n > 15) {
    apply([](int16_t) { return int16_t{0}; });
  } else if (n > 0) {
    const int down = n & 15;
    const int below = (n - 1) & 15;
    apply([down, below](int16_t v) {
      return static_cast<int16_t>((v >> down) + ((v >> below) & 1));
    });
  } else if (n < 0) {
    const int up = -n > 15 ? 16 : -n;
    const auto high = static_cast<int16_t>(up > 15 ? 0 : MAX_16 >> up);
    const auto low = static_cast<int16_t>(up > 15 ? 0 : MIN_16 >> up);
    const auto scale = static_cast<int16_t>(1 << (up > 15 ? 15 : up));
    apply([high, low, scale](int16_t v) {
      const auto scaled = static_cast<int16_t>(v * scale);
      return v > high ? MAX_16 : (v < low ? MIN_16 : scaled);
    });
  } else {
    apply([](int16_t v) { return v; });
  }
}
}  // namespace halvern
