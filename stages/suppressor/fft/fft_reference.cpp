#include "stages/suppressor/fft/fft_reference.h"

#include <utility>

#include "fixedpoint/basic_ops.h"

namespace halvern {

namespace {

// Puts the 128 complex values into bit-reversed order of their 7-bit index. i and j count block
// entries, two per complex value.
void bit_reverse(int16_t* x) {
  int16_t j = 0;
  for (int i = 0; i < FFT_LENGTH - 2; i += 2) {
    if (j > i) {
      std::swap(x[i], x[j]);
      std::swap(x[i + 1], x[j + 1]);
    }
    int16_t k = FFT_LENGTH / 2;
    while (j >= k) {
      j = sub(j, k);
      k = static_cast<int16_t>(k >> 1);
    }
    j = static_cast<int16_t>(j + k);
  }
}

// Forward butterfly: bottom times e^(-j theta), both outputs halved.
void butterfly_forward(int16_t* x, int p, int q, int16_t wr, int16_t wi) {
  const int16_t tr = round_fx(L_sub(L_mult(x[q], wr), L_mult(x[q + 1], wi)));
  const int16_t ti = round_fx(L_add(L_mult(x[q + 1], wr), L_mult(x[q], wi)));
  x[q] = shr(sub(x[p], tr), 1);
  x[q + 1] = shr(sub(x[p + 1], ti), 1);
  x[p] = shr(add(x[p], tr), 1);
  x[p + 1] = shr(add(x[p + 1], ti), 1);
}

// Inverse butterfly: bottom times e^(+j theta), no scaling.
void butterfly_inverse(int16_t* x, int p, int q, int16_t wr, int16_t wi) {
  const int16_t tr = round_fx(L_add(L_mult(x[q], wr), L_mult(x[q + 1], wi)));
  const int16_t ti = round_fx(L_sub(L_mult(x[q + 1], wr), L_mult(x[q], wi)));
  x[q] = sub(x[p], tr);
  x[q + 1] = sub(x[p + 1], ti);
  x[p] = add(x[p], tr);
  x[p + 1] = add(x[p + 1], ti);
}

}  // namespace

void complex_fft_reference(int16_t* x, int16_t direction) {
  bit_reverse(x);
  for (int s = 0; s < static_cast<int>(FFT_STAGE_STEPS.size()); ++s) {
    const int half = 2 << s;  // entries between the two inputs of a butterfly
    const int span = 2 * half;
    int t = 0;  // twiddle index, an entry of FFT_TWIDDLES
    for (int c = 0; c < half; c += 2) {
      const int16_t wr = FFT_TWIDDLES[t];
      const int16_t wi = FFT_TWIDDLES[t + 1];
      for (int p = c; p < FFT_LENGTH; p += span) {
        if (direction == 1) {
          butterfly_forward(x, p, p + half, wr, wi);
        } else {
          butterfly_inverse(x, p, p + half, wr, wi);
        }
      }
      t += 2 * FFT_STAGE_STEPS[s];
    }
  }
}

void real_fft_reference(int16_t* x, int16_t direction) {
  if (direction == 1) {
    complex_fft_reference(x, direction);
    // Z[0] = E[0] + j O[0]: the sum and difference of the even and odd sample sums give the
    // values at DC and at half the sampling rate.
    const int16_t a = x[0];
    const int16_t b = x[1];
    x[0] = add(a, b);
    x[1] = sub(a, b);
    for (int i = 2; i <= FFT_LENGTH / 2; i += 2) fft_split_forward_bin(x, i);
  } else {
    const int16_t a = x[0];
    const int16_t b = x[1];
    x[0] = shr(add(a, b), 1);
    x[1] = shr(sub(a, b), 1);
    for (int i = 2; i <= FFT_LENGTH / 2; i += 2) fft_split_inverse_bin(x, i);
    complex_fft_reference(x, direction);
  }
}

void complex_fft(int16_t* x, int16_t direction) {
  FftTransform w;
  fft_to_planes(x, w.p[0]);
  complex_fft_planes(w, direction);
  fft_from_planes(w.p[1], x);
}

void real_fft(int16_t* x, int16_t direction) {
  FftPlanes planes;
  fft_to_planes(x, planes);
  if (direction == 1) {
    FftPlanes spectrum;
    real_fft_forward_planes(planes, spectrum);
    fft_from_planes(spectrum, x);
  } else {
    real_fft_inverse_planes(planes, x);
  }
}

void real_fft_forward_planes(const FftPlanes& samples, FftPlanes& spectrum) {
  FftTransform w;
  w.p[0] = samples;
  for (int step = 0; step < FFT_FORWARD_STEPS; ++step) real_fft_forward_step(w, step, spectrum);
}

}  // namespace halvern
