#include "fixedpoint/fixedpoint_reference.h"

#include "fixedpoint/basic_ops.h"

namespace halvern {

int16_t block_normalise_reference(int16_t* x, int16_t headroom) {
  int16_t m = MIN_16;
  for (int i = 0; i < BLOCK_SCALE_LENGTH; ++i) {
    // The magnitude wraps at 2^16: |-32768| stays -32768.
    const auto magnitude = static_cast<int16_t>(x[i] < 0 ? -int32_t{x[i]} : x[i]);
    if (magnitude > m) m = magnitude;
  }
  const int16_t exp = m == 0 ? int16_t{16} : norm_s(m);
  const auto s = static_cast<int16_t>(exp - headroom);
  block_rescale_reference(x, negate(s));
  return s;
}

void block_rescale_reference(int16_t* x, int16_t n) {
  for (int i = 0; i < BLOCK_SCALE_LENGTH; ++i) x[i] = shr_r(x[i], n);
}

int16_t block_normalise(int16_t* x, int16_t headroom) {
  int16_t m = MIN_16;
  for (int i = 0; i < BLOCK_SCALE_LENGTH; ++i) {
    const int16_t magnitude = wrapped_magnitude(x[i]);
    m = magnitude > m ? magnitude : m;
  }
  const int16_t s = normalise_shift(m, headroom);
  block_rescale(x, negate(s));
  return s;
}

void block_rescale(int16_t* x, int16_t n) {
  with_rescale(n, [x](auto rescaled) {
    for (int i = 0; i < BLOCK_SCALE_LENGTH; ++i) x[i] = rescaled(x[i]);
  });
}

}  // namespace halvern
