// The path's block convolution against the direct sum at the partitions' edges, the Nyquist MSG
// of paths whose answer is known, and the room's key=value form.

#include "tools/loop/feedback_path.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>

namespace {

using namespace halvern::tools;

TEST(PathConvolution, IsTheDirectSumForPathsEndingAtAndAroundBlockEdges) {
  std::mt19937 rng(11);
  std::normal_distribution<double> draw(0.0, 1.0);
  for (const size_t taps : {size_t{1}, size_t{319}, size_t{320}, size_t{641}, size_t{1600}}) {
    std::vector<double> f(taps);
    for (double& v : f) v = draw(rng);
    const PartitionedPath path(f);
    PathConvolution convolution(path);
    std::vector<double> x(320 * 12);
    for (double& v : x) v = 1000 * draw(rng);
    std::vector<double> y(x.size());
    for (size_t j = 0; j < 12; ++j) convolution.push(x.data() + 320 * j, y.data() + 320 * j);
    double worst = 0;
    for (size_t n = 0; n < x.size(); ++n) {
      double direct = 0;
      for (size_t m = 0; m < taps && m <= n; ++m) direct += f[m] * x[n - m];
      worst = std::max(worst, std::fabs(direct - y[n]));
    }
    EXPECT_LT(worst, 1e-8) << taps << " taps";
  }
}

TEST(NyquistMsg, OfAnEchoIsItsAttenuation) {
  // f = a at delay d: |L| = |a| everywhere, and L is real and positive somewhere whatever a's sign.
  for (const auto& [a, d] : {std::pair{0.5, 0}, {-0.25, 17}, {2.0, 1000}}) {
    std::vector<double> f(static_cast<size_t>(d) + 1, 0.0);
    f.back() = a;
    EXPECT_NEAR(nyquist_msg(f).msg_db, -20 * std::log10(std::fabs(a)), 1e-9) << a << " " << d;
  }
  // Two echoes: f = 1 at 0 and at 320, L = e^{-j320w} (1 + e^{-j320w}), largest (2, real and
  // positive) at w = 2 pi k / 320.
  std::vector<double> two(321, 0.0);
  two[0] = two[320] = 1;
  EXPECT_NEAR(nyquist_msg(two).msg_db, -20 * std::log10(2.0), 1e-6);
  EXPECT_TRUE(std::isinf(nyquist_msg(std::vector<double>(5, 0.0)).msg_db));
}

TEST(RoomSpec, ReadsUnitsAndNamesWhatIsWrong) {
  const RoomSpec room = parse_room_spec("seed=42, delay=2.5ms,rt60=0.3s");
  EXPECT_DOUBLE_EQ(room.rt60_s, 0.3);
  EXPECT_DOUBLE_EQ(room.delay_s, 0.0025);
  EXPECT_EQ(room.seed, 42U);
  EXPECT_DOUBLE_EQ(parse_room_spec("rt60=250ms").rt60_s, 0.25);
  for (const char* bad : {"rt60", "rt60=fast", "rt60=7", "delay=-1ms", "seed=-3", "size=4"}) {
    EXPECT_THROW(parse_room_spec(bad), std::invalid_argument) << bad;
  }
  const std::vector<double> f = synthetic_room(room);
  EXPECT_EQ(f.size(), 40U + 4800U);
  EXPECT_EQ(f[39], 0.0);
  EXPECT_NE(f[40], 0.0);
}

}  // namespace
