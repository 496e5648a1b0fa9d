#include "stages/highpass/highpass.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace halvern {
namespace {

// A configured stage working in place on its own frame buffer.
struct Stage {
  HighPassContext ctx;
  int16_t frame[FRAME_CAPACITY] = {};

  Stage(int16_t cutoff, int16_t gain) {
    highpass_reset(&ctx);
    TuningSlots slots{};
    slots[1] = cutoff;
    slots[2] = gain;
    highpass_configure(&ctx, slots);
    ctx.header.input = frame;
    ctx.header.output = frame;
    ctx.header.enable = 1;
  }

  // Runs the samples through the stage, frame by frame (the frame length may be changed to feed
  // shorter pieces).
  std::vector<int16_t> run(const std::vector<int16_t>& x, int16_t piece = FRAME_LENGTH) {
    std::vector<int16_t> y;
    ctx.header.frame_length = piece;
    for (size_t start = 0; start < x.size(); start += static_cast<size_t>(piece)) {
      std::copy(x.begin() + static_cast<ptrdiff_t>(start),
                x.begin() + static_cast<ptrdiff_t>(start + static_cast<size_t>(piece)), frame);
      EXPECT_EQ(highpass_process(&ctx), 0);
      y.insert(y.end(), frame, frame + piece);
    }
    return y;
  }
};

TEST(HighPass, CoefficientRowsFollowTheButterworthRule) {
  EXPECT_EQ(HIGHPASS_COEFFS_16K[0], (std::array<int32_t, 5>{1073741824, 0, 0, 0, 0}));
  for (int k = 1; k < HIGHPASS_ROWS; ++k) {
    const long double K = std::tan(3.14159265358979323846264338327950288L * 50 * k / 16000);
    const long double r2 = std::sqrt(2.0L);
    const long double D = 1 + r2 * K + K * K;
    const long double want[5] = {1 / D, -2 / D, 1 / D, 2 * (1 - K * K) / D,
                                 -(1 - r2 * K + K * K) / D};
    for (int c = 0; c < 5; ++c) {
      EXPECT_EQ(HIGHPASS_COEFFS_16K[static_cast<size_t>(k)][static_cast<size_t>(c)],
                static_cast<int32_t>(std::floor(want[c] * 1073741824.0L)))
          << "row " << k << " column " << c;
    }
  }
}

TEST(HighPass, SlotsChooseRowAndGain) {
  struct RowCase {
    int16_t cutoff;
    size_t row;
  };
  for (const RowCase c : {RowCase{0, 0}, RowCase{49, 0}, RowCase{-1, 0}, RowCase{801, 0},
                          RowCase{50, 1}, RowCase{100, 2}, RowCase{799, 15}, RowCase{800, 16}}) {
    Stage s(c.cutoff, 0);
    EXPECT_EQ(s.ctx.b1, HIGHPASS_COEFFS_16K[c.row][1]) << c.cutoff;
    EXPECT_EQ(s.ctx.a2, HIGHPASS_COEFFS_16K[c.row][4]) << c.cutoff;
  }
  struct GainCase {
    int16_t slot;
    int16_t gain;
  };
  for (const GainCase c :
       {GainCase{-4, 2048}, GainCase{4, 2048}, GainCase{-5, 1933}, GainCase{-7, 1933},
        GainCase{5, 2169}, GainCase{7, 2169}, GainCase{241, 32392}, GainCase{1000, 32392},
        GainCase{-301, 56}, GainCase{-1000, 56}}) {
    EXPECT_EQ(Stage(0, c.slot).ctx.gain_q11, c.gain) << c.slot;
  }
}

TEST(HighPass, PassThroughRowLeavesSamplesExactlyUnchanged) {
  std::mt19937 rng(1);
  std::vector<int16_t> x(3200);
  for (auto& v : x) v = static_cast<int16_t>(rng());
  for (const int16_t cutoff : {0, 49, -1, 801}) {
    Stage s(cutoff, 0);
    EXPECT_EQ(s.run(x), x) << cutoff;
  }
}

TEST(HighPass, WorkedSequencesAt100Hz) {
  std::vector<int16_t> impulse(FRAME_LENGTH, 0);
  impulse[0] = 1000;
  const std::vector<int16_t> impulse_out = Stage(100, 0).run(impulse);
  EXPECT_EQ(std::vector<int16_t>(impulse_out.begin(), impulse_out.begin() + 8),
            (std::vector<int16_t>{973, -54, -53, -51, -50, -48, -47, -45}));

  const std::vector<int16_t> dc(FRAME_LENGTH * 20, 1000);
  const std::vector<int16_t> dc_out = Stage(100, 0).run(dc);
  EXPECT_EQ(std::vector<int16_t>(dc_out.begin(), dc_out.begin() + 8),
            (std::vector<int16_t>{973, 919, 866, 815, 766, 718, 671, 627}));
  EXPECT_EQ(dc_out.back(), 0);  // a constant decays away
}

TEST(HighPass, GainRoundsAndSaturates) {
  struct Case {
    int16_t slot, in, out;
  };
  const Case cases[] = {{7, 1000, 1059},     {-300, 1000, 27},      {0, -1, -1},
                        {240, 32767, 32767}, {240, -32768, -32768}, {240, 2000, 31633},
                        {240, 3000, 32767},  {240, -3000, -32768}};
  for (const Case& c : cases) {
    Stage s(0, c.slot);
    EXPECT_EQ(s.run(std::vector<int16_t>(FRAME_LENGTH, c.in))[5], c.out) << c.slot << " " << c.in;
  }
}

TEST(HighPass, FullScaleInputSaturatesWithoutWrapping) {
  // A full-scale square wave through the sharpest filter and the largest gain: outputs at the
  // rails keep the sign of the filtered signal.
  std::vector<int16_t> x(FRAME_LENGTH * 10);
  for (size_t i = 0; i < x.size(); ++i) x[i] = (i / 7) % 2 ? int16_t{-32768} : int16_t{32767};
  Stage plain(800, 0);
  Stage loud(800, 240);
  const std::vector<int16_t> y = plain.run(x);
  const std::vector<int16_t> z = loud.run(x);
  for (size_t i = 0; i < x.size(); ++i) {
    if (y[i] > 2000) {
      EXPECT_EQ(z[i], 32767) << i;
    } else if (y[i] < -2000) {
      EXPECT_EQ(z[i], -32768) << i;
    }
  }
}

TEST(HighPass, MatchesADoublePrecisionBiquad) {
  std::mt19937 rng(2);
  std::vector<int16_t> x(FRAME_LENGTH * 50);
  for (auto& v : x) v = static_cast<int16_t>(static_cast<int16_t>(rng()) / 4);
  for (const int16_t cutoff : {50, 300, 800}) {
    const std::vector<int16_t> y = Stage(cutoff, 0).run(x);
    const auto& c = HIGHPASS_COEFFS_16K[static_cast<size_t>(cutoff / 50)];
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (size_t n = 0; n < x.size(); ++n) {
      const double xn = x[n];
      const double yn = (c[0] * xn + c[1] * x1 + c[2] * x2 + c[3] * y1 + c[4] * y2) / 1073741824.0;
      x2 = x1;
      x1 = xn;
      y2 = y1;
      y1 = yn;
      ASSERT_NEAR(y[n], yn, 1.5) << cutoff << " " << n;
    }
  }
}

TEST(HighPass, MemoriesCarryAcrossFrames) {
  std::mt19937 rng(3);
  std::vector<int16_t> x(FRAME_LENGTH * 8);
  for (auto& v : x) v = static_cast<int16_t>(rng());
  const std::vector<int16_t> whole = Stage(250, 35).run(x);
  EXPECT_EQ(Stage(250, 35).run(x, 40), whole);   // pieces of 40 samples
  EXPECT_EQ(Stage(250, 35).run(x, 640), whole);  // pieces of two frames
}

TEST(HighPass, NullPointerFails) {
  Stage s(100, 0);
  s.ctx.header.output = nullptr;
  EXPECT_EQ(highpass_process(&s.ctx), -1);
  EXPECT_EQ(s.ctx.x1, 0);
}

}  // namespace
}  // namespace halvern
