#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "stages/suppressor/lpc/lpc_reference.h"

namespace halvern {
namespace {

using Block = std::array<int16_t, LPC_BLOCK>;
using Lags = std::array<int32_t, LPC_ORDER + 1>;

Block constant_block(int16_t v) {
  Block b;
  b.fill(v);
  return b;
}

// Deterministic pseudo-random samples in [-amplitude, amplitude].
Block noise_block(uint32_t seed, int amplitude) {
  Block b;
  for (int16_t& v : b) {
    seed = seed * 1664525u + 1013904223u;
    v = static_cast<int16_t>(static_cast<int>(seed >> 16) % (2 * amplitude + 1) - amplitude);
  }
  return b;
}

Lags run(const Block& block) {
  Lags r{};
  autocorrelation(block.data(), r.data());
  return r;
}

struct WorkedBlock {
  const char* name;
  Block block;
  Lags expected;
};

// (256 - i) * v^2 * 2^s for i = 0..10, with the unit of the energy added at lag 0.
Lags constant_lags(int64_t v, int s) {
  Lags r{};
  for (int i = 0; i <= LPC_ORDER; ++i) r[i] = static_cast<int32_t>(((256 - i) * v * v) << s);
  r[0] = static_cast<int32_t>((256 * v * v + 1) << s);
  return r;
}

TEST(Autocorrelation, WorkedBlocks) {
  Block sparse{};  // energy 1 + 2^31 - 1: exactly the first energy that is halved
  sparse[0] = 32767;
  sparse[1] = 32767;
  sparse[2] = 362;
  sparse[3] = 5;
  const std::vector<WorkedBlock> cases = {
      {"silence", Block{}, {1073741824, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"full scale, four halvings",
       constant_block(32767),
       {2145387010, 2137006590, 2128626172, 2120245754, 2111865336, 2103484918, 2095104500,
        2086724082, 2078343664, 2069963246, 2061582828}},
      {"minus one, no halving", constant_block(-1), constant_lags(1, 22)},
      {"negative full scale", constant_block(-32768), constant_lags(2048, 0)},
      {"one halving", constant_block(2897), constant_lags(1448, 2)},
      {"one halving rounds down", constant_block(-2897), constant_lags(1449, 1)},
      {"energy exactly 2^31",
       sparse,
       {2147352576, 1085473496, 11992356, 131064, 0, 0, 0, 0, 0, 0, 0}},
  };
  EXPECT_EQ(constant_lags(1, 22)[0], 1077936128);
  EXPECT_EQ(constant_lags(2047, 1)[0], 2145387010);
  for (const WorkedBlock& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(run(c.block), c.expected);
  }
}

TEST(Autocorrelation, LeavesBlockUnchanged) {
  const Block original = noise_block(7, 32767);  // loud enough to be halved inside
  Block block = original;
  run(block);
  EXPECT_EQ(block, original);
}

// Without halving, r[i] / r[0] must equal the exact lag sum over (1 + energy).
TEST(Autocorrelation, ExactRatiosWithoutHalving) {
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    const Block block = noise_block(seed, static_cast<int>(100 + 95 * seed));
    const Lags r = run(block);
    int64_t energy = 1;
    for (const int16_t v : block) energy += int64_t{v} * v;
    ASSERT_LT(energy, int64_t{1} << 31);
    EXPECT_GE(r[0], int32_t{1} << 30);
    for (int i = 1; i <= LPC_ORDER; ++i) {
      int64_t sum = 0;
      for (int n = 0; n + i < LPC_BLOCK; ++n) sum += int64_t{block[n]} * block[n + i];
      EXPECT_EQ(int64_t{r[i]} * energy, int64_t{r[0]} * sum) << "seed " << seed << " lag " << i;
    }
  }
}

// Loud blocks lose a few low bits in the halvings; the normalised lags stay close to the
// double-precision autocorrelation of the original block.
TEST(Autocorrelation, LoudBlocksMatchDoubleRatios) {
  for (int amplitude : {4000, 12000, 32767}) {
    Block block;
    for (int n = 0; n < LPC_BLOCK; ++n) {
      block[n] = static_cast<int16_t>(
          std::lround(amplitude * (0.6 * std::sin(0.21 * n) + 0.39 * std::sin(1.7 * n + 0.4))));
    }
    const Lags r = run(block);
    EXPECT_GE(r[0], int32_t{1} << 30);
    std::array<double, LPC_ORDER + 1> ref{};
    for (int i = 0; i <= LPC_ORDER; ++i) {
      for (int n = 0; n + i < LPC_BLOCK; ++n)
        ref[i] += static_cast<double>(block[n]) * block[n + i];
    }
    for (int i = 1; i <= LPC_ORDER; ++i) {
      EXPECT_NEAR(static_cast<double>(r[i]) / r[0], ref[i] / ref[0], 2e-3)
          << amplitude << " lag " << i;
    }
  }
}

}  // namespace
}  // namespace halvern
