// Normalisation of a 256-sample block before a transform, and the matching rescaling after it.
#pragma once

#include <cstdint>

namespace halvern {

inline constexpr int BLOCK_SCALE_LENGTH = 256;

// Shifts the 256 samples of x in place so that the largest magnitude keeps `headroom` bits free,
// with saturation on the way up and rounding on the way down. Returns the shift applied (positive
// = left). Magnitudes are taken modulo 2^16, so -32768 counts only when every sample is -32768.
int16_t block_normalise(int16_t* x, int16_t headroom);

// Every one of the 256 samples of x becomes shr_r(x[i], n), in place.
void block_rescale(int16_t* x, int16_t n);

}  // namespace halvern
