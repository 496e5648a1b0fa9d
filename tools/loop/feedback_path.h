// The acoustic feedback path of the closed loop: its impulse response f (16 kHz taps, as the
// loudspeaker's sound reaches the microphone), a synthetic room to stand for one, the maximum
// stable gain the Nyquist criterion gives the bare path, and the path's convolution, block by
// block in the frequency domain.
#pragma once

#include <complex>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/loop/fft.h"

namespace halvern::tools {

inline constexpr int LOOP_RATE = 16000;  // samples per second of the path and the loop
inline constexpr int LOOP_DELAY = 320;   // samples from the engine's input to the loudspeaker
inline constexpr size_t PATH_MAX_TAPS = 10 * LOOP_RATE;  // 10 s

// A synthetic room: a direct delay followed by exponentially decaying noise.
struct RoomSpec {
  double rt60_s = 0.4;     // the noise decays by 60 dB in this time
  double delay_s = 0.002;  // silence before the first tap
  uint64_t seed = 1;       // of the noise generator
};

// "rt60=0.4,delay=2ms,seed=1": any of the three keys, in any order; times in s (the default
// unit) or ms. RT60 from 0.01 to 5 s, delay from 0 to 1 s, seed from 0 to 2^64 - 1. Throws
// std::invalid_argument with a message naming the part that is wrong.
RoomSpec parse_room_spec(std::string_view text);

// The room's impulse response, scaled so that its largest magnitude response is 0 dB:
//   D = round(delay_s * 16000) zero taps, then R = round(rt60_s * 16000) taps
//   f[D + i] = s * gauss_i * 10^(-3 i / R),  i = 0 .. R - 1
// gauss_i is the i-th draw of the Gaussian generator below from the seed, and s makes the
// largest of |F(2 pi k / N)|, k = 0 .. N/2, equal to 1, with N the FFT size of path_grid_size.
std::vector<double> synthetic_room(const RoomSpec& room);

// The generator: SplitMix64 for 64-bit words, and one standard Gaussian from two words by the
// Box-Muller transform (the cosine branch only):
//   state += 0x9E3779B97F4A7C15; z = state;
//   z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9; z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
//   word = z ^ (z >> 31)
//   u1 = ((word1 >> 11) + 1) / 2^53 (in (0, 1]), u2 = (word2 >> 11) / 2^53 (in [0, 1))
//   gauss = sqrt(-2 ln u1) cos(2 pi u2)
class RoomNoise {
 public:
  explicit RoomNoise(uint64_t seed) : state_(seed) {}
  uint64_t next_word();
  double next_gauss();

 private:
  uint64_t state_;
};

// The FFT size of the dense frequency grids of a path of n taps: the smallest power of two at
// least 16 (n + 320), and at least 65536, at most 2^22.
size_t path_grid_size(size_t taps);

// The maximum stable gain of the loop with the engine passing its input through unchanged (every
// stage off), in dB, by the Nyquist criterion: the loop is L(w) = F(w) e^{-j w 320}, and the
// gain may rise to 1 / |L(w)| at the frequencies where the phase of L(w) is a multiple of 2 pi
// (L(w) real and positive). The crossings are found on the dense grid (path_grid_size), the
// strongest refined by bisection on Im L(w) evaluated directly, in double precision. +infinity
// for a silent path.
struct NyquistResult {
  double msg_db = 0;
  double frequency_hz = 0;  // where the loop's magnitude at phase 0 is largest
};
NyquistResult nyquist_msg(const std::vector<double>& path);

// The path's convolution for the loop, uniformly partitioned in the frequency domain (overlap-save
// with 320-sample blocks and 640-point FFTs). Immutable once made: any number of PathConvolution
// may share one PartitionedPath on several threads.
class PartitionedPath {
 public:
  explicit PartitionedPath(const std::vector<double>& path);

  size_t taps() const { return taps_; }
  size_t partitions() const { return partitions_; }
  const RealFft& fft() const { return fft_; }
  // Partition p's spectrum divided by 640 (the inverse transform's scale), bins 0 to 320 in
  // split form: real parts, then imaginary parts.
  const double* real(size_t p) const { return spectra_.data() + 2 * p * BINS; }
  const double* imag(size_t p) const { return real(p) + BINS; }

  static constexpr size_t BLOCK = LOOP_DELAY;
  static constexpr size_t BINS = BLOCK + 1;

 private:
  size_t taps_;
  size_t partitions_;
  RealFft fft_;
  std::vector<double> spectra_;
};

// One running convolution y = f * x, a block of 320 samples at a time: push(x block j) gives
// y block j (samples 320 j to 320 j + 319) in double precision.
class PathConvolution {
 public:
  explicit PathConvolution(const PartitionedPath& path);
  // x: 320 samples in; y: 320 samples out.
  void push(const double* x, double* y);

 private:
  const PartitionedPath& path_;
  FftArray<double> window_;  // the previous block and this one
  FftArray<std::complex<double>> spectrum_;
  FftArray<double> output_;
  std::vector<double> history_;  // the spectra of the last blocks, split form, a ring
  size_t newest_ = 0;            // the ring's slot of the newest block
  std::vector<double> sum_;      // split form
};

}  // namespace halvern::tools
