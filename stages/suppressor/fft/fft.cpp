#include "stages/suppressor/fft/fft.h"

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

// Separates the spectra of the even and odd samples after the forward complex transform and
// combines them into bins 1..127 (bin k in entries 2k, 2k + 1), halving.
void split_forward(int16_t* x) {
  for (int i = 2; i <= FFT_LENGTH / 2; i += 2) {
    const int j = FFT_LENGTH - i;
    const int16_t f1r = add(x[i], x[j]);
    const int16_t f1i = sub(x[i + 1], x[j + 1]);
    const int16_t f2r = add(x[i + 1], x[j + 1]);
    const int16_t f2i = sub(x[j], x[i]);
    const int16_t ci = FFT_TWIDDLES[i];
    const int16_t si = FFT_TWIDDLES[i + 1];
    const int16_t cj = FFT_TWIDDLES[j];
    const int16_t sj = FFT_TWIDDLES[j + 1];
    x[i] = round_fx(L_shr(L_add(L_sub(L_mult(f2r, ci), L_mult(f2i, si)), L_deposit_h(f1r)), 1));
    x[i + 1] = round_fx(L_shr(L_add(L_add(L_mult(f2i, ci), L_mult(f2r, si)), L_deposit_h(f1i)), 1));
    x[j] = round_fx(L_shr(L_add(L_add(L_mult(f2r, cj), L_mult(f2i, sj)), L_deposit_h(f1r)), 1));
    x[j + 1] = round_fx(L_shr(
        L_add(L_add(L_negate(L_mult(f2i, cj)), L_mult(f2r, sj)), L_negate(L_deposit_h(f1i))), 1));
  }
}

// Undoes the forward split: rebuilds the complex spectrum of the 128 sample pairs from bins
// 1..127, halving.
void split_inverse(int16_t* x) {
  for (int i = 2; i <= FFT_LENGTH / 2; i += 2) {
    const int j = FFT_LENGTH - i;
    const int16_t f1r = add(x[i], x[j]);
    const int16_t f1i = sub(x[i + 1], x[j + 1]);
    const int16_t f2r = negate(add(x[i + 1], x[j + 1]));
    const int16_t f2i = negate(sub(x[j], x[i]));
    const int16_t ci = FFT_TWIDDLES[i];
    const int16_t si = FFT_TWIDDLES[i + 1];
    const int16_t cj = FFT_TWIDDLES[j];
    const int16_t sj = FFT_TWIDDLES[j + 1];
    x[i] = round_fx(L_shr(L_add(L_add(L_mult(f2r, ci), L_mult(f2i, si)), L_deposit_h(f1r)), 1));
    x[i + 1] = round_fx(L_shr(L_add(L_sub(L_mult(f2i, ci), L_mult(f2r, si)), L_deposit_h(f1i)), 1));
    x[j] = round_fx(L_shr(L_add(L_sub(L_mult(f2r, cj), L_mult(f2i, sj)), L_deposit_h(f1r)), 1));
    x[j + 1] = round_fx(L_shr(
        L_add(L_negate(L_deposit_h(f1i)), L_negate(L_add(L_mult(f2i, cj), L_mult(f2r, sj)))), 1));
  }
}

}  // namespace

void complex_fft(int16_t* x, int16_t direction) {
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

void real_fft(int16_t* x, int16_t direction) {
  if (direction == 1) {
    complex_fft(x, direction);
    // Z[0] = E[0] + j O[0]: the sum and difference of the even and odd sample sums give the
    // values at DC and at half the sampling rate.
    const int16_t a = x[0];
    const int16_t b = x[1];
    x[0] = add(a, b);
    x[1] = sub(a, b);
    split_forward(x);
  } else {
    const int16_t a = x[0];
    const int16_t b = x[1];
    x[0] = shr(add(a, b), 1);
    x[1] = shr(sub(a, b), 1);
    split_inverse(x);
    complex_fft(x, direction);
  }
}

}  // namespace halvern
