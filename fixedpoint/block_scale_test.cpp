#include "fixedpoint/fixedpoint_reference.h"

#include <gtest/gtest.h>

#include <array>
#include <random>

namespace halvern {
namespace {

using Block = std::array<int16_t, BLOCK_SCALE_LENGTH>;

TEST(BlockNormalise, WorkedValues) {
  Block zero{};
  EXPECT_EQ(block_normalise(zero.data(), 1), 15);
  EXPECT_EQ(zero, Block{});

  Block peak{};
  peak[10] = 1000;
  peak[11] = -999;
  peak[12] = 3;
  EXPECT_EQ(block_normalise(peak.data(), 2), 3);
  EXPECT_EQ(peak[10], 8000);
  EXPECT_EQ(peak[11], -7992);
  EXPECT_EQ(peak[12], 24);

  // One -32768 among small samples: its magnitude wraps and does not count; it saturates.
  Block spike{};
  for (size_t i = 0; i < spike.size(); ++i) spike[i] = static_cast<int16_t>(i % 201) - 100;
  spike[7] = -32768;
  const Block before = spike;
  EXPECT_EQ(block_normalise(spike.data(), 0), 8);
  EXPECT_EQ(spike[7], -32768);
  for (size_t i = 0; i < spike.size(); ++i) {
    if (i != 7) {
      EXPECT_EQ(spike[i], before[i] * 256) << i;
    }
  }

  // Every sample -32768: the largest magnitude is -32768 itself, norm_s gives 0.
  Block full;
  full.fill(-32768);
  EXPECT_EQ(block_normalise(full.data(), 5), -5);
  for (const int16_t v : full) EXPECT_EQ(v, -1024);
}

TEST(BlockNormalise, LeavesTheRequestedHeadroom) {
  std::mt19937 rng(8);
  for (int trial = 0; trial < 2000; ++trial) {
    Block x;
    const int bits = static_cast<int>(rng() % 16);
    for (int16_t& v : x) v = static_cast<int16_t>(static_cast<int16_t>(rng()) >> bits);
    const auto headroom = static_cast<int16_t>(rng() % 6);
    const Block before = x;
    const int16_t s = block_normalise(x.data(), headroom);
    int peak = 0;
    for (const int16_t v : x) peak = std::max(peak, std::abs(int{v}));
    if (peak == 0) continue;
    // The largest magnitude now has its leading bit at 14 - headroom (or one above, rounded up).
    EXPECT_GE(peak, (1 << (14 - headroom)) - 1) << trial;
    EXPECT_LE(peak, 1 << (15 - headroom)) << trial;
    // Scaling back restores the block up to rounding of the downward shift.
    block_rescale(x.data(), s);
    for (size_t i = 0; i < x.size(); ++i) {
      EXPECT_NEAR(x[i], before[i], s < 0 ? (1 << -s) : 1) << trial << " " << i;
    }
  }
}

TEST(BlockRescale, ShiftsWithRoundingAndSaturation) {
  Block x;
  x.fill(12345);
  block_rescale(x.data(), 20);
  EXPECT_EQ(x, Block{});
  x.fill(-20000);
  x[1] = 3;
  block_rescale(x.data(), -1);
  EXPECT_EQ(x[0], -32768);
  EXPECT_EQ(x[1], 6);
  x[0] = 5;
  x[1] = -5;
  block_rescale(x.data(), 1);
  EXPECT_EQ(x[0], 3);
  EXPECT_EQ(x[1], -2);
}

}  // namespace
}  // namespace halvern
