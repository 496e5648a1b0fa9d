// The fast transforms against their straightforward references, bit for bit: random blocks at
// every level, blocks built from the values at and around each bound the fast forms rely on,
// and the constant, alternating and impulse blocks that drive every stage into saturation.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "fixedpoint/basic_ops.h"
#include "stages/suppressor/fft/fft_reference.h"
#include "stages/suppressor/fft/rounded_products.h"

namespace halvern {
namespace {

using Block = std::array<int16_t, FFT_LENGTH>;

// The block as planes of its even and odd entries, and back.
FftPlanes to_planes(const Block& x) {
  FftPlanes p;
  for (int m = 0; m < FFT_LENGTH / 2; ++m) {
    p.re[m] = x[2 * m];
    p.im[m] = x[2 * m + 1];
  }
  return p;
}

Block from_planes(const FftPlanes& p) {
  Block x;
  for (int m = 0; m < FFT_LENGTH / 2; ++m) {
    x[2 * m] = p.re[m];
    x[2 * m + 1] = p.im[m];
  }
  return x;
}

// Runs every transform, both directions, on x with the fast and the reference form, and the real
// transforms on planes as well.
void expect_same(const Block& x, const std::string& what) {
  for (const int16_t direction : {int16_t{1}, int16_t{-1}}) {
    Block fast = x;
    Block exact = x;
    real_fft(fast.data(), direction);
    real_fft_reference(exact.data(), direction);
    ASSERT_EQ(fast, exact) << "real, direction " << direction << ": " << what;
    if (direction == 1) {
      FftPlanes spectrum;
      real_fft_forward_planes(to_planes(x), spectrum);
      ASSERT_EQ(from_planes(spectrum), exact) << "forward on planes: " << what;
    } else {
      Block samples;
      real_fft_inverse_planes(to_planes(x), samples.data());
      ASSERT_EQ(samples, exact) << "inverse on planes: " << what;
    }
    fast = x;
    exact = x;
    complex_fft(fast.data(), direction);
    complex_fft_reference(exact.data(), direction);
    ASSERT_EQ(fast, exact) << "complex, direction " << direction << ": " << what;
  }
}

Block uniform(std::mt19937& rng, int low, int high) {
  std::uniform_int_distribution<int> dist(low, high);
  Block x{};
  for (auto& v : x) v = static_cast<int16_t>(dist(rng));
  return x;
}

Block from_values(std::mt19937& rng, const std::vector<int16_t>& values) {
  std::uniform_int_distribution<size_t> pick(0, values.size() - 1);
  Block x{};
  for (auto& v : x) v = values[pick(rng)];
  return x;
}

// (a c -+ b d + 16384) >> 15 modulo 2^16 from the exact products.
int16_t exact_rounded(int16_t a, int16_t c, int16_t b, int16_t d, bool sum) {
  const int64_t h = int64_t{a} * c + (sum ? 1 : -1) * (int64_t{b} * d);
  return static_cast<int16_t>((h + 16384) >> 15);
}

// (a c -+ b d) >> 15 modulo 2^16, and whether its low 15 bits are not all zero.
int16_t exact_floored(int16_t a, int16_t c, int16_t b, int16_t d, bool sum) {
  const int64_t h = int64_t{a} * c + (sum ? 1 : -1) * (int64_t{b} * d);
  return static_cast<int16_t>(h >> 15);
}
int16_t exact_inexact(int16_t a, int16_t c, int16_t b, int16_t d, bool sum) {
  const int64_t h = int64_t{a} * c + (sum ? 1 : -1) * (int64_t{b} * d);
  return static_cast<int16_t>((h & 0x7fff) != 0 ? 1 : 0);
}

void expect_products(int16_t a, int16_t c, int16_t b, int16_t d) {
  ASSERT_EQ(rounded_difference(a, c, b, d), exact_rounded(a, c, b, d, false))
      << a << " " << c << " " << b << " " << d;
  ASSERT_EQ(rounded_sum(a, c, b, d), exact_rounded(a, c, b, d, true))
      << a << " " << c << " " << b << " " << d;
  ASSERT_EQ(floored_difference(a, c, b, d), exact_floored(a, c, b, d, false))
      << a << " " << c << " " << b << " " << d;
  ASSERT_EQ(floored_sum(a, c, b, d), exact_floored(a, c, b, d, true))
      << a << " " << c << " " << b << " " << d;
  for (const bool sum : {false, true}) {
    ASSERT_EQ(floored_inexact(a, c, b, d, sum), exact_inexact(a, c, b, d, sum))
        << a << " " << c << " " << b << " " << d << " " << sum;
  }
}

TEST(FftFast, RoundedProductsAtEveryOperandEdge) {
  // Operands where the products' low 15 bits sit at the ends of their range (the corrections
  // of the 16-bit forms), the extremes, and random ones; the floored forms as well.
  const std::vector<int16_t> edges = {MIN_16, -32767, -23170, -16385, -16384, -16383,
                                      -2,     -1,     0,      1,      2,      16383,
                                      16384,  16385,  23170,  32766,  MAX_16};
  for (const int16_t a : edges) {
    for (const int16_t c : edges) {
      for (const int16_t b : edges) {
        for (const int16_t d : edges) {
          expect_products(a, c, b, d);
        }
      }
    }
  }
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> any(MIN_16, MAX_16);
  for (int trial = 0; trial < 2000000; ++trial) {
    const auto a = static_cast<int16_t>(any(rng));
    const auto c = static_cast<int16_t>(any(rng));
    const auto b = static_cast<int16_t>(any(rng));
    const auto d = static_cast<int16_t>(any(rng));
    expect_products(a, c, b, d);
  }
}

TEST(FftFast, RandomBlocksAtEveryLevel) {
  std::mt19937 rng(1);
  for (const int amplitude : {32767, 16384, 8000, 2000, 300, 20, 1}) {
    for (int trial = 0; trial < 300; ++trial) {
      expect_same(uniform(rng, -amplitude - 1, amplitude),
                  "amplitude " + std::to_string(amplitude));
    }
  }
}

TEST(FftFast, ConstantAlternatingAndImpulseBlocks) {
  for (const int16_t level :
       {MIN_16, int16_t{-32767}, int16_t{-16385}, int16_t{-16384}, int16_t{-8192}, int16_t{-1},
        int16_t{0}, int16_t{1}, int16_t{8191}, int16_t{8192}, int16_t{16383}, int16_t{16384},
        int16_t{32766}, MAX_16}) {
    Block x;
    x.fill(level);
    expect_same(x, "constant " + std::to_string(level));
    for (int i = 0; i < FFT_LENGTH; ++i) x[i] = i % 2 == 0 ? level : negate(level);
    expect_same(x, "alternating " + std::to_string(level));
    for (int i = 0; i < FFT_LENGTH; ++i) x[i] = (i / 2) % 2 == 0 ? level : negate(level);
    expect_same(x, "alternating pairs " + std::to_string(level));
  }
  for (const int16_t level : {MIN_16, MAX_16, int16_t{13573}, int16_t{6787}}) {
    for (int i = 0; i < FFT_LENGTH; ++i) {
      Block x{};
      x[i] = level;
      expect_same(x, "impulse " + std::to_string(level) + " at " + std::to_string(i));
      x.fill(MIN_16);
      x[i] = MAX_16;
      expect_same(x, "-32768 but 32767 at " + std::to_string(i));
    }
  }
}

TEST(FftFast, ValuesAroundEveryBound) {
  // The limits of the forward stages' outputs (+-16384), of quiet inverse stages (13572), of the
  // inverse transform's first two stages (8191) and of the quiet inverse split (6786), each with
  // its neighbours, and full scale.
  const std::vector<std::vector<int16_t>> sets = {
      {MIN_16, -32767, -1, 0, 1, 32766, MAX_16},
      {MIN_16, MAX_16},
      {-16385, -16384, -16383, 16383, 16384},
      {-13573, -13572, 13572, 13573},
      {-13572, 13572, 0},
      {-6787, -6786, 6786, 6787},
      {-6786, 6786, 0, 1, -1},
      {-8192, -8191, 8191, 8192},
      {8192, 8191},
      {-8192, -8191},
      {-23170, 23170, -23171, 23171, 0},
  };
  std::mt19937 rng(2);
  for (size_t set = 0; set < sets.size(); ++set) {
    for (int trial = 0; trial < 400; ++trial) {
      expect_same(from_values(rng, sets[set]), "value set " + std::to_string(set));
    }
  }
}

TEST(FftFast, FullScaleTones) {
  // A loud tone concentrates the spectrum in one bin, where the splits' sums saturate.
  for (int bin = 0; bin <= 128; bin += 1) {
    for (const double amplitude : {32767.0, 16384.0, 9000.0}) {
      Block x{};
      for (int n = 0; n < FFT_LENGTH; ++n) {
        const double v = amplitude * std::cos(2.0 * std::numbers::pi * bin * n / 256 + 0.3 * bin);
        x[n] = static_cast<int16_t>(std::lround(std::fmax(-32768.0, std::fmin(32767.0, v))));
      }
      expect_same(x, "tone at bin " + std::to_string(bin) + ", " + std::to_string(amplitude));
    }
  }
}

TEST(FftFast, FullScalePeriodicBlocks) {
  // A block that repeats every 2, 4, ..., 32 complex samples has its whole energy in a few bins,
  // so the forward split sees mirrored bins near full scale in every direction, where its
  // product sums pass 2^30.
  std::mt19937 rng(4);
  std::uniform_int_distribution<int> coin(0, 3);
  for (const int period : {2, 4, 8, 16, 32}) {
    for (int trial = 0; trial < 300; ++trial) {
      std::vector<int16_t> pattern(static_cast<size_t>(2 * period));
      for (auto& v : pattern) {
        const int c = coin(rng);
        v = c == 0 ? MIN_16 : (c == 1 ? MAX_16 : static_cast<int16_t>(rng() % 65536 - 32768));
      }
      Block x{};
      for (int i = 0; i < FFT_LENGTH; ++i) x[i] = pattern[static_cast<size_t>(i % (2 * period))];
      expect_same(x, "period " + std::to_string(period) + ", trial " + std::to_string(trial));
    }
  }
  // Bins 32 and 96 at (-16384, 16383) and (16383, 16383): the pattern of period 4 below.
  Block x{};
  const std::array<int16_t, 8> pattern = {-1, 32766, 0, -32767, 1, -32766, 0, 32767};
  for (int i = 0; i < FFT_LENGTH; ++i) x[i] = pattern[static_cast<size_t>(i % 8)];
  expect_same(x, "bins 32 and 96 at full scale");
}

TEST(FftFast, ForwardSplitAroundItsQuietLimit) {
  // Constant and alternating blocks put one output of the forward complex transform near their
  // level, so the largest value the forward split sees steps across its quiet limit (11585),
  // here alone and beside a loud tone that fills the mirrored bins.
  for (int v = 11500; v <= 11700; ++v) {
    for (int kind = 0; kind < 4; ++kind) {
      Block x{};
      for (int i = 0; i < FFT_LENGTH; ++i) {
        const int sign = kind == 1 && i % 2 == 1 ? -1 : (kind == 2 && i >= 128 ? -1 : 1);
        x[i] = static_cast<int16_t>(sign * v);
        if (kind == 3) {
          x[i] = static_cast<int16_t>(
              std::lround(v * std::cos(2.0 * std::numbers::pi * 17 * i / FFT_LENGTH)));
        }
      }
      expect_same(x, "level " + std::to_string(v) + ", kind " + std::to_string(kind));
    }
  }
}

TEST(FftFast, InverseStageJustPastItsQuietLimit) {
  // Complex samples m and m + 16 at (v, -v) reach stage 2 of the inverse transform as element 1
  // of two 4-point sub-transforms; the twiddle e^(j pi / 4) turns the bottom one into
  // (46340 v / 32768, 0), which with v = 13573 lifts the top's real part to 32768 and saturates.
  // v = 13572 stays just below.
  for (const int16_t v : {int16_t{13572}, int16_t{13573}, int16_t{-13572}, int16_t{-13573}}) {
    for (int m = 0; m < 16; ++m) {
      Block x{};
      for (const int at : {m, m + 16}) {
        x[static_cast<size_t>(2 * at)] = v;
        x[static_cast<size_t>(2 * at + 1)] = negate(v);
      }
      expect_same(x, "v " + std::to_string(v) + ", m " + std::to_string(m));
    }
  }
}

TEST(FftFast, SpectraThatSaturateTheInverseSplit) {
  // Mirrored bins with opposite extremes make f1i = -32768 and products beyond 2^30 in the
  // inverse split; mixed with quiet bins they also exercise its switch to the reference form.
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> bin(1, 127);
  for (int trial = 0; trial < 400; ++trial) {
    Block y = uniform(rng, -6786, 6786);
    for (int n = 0; n < 1 + trial % 6; ++n) {
      const int k = bin(rng);
      y[2 * k] = trial % 2 == 0 ? MAX_16 : MIN_16;
      y[2 * k + 1] = MIN_16;
      y[2 * (128 - k) + 1] = MAX_16;
    }
    expect_same(y, "saturating bins, trial " + std::to_string(trial));
  }
}

}  // namespace
}  // namespace halvern
