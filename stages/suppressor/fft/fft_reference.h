// The transform's entry points that only tests and the reference engine use: the whole transforms
// on an interleaved block, in their fast forms and in their straightforward forms (bit reversal
// and in-place butterflies, one basic operator at a time). Both give the same bits for every
// input, which the tests check.
#pragma once

#include <cstdint>

#include "stages/suppressor/fft/fft.h"

namespace halvern {

// Forward (direction 1) or inverse (any other direction) 128-point complex transform of the
// block read as 128 complex values (re, im), in place. The forward transform is scaled by 1/128;
// the inverse is not scaled.
void complex_fft(int16_t* x, int16_t direction);
void complex_fft_reference(int16_t* x, int16_t direction);

// Forward (direction 1): 256 real samples to the packed half spectrum, scaled by 1/128. Inverse
// (any other direction): the packed half spectrum back to 256 real samples (fft.h). In place.
void real_fft(int16_t* x, int16_t direction);
void real_fft_reference(int16_t* x, int16_t direction);

// real_fft(x, 1) on the block given as planes, the packed spectrum returned as planes.
void real_fft_forward_planes(const FftPlanes& samples, FftPlanes& spectrum);

}  // namespace halvern
