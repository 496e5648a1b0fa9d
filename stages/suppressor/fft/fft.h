// Fixed-point 256-point real FFT on a 128-point complex radix-2 transform, in place.
#pragma once

#include <array>
#include <cstdint>

namespace halvern {

inline constexpr int FFT_LENGTH = 256;

// Twiddle factors, Q15: 128 pairs (cos theta, -sin theta) of theta = 2 pi m / 256, m = 0..127.
// Entry 2m is the integer nearest to 32768 cos(2 pi m / 256), limited to 32767; entry 2m + 1 is
// minus the integer nearest to 32768 sin(2 pi m / 256) (no ties occur). The complex stages index
// it by twiddle index, the real split by the bin's block index (bin k uses pair k).
inline constexpr std::array<int16_t, FFT_LENGTH> FFT_TWIDDLES = {
    // Four pairs (m = 4r .. 4r + 3) a line.
    // clang-format off
    32767, 0, 32758, -804, 32729, -1608, 32679, -2411,
    32610, -3212, 32522, -4011, 32413, -4808, 32286, -5602,
    32138, -6393, 31972, -7180, 31786, -7962, 31581, -8740,
    31357, -9512, 31114, -10279, 30853, -11039, 30572, -11793,
    30274, -12540, 29957, -13279, 29622, -14010, 29269, -14733,
    28899, -15447, 28511, -16151, 28106, -16846, 27684, -17531,
    27246, -18205, 26791, -18868, 26320, -19520, 25833, -20160,
    25330, -20788, 24812, -21403, 24279, -22006, 23732, -22595,
    23170, -23170, 22595, -23732, 22006, -24279, 21403, -24812,
    20788, -25330, 20160, -25833, 19520, -26320, 18868, -26791,
    18205, -27246, 17531, -27684, 16846, -28106, 16151, -28511,
    15447, -28899, 14733, -29269, 14010, -29622, 13279, -29957,
    12540, -30274, 11793, -30572, 11039, -30853, 10279, -31114,
    9512, -31357, 8740, -31581, 7962, -31786, 7180, -31972,
    6393, -32138, 5602, -32286, 4808, -32413, 4011, -32522,
    3212, -32610, 2411, -32679, 1608, -32729, 804, -32758,
    0, -32768, -804, -32758, -1608, -32729, -2411, -32679,
    -3212, -32610, -4011, -32522, -4808, -32413, -5602, -32286,
    -6393, -32138, -7180, -31972, -7962, -31786, -8740, -31581,
    -9512, -31357, -10279, -31114, -11039, -30853, -11793, -30572,
    -12540, -30274, -13279, -29957, -14010, -29622, -14733, -29269,
    -15447, -28899, -16151, -28511, -16846, -28106, -17531, -27684,
    -18205, -27246, -18868, -26791, -19520, -26320, -20160, -25833,
    -20788, -25330, -21403, -24812, -22006, -24279, -22595, -23732,
    -23170, -23170, -23732, -22595, -24279, -22006, -24812, -21403,
    -25330, -20788, -25833, -20160, -26320, -19520, -26791, -18868,
    -27246, -18205, -27684, -17531, -28106, -16846, -28511, -16151,
    -28899, -15447, -29269, -14733, -29622, -14010, -29957, -13279,
    -30274, -12540, -30572, -11793, -30853, -11039, -31114, -10279,
    -31357, -9512, -31581, -8740, -31786, -7962, -31972, -7180,
    -32138, -6393, -32286, -5602, -32413, -4808, -32522, -4011,
    -32610, -3212, -32679, -2411, -32729, -1608, -32758, -804,
    // clang-format on
};

// Advance of the twiddle index, in pairs, between neighbouring butterfly columns of stage s of
// the complex transform: 128 >> s, s = 0..6.
inline constexpr std::array<int16_t, 7> FFT_STAGE_STEPS = {128, 64, 32, 16, 8, 4, 2};

// A block or a packed half spectrum as two planes of 128 entries: the even and odd samples
// (re[m] = x[2m], im[m] = x[2m + 1]), or re[0] the value at DC, im[0] the value at half the
// sampling rate and re[k], im[k] bin k for k = 1..127.
struct FftPlanes {
  alignas(32) std::array<int16_t, FFT_LENGTH / 2> re;
  alignas(32) std::array<int16_t, FFT_LENGTH / 2> im;
};

// A block to its planes and back.
void fft_to_planes(const int16_t* x, FftPlanes& z);
void fft_from_planes(const FftPlanes& z, int16_t* x);

// The planes a transform works on, and its scratch planes.
struct FftTransform {
  std::array<FftPlanes, 2> p;
};

// The forward real transform in steps, for callers that interleave it with other work: with the
// block's planes in w.p[0], steps 0 to FFT_FORWARD_STEPS - 1, run in order, leave the packed
// spectrum in spectrum (and change w). The forward transform takes 256 real samples to the packed
// half spectrum (entry 0 DC, entry 1 the value at half the sampling rate, entries 2k, 2k + 1 the
// real and imaginary part of bin k), scaled by 1/128; every overflow saturates.
inline constexpr int FFT_FORWARD_STEPS = 7;
void real_fft_forward_step(FftTransform& w, int step, FftPlanes& spectrum);

// The inverse real transform of the packed spectrum given as planes, the 256 samples written to x:
// x[n] = (1/2) sum_k Y[k] e^(+j 2 pi k n / 256), so that the inverse of the forward gives the
// input back up to rounding; every overflow saturates.
void real_fft_inverse_planes(const FftPlanes& spectrum, int16_t* x);

// The 128-point complex transform of the values (re[m], im[m]) of w.p[0], forward (direction 1,
// scaled by 1/128) or inverse (any other direction, not scaled), to w.p[1] (w.p[0] changes).
void complex_fft_planes(FftTransform& w, int16_t direction);

// One bin k = i / 2 (i = 2, 4, ..., 128) of the split of the real transform and its mirror
// j = 256 - i, in place on a packed block, with the saturating operators, halving. Forward:
// separates the spectra of the even and odd samples after the forward complex transform and
// combines them into bins k and 128 - k (bin k in entries 2k, 2k + 1). Inverse: undoes it,
// rebuilding the complex spectrum of the 128 sample pairs.
void fft_split_forward_bin(int16_t* x, int i);
void fft_split_inverse_bin(int16_t* x, int i);

}  // namespace halvern
