#include "stages/suppressor/fft/fft_reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <random>

#include "fixedpoint/basic_ops.h"
#include "fixedpoint/fixedpoint_reference.h"

namespace halvern {
namespace {

using Block = std::array<int16_t, FFT_LENGTH>;
using Cd = std::complex<double>;

constexpr double kPi = std::numbers::pi;

Block random_block(std::mt19937& rng, int amplitude) {
  std::uniform_int_distribution<int> dist(-amplitude, amplitude);
  Block x{};
  for (auto& v : x) v = static_cast<int16_t>(dist(rng));
  return x;
}

// Packed half spectrum of the 256-point DFT of x, divided by 128, in double precision.
std::array<double, FFT_LENGTH> reference_forward(const Block& x) {
  std::array<double, FFT_LENGTH> out{};
  for (int k = 0; k <= 128; ++k) {
    Cd sum = 0.0;
    for (int n = 0; n < 256; ++n) {
      sum += static_cast<double>(x[n]) * std::polar(1.0, -2.0 * kPi * k * n / 256);
    }
    sum /= 128.0;
    if (k == 0) {
      out[0] = sum.real();
    } else if (k == 128) {
      out[1] = sum.real();
    } else {
      out[2 * k] = sum.real();
      out[2 * k + 1] = sum.imag();
    }
  }
  return out;
}

// (1/2) sum over the full spectrum rebuilt from the packed half spectrum y, e^(+j).
std::array<double, FFT_LENGTH> reference_inverse(const Block& y) {
  std::array<Cd, 256> full{};
  full[0] = y[0];
  full[128] = y[1];
  for (int k = 1; k < 128; ++k) {
    full[k] = Cd(y[2 * k], y[2 * k + 1]);
    full[256 - k] = std::conj(full[k]);
  }
  std::array<double, FFT_LENGTH> out{};
  for (int n = 0; n < 256; ++n) {
    Cd sum = 0.0;
    for (int k = 0; k < 256; ++k) sum += full[k] * std::polar(1.0, 2.0 * kPi * k * n / 256);
    out[n] = 0.5 * sum.real();
  }
  return out;
}

// Largest and root-mean-square difference over every entry added to it.
struct ErrorStats {
  double worst = 0.0;
  double squares = 0.0;
  int count = 0;

