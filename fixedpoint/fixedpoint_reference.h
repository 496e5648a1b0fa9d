// The fixed-point library's entry points that only tests and the reference engine use: the whole
// block normalisation and rescaling (the program fuses their pieces, block_scale.h, with other
// passes), each also in its straightforward form, one operator at a time.
#pragma once

#include <cstdint>

#include "fixedpoint/block_scale.h"

namespace halvern {

// Shifts the 256 samples of x in place so that the largest magnitude keeps `headroom` bits free,
// with saturation on the way up and rounding on the way down. Returns the shift applied (positive
// = left). Magnitudes are taken modulo 2^16, so -32768 counts only when every sample is -32768.
int16_t block_normalise(int16_t* x, int16_t headroom);

// Every one of the 256 samples of x becomes shr_r(x[i], n), in place.
void block_rescale(int16_t* x, int16_t n);

// The same two with the operators one sample at a time, kept to check the forms above against.
int16_t block_normalise_reference(int16_t* x, int16_t headroom);
void block_rescale_reference(int16_t* x, int16_t n);

}  // namespace halvern
