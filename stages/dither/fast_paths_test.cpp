// The dither stage's fast form against its exact reference, bit for bit: every setting, periods
// and thresholds the configuration never produces (0, negative, longer than the frame), steps at
// the ends of the range, directions carried in from odd states, and samples at the rails.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "fixedpoint/basic_ops.h"
#include "stages/dither/dither.h"

namespace halvern {
namespace {

struct Pair {
  DitherContext fast{};
  DitherContext exact{};
  std::vector<int16_t> fast_frame, exact_frame;

  Pair(int16_t setting, int16_t n) {
    TuningSlots slots{};
    slots[60] = setting;
    dither_reset(&fast);
    dither_configure(&fast, slots);
    fast.header.frame_length = n;
    fast.header.enable = 1;
    exact = fast;
    fast_frame.resize(static_cast<size_t>(n < 0 ? 0 : n));
    exact_frame = fast_frame;
  }

  void expect_same(const std::vector<int16_t>& in, const char* what) {
    fast.header.input = in.data();
    fast.header.output = fast_frame.data();
    exact.header.input = in.data();
    exact.header.output = exact_frame.data();
    ASSERT_EQ(dither_process(&fast), dither_process_per_sample(&exact));
    ASSERT_EQ(fast_frame, exact_frame) << what;
    ASSERT_EQ(fast.seed, exact.seed) << what;
    ASSERT_EQ(fast.direction, exact.direction) << what;
  }
};

std::vector<int16_t> signal(std::mt19937& rng, int n) {
  std::vector<int16_t> x(static_cast<size_t>(n < 0 ? 0 : n));
  for (auto& v : x) {
    const uint32_t pick = rng() % 4;
    v = pick == 0 ? MAX_16 : (pick == 1 ? MIN_16 : static_cast<int16_t>(rng()));
  }
  return x;
}

TEST(DitherFast, EverySettingOverManyFrames) {
  std::mt19937 rng(1);
  for (int setting = 10; setting <= 39; ++setting) {
    Pair pair(static_cast<int16_t>(setting), FRAME_LENGTH);
    for (int frame = 0; frame < 30; ++frame) pair.expect_same(signal(rng, FRAME_LENGTH), "setting");
  }
}

TEST(DitherFast, OddPeriodsThresholdsStepsAndStates) {
  std::mt19937 rng(2);
  const std::vector<int16_t> periods = {0, 1, 2, 3, 4, 7, -1, MIN_16, 700, MAX_16};
  const std::vector<int16_t> thresholds = {-1, 0, 1, 5, 14, 15, 16, 17, -16, -17, MIN_16, MAX_16};
  const std::vector<int16_t> steps = {0, 1, 4, -1, MAX_16, MIN_16, -32767};
  const std::vector<int16_t> lengths = {0, -5, 1, 2, 7, 320, 641, 1300};
  for (int trial = 0; trial < 600; ++trial) {
    const int16_t n = lengths[rng() % lengths.size()];
    Pair pair(10, n);
    pair.fast.period = pair.exact.period = periods[rng() % periods.size()];
    pair.fast.threshold = pair.exact.threshold = thresholds[rng() % thresholds.size()];
    pair.fast.step = pair.exact.step = steps[rng() % steps.size()];
    pair.fast.direction = pair.exact.direction =
        static_cast<int16_t>(static_cast<int>(rng() % 5) - 2);
    pair.fast.seed = pair.exact.seed = static_cast<int16_t>(rng());
    for (int frame = 0; frame < 3; ++frame) pair.expect_same(signal(rng, n), "odd");
  }
}

TEST(DitherFast, DisabledOrUnboundFramesAreLeftAlone) {
  Pair pair(25, FRAME_LENGTH);
  pair.fast.header.enable = pair.exact.header.enable = 0;
  std::mt19937 rng(3);
  pair.expect_same(signal(rng, FRAME_LENGTH), "disabled");
  pair.fast.header.enable = pair.exact.header.enable = 1;
  pair.fast.header.output = nullptr;
  EXPECT_EQ(dither_process(&pair.fast), -1);
}

}  // namespace
}  // namespace halvern