  template <typename Want>
  void add(const Block& got, const Want& want) {
    for (int i = 0; i < FFT_LENGTH; ++i) {
      const double e = got[i] - static_cast<double>(want[i]);
      worst = std::max(worst, std::abs(e));
      squares += e * e;
      ++count;
    }
  }
  double rms() const { return std::sqrt(squares / count); }
};

Block forward(Block x) {
  real_fft(x.data(), 1);
  return x;
}

Block inverse(Block x) {
  real_fft(x.data(), -1);
  return x;
}

TEST(FftTables, TwiddlesFollowTheirFormula) {
  for (int m = 0; m < 128; ++m) {
    const double theta = 2.0 * kPi * m / 256;
    const long c = std::min(32767L, std::lround(32768.0 * std::cos(theta)));
    const long s = -std::lround(32768.0 * std::sin(theta));
    EXPECT_EQ(FFT_TWIDDLES[2 * m], c) << "m = " << m;
    EXPECT_EQ(FFT_TWIDDLES[2 * m + 1], s) << "m = " << m;
  }
  const std::array<std::array<int, 3>, 8> rows = {{{0, 32767, 0},
                                                   {1, 32758, -804},
                                                   {2, 32729, -1608},
                                                   {3, 32679, -2411},
                                                   {32, 23170, -23170},
                                                   {64, 0, -32768},
                                                   {96, -23170, -23170},
                                                   {127, -32758, -804}}};
  for (const auto& [m, c, s] : rows) {
    EXPECT_EQ(FFT_TWIDDLES[2 * m], c) << "m = " << m;
    EXPECT_EQ(FFT_TWIDDLES[2 * m + 1], s) << "m = " << m;
  }
}

TEST(FftTables, StageStepsHalveFrom128) {
  for (int s = 0; s < 7; ++s) EXPECT_EQ(FFT_STAGE_STEPS[s], 128 >> s) << "s = " << s;
}

TEST(RealFftForward, ZeroBlockStaysZeroInBothDirections) {
  EXPECT_EQ(forward(Block{}), Block{});
  EXPECT_EQ(inverse(Block{}), Block{});
}

TEST(RealFftForward, ConstantGoesToDcOnly) {
  Block x;
  x.fill(1000);
  Block want{};
  want[0] = 2000;
  EXPECT_EQ(forward(x), want);
}

TEST(RealFftForward, ImpulseGivesFlatSpectrum) {
  Block x{};
  x[0] = 12800;
  const Block y = forward(x);
  EXPECT_EQ(y[0], 100);
  EXPECT_EQ(y[1], 100);
  for (int k = 1; k < 128; ++k) {
    EXPECT_EQ(y[2 * k], 100) << "bin " << k;
    EXPECT_EQ(y[2 * k + 1], 0) << "bin " << k;
  }
}

TEST(RealFftForward, CosineAtBin5) {
  Block x{};
  for (int n = 0; n < 256; ++n) {
    x[n] = static_cast<int16_t>(std::lround(8000.0 * std::cos(2.0 * kPi * 5 * n / 256)));
  }
  const Block y = forward(x);
  EXPECT_EQ(y[10], 7999);
  for (int i = 0; i < FFT_LENGTH; ++i) {
    if (i != 10) {
      EXPECT_LE(std::abs(y[i]), 2) << "entry " << i;
    }
  }
}

TEST(RealFftForward, LargeConstantSaturatesTo32766) {
  for (const int16_t level : {int16_t{20000}, int16_t{32767}}) {
    Block x;
    x.fill(level);
    Block want{};
    want[0] = 32766;
    EXPECT_EQ(forward(x), want) << "level " << level;
  }
}

TEST(RealFftForward, PackedLayoutHoldsDcAndHalfRateFirst) {
  // 3000 + 2000 (-1)^n: DC 3000 * 256 / 128, half rate 2000 * 256 / 128, nothing else.
  Block x{};
  for (int n = 0; n < 256; ++n) x[n] = static_cast<int16_t>(n % 2 == 0 ? 5000 : 1000);
  Block want{};
  want[0] = 6000;
  want[1] = 4000;
  EXPECT_EQ(forward(x), want);

  // A sine at bin 3 lands in the imaginary part of bin 3 only: sum sin(w n) e^(-j w n) = -j 128.
  for (int n = 0; n < 256; ++n) {
    x[n] = static_cast<int16_t>(std::lround(4000.0 * std::sin(2.0 * kPi * 3 * n / 256)));
  }
  const Block y = forward(x);
  EXPECT_NEAR(y[7], -4000, 2);
  for (int i = 0; i < FFT_LENGTH; ++i) {
    if (i != 7) {
      EXPECT_LE(std::abs(y[i]), 2) << "entry " << i;
    }
  }
}

TEST(RealFftForward, MatchesDoublePrecisionDft) {
  // The truncating halvings of the seven stages and the rounded products leave every entry a few
  // units from the exact DFT / 128, with an RMS error under one unit, at any level.
  std::mt19937 rng(20240611);
  for (const int amplitude : {16383, 4000, 300}) {
    ErrorStats err;
    for (int trial = 0; trial < 20; ++trial) {
      const Block x = random_block(rng, amplitude);
      err.add(forward(x), reference_forward(x));
    }
    EXPECT_LE(err.worst, 6.0) << "amplitude " << amplitude;
    EXPECT_LE(err.rms(), 1.0) << "amplitude " << amplitude;
  }
}

TEST(RealFftInverse, WorkedValues) {
  Block y{};
  y[0] = 1000;
  Block want;
  want.fill(500);
  EXPECT_EQ(inverse(y), want);

  y = Block{};
  y[1] = 1000;
  for (int n = 0; n < 256; ++n) want[n] = static_cast<int16_t>(n % 2 == 0 ? 500 : -500);
  EXPECT_EQ(inverse(y), want);

  y = Block{};
  y[2] = 1000;
  const Block x = inverse(y);
  const std::array<int16_t, 8> first = {1000, 1000, 999, 999, 995, 994, 988, 986};
  for (int n = 0; n < 8; ++n) EXPECT_EQ(x[n], first[n]) << "sample " << n;
  for (int n = 0; n < 256; ++n) {
    EXPECT_NEAR(x[n], 1000.0 * std::cos(2.0 * kPi * n / 256), 3.0) << "sample " << n;
  }
}

TEST(RealFftInverse, MatchesDoublePrecisionSum) {
  // The inverse does not scale, so the rounding of its seven stages adds up to a few units RMS.
  std::mt19937 rng(77);
  ErrorStats err;
  for (int trial = 0; trial < 20; ++trial) {
    const Block y = random_block(rng, 1000);
    err.add(inverse(y), reference_inverse(y));
  }
  EXPECT_LE(err.worst, 28.0);
  EXPECT_LE(err.rms(), 4.5);
}

TEST(RealFftInverse, EveryDirectionButOneIsInverse) {
  std::mt19937 rng(5);
  const Block y = random_block(rng, 500);
  const Block want = inverse(y);
  EXPECT_NE(forward(y), want);
  for (const int16_t direction : {int16_t{0}, int16_t{2}, int16_t{-1}, MIN_16, int16_t{32767}}) {
    Block x = y;
    real_fft(x.data(), direction);
    EXPECT_EQ(x, want) << "direction " << direction;
  }
}

TEST(RealFftRoundTrip, ForwardThenInverseReturnsTheInput) {
  // Forward (/128) then inverse ((1/2) sum over 256 bins) is the identity up to rounding. The
  // forward stages halve by truncation, which leaves every bin about half a unit low; the inverse
  // gathers that into an error of about -64 at samples 0 and 1 that halves as the index doubles.
  // From sample 16 on the error stays within a few tens of units at any level.
  std::mt19937 rng(1234);
  for (const int amplitude : {16383, 2000}) {
    ErrorStats err;
    double worst_from_16 = 0.0;
    double bias_at_0 = 0.0;
    constexpr int trials = 20;
    for (int trial = 0; trial < trials; ++trial) {
      const Block x = random_block(rng, amplitude);
      const Block back = inverse(forward(x));
      err.add(back, x);
      for (int n = 16; n < 256; ++n) {
        worst_from_16 = std::max(worst_from_16, std::abs(back[n] - x[n]) * 1.0);
      }
      bias_at_0 += (back[0] - x[0] + back[1] - x[1]) / (2.0 * trials);
    }
    EXPECT_LE(err.worst, 100.0) << "amplitude " << amplitude;
    EXPECT_LE(err.rms(), 10.0) << "amplitude " << amplitude;
    EXPECT_LE(worst_from_16, 36.0) << "amplitude " << amplitude;
    EXPECT_NEAR(bias_at_0, -64.0, 12.0) << "amplitude " << amplitude;
  }
}

TEST(RealFftRoundTrip, WithTheBlockScalingOfTheSuppressor) {
  // Normalise to one bit of headroom, forward, normalise to five bits, inverse, undo both: the
  // output follows the input with a signal-to-error ratio near 52 dB.
  std::mt19937 rng(99);
  for (const int amplitude : {16383, 3000, 300}) {
    double signal = 0.0;
    ErrorStats err;
    for (int trial = 0; trial < 20; ++trial) {
      const Block x = random_block(rng, amplitude);
      Block w = x;
      const int16_t s1 = block_normalise(w.data(), 1);
      real_fft(w.data(), 1);
      const int16_t s2 = block_normalise(w.data(), 5);
      real_fft(w.data(), -1);
      block_rescale(w.data(), static_cast<int16_t>(s1 + s2));
      err.add(w, x);
      for (const int16_t v : x) signal += static_cast<double>(v) * v;
    }
    EXPECT_GE(10.0 * std::log10(signal / err.squares), 49.0) << "amplitude " << amplitude;
  }
}

TEST(ComplexFft, ForwardAndInverseMatchDoublePrecisionDft) {
  // Forward: the 128-point DFT with e^(-j) divided by 128; inverse: with e^(+j), unscaled.
  std::mt19937 rng(31);
  for (int trial = 0; trial < 10; ++trial) {
    const Block z = random_block(rng, 16383);
    const Block spectrum = random_block(rng, 200);
    Block fwd = z;
    complex_fft(fwd.data(), 1);
    Block inv = spectrum;
    complex_fft(inv.data(), -1);
    std::array<double, FFT_LENGTH> want_fwd{};
    std::array<double, FFT_LENGTH> want_inv{};
    for (int k = 0; k < 128; ++k) {
      Cd f = 0.0;
      Cd g = 0.0;
      for (int m = 0; m < 128; ++m) {
        f += Cd(z[2 * m], z[2 * m + 1]) * std::polar(1.0, -2.0 * kPi * k * m / 128);
        g += Cd(spectrum[2 * m], spectrum[2 * m + 1]) * std::polar(1.0, 2.0 * kPi * k * m / 128);
      }
      want_fwd[2 * k] = f.real() / 128.0;
      want_fwd[2 * k + 1] = f.imag() / 128.0;
      want_inv[2 * k] = g.real();
      want_inv[2 * k + 1] = g.imag();
    }
    ErrorStats err_fwd;
    err_fwd.add(fwd, want_fwd);
    ErrorStats err_inv;
    err_inv.add(inv, want_inv);
    EXPECT_LE(err_fwd.worst, 4.0) << "trial " << trial;
    EXPECT_LE(err_inv.worst, 9.0) << "trial " << trial;
  }
}

}  // namespace
}  // namespace halvern
