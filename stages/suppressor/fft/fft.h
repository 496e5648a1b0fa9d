// Fixed-point 256-point real FFT on a 128-point complex radix-2 transform, in place.
#pragma once

#include <cstdint>

namespace halvern {

inline constexpr int FFT_LENGTH = 256;

// Forward (direction 1) or inverse (any other direction) 128-point complex transform of the
// block read as 128 complex values (re, im). The forward transform is scaled by 1/128.
void complex_fft(int16_t* x, int16_t direction);

// Forward (direction 1): 256 real samples to the packed half spectrum (x[0] DC, x[1] the value at
// half the sampling rate, x[2k], x[2k+1] real and imaginary part of bin k), scaled by 1/128.
// Inverse (any other direction): packed half spectrum back to 256 real samples.
void real_fft(int16_t* x, int16_t direction);

}  // namespace halvern
