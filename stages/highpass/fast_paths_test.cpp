// The high-pass stage's fast form against its exact reference, bit for bit: every coefficient
// row and gain, full-scale and random signals, frames longer than a chunk, and memories the
// stage never reaches by itself (an output state that is not a multiple of 4, or so large that
// four times it no longer fits 32 bits), which the fast form must hand back to the exact one.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "fixedpoint/basic_ops.h"
#include "stages/highpass/highpass_reference.h"

namespace halvern {
namespace {

struct Pair {
  HighPassContext fast{};
  HighPassContext exact{};
  std::vector<int16_t> fast_frame, exact_frame;

  Pair(int16_t cutoff, int16_t gain_tenths, int16_t n) {
    TuningSlots slots{};
    slots[1] = cutoff;
    slots[2] = gain_tenths;
    highpass_reset(&fast);
    highpass_configure(&fast, slots);
    fast.header.frame_length = n;
    exact = fast;
    fast_frame.resize(static_cast<size_t>(n));
    exact_frame.resize(static_cast<size_t>(n));
  }

  void expect_same(const std::vector<int16_t>& in, const char* what) {
    fast.header.input = in.data();
    fast.header.output = fast_frame.data();
    exact.header.input = in.data();
    exact.header.output = exact_frame.data();
    ASSERT_EQ(highpass_process(&fast), 0);
    ASSERT_EQ(highpass_process_reference(&exact), 0);
    ASSERT_EQ(fast_frame, exact_frame) << what;
    ASSERT_EQ(fast.x1, exact.x1) << what;
    ASSERT_EQ(fast.x2, exact.x2) << what;
    ASSERT_EQ(fast.y1, exact.y1) << what;
    ASSERT_EQ(fast.y2, exact.y2) << what;
    ASSERT_EQ(fast.remainder, exact.remainder) << what;
  }
};

TEST(HighPassFast, EveryRowAndGainOnRandomAndFullScaleSignals) {
  std::mt19937 rng(1);
  for (int cutoff = 0; cutoff <= 800; cutoff += 50) {
    for (const int16_t gain : {int16_t{-300}, int16_t{0}, int16_t{7}, int16_t{240}}) {
      for (const int16_t n : {int16_t{1}, int16_t{320}, int16_t{641}, int16_t{1500}}) {
        Pair pair(static_cast<int16_t>(cutoff), gain, n);
        for (int frame = 0; frame < 3; ++frame) {
          std::vector<int16_t> in(static_cast<size_t>(n));
          const int shift = static_cast<int>(rng() % 16);
          for (auto& v : in) v = static_cast<int16_t>(static_cast<int16_t>(rng()) >> shift);
          if (frame == 1) {
            for (size_t i = 0; i < in.size(); ++i) in[i] = (i / 7) % 2 ? MAX_16 : MIN_16;
          }
          pair.expect_same(in, "signal");
        }
      }
    }
  }
}

TEST(HighPassFast, MemoriesOutsideTheFastRange) {
  std::mt19937 rng(2);
  std::vector<int16_t> in(320);
  for (auto& v : in) v = static_cast<int16_t>(rng());
  // y1 not a multiple of 4, y1 and y2 at the ends of 32 bits, a remainder with every bit set.
  for (const int32_t y1 : {1, -3, MAX_32, MIN_32, 0x1ffffffc, 0x20000000, -0x20000000}) {
    for (const int32_t y2 : {0, MAX_32, MIN_32}) {
      Pair pair(100, 0, 320);
      pair.fast.y1 = pair.exact.y1 = y1;
      pair.fast.y2 = pair.exact.y2 = y2;
      pair.fast.remainder = pair.exact.remainder = 0xffffffffu;
      pair.expect_same(in, "odd memories");
      pair.expect_same(in, "the frame after");
    }
  }
}

TEST(HighPassFast, CoefficientsWithoutTheSymmetricTaps) {
  std::mt19937 rng(3);
  for (int trial = 0; trial < 50; ++trial) {
    Pair pair(200, 0, 320);
    pair.fast.b2 = pair.exact.b2 = static_cast<int32_t>(rng() >> 2);
    if (trial % 2 == 0) pair.fast.a1 = pair.exact.a1 = static_cast<int32_t>(rng());
    std::vector<int16_t> in(320);
    for (auto& v : in) v = static_cast<int16_t>(rng());
    pair.expect_same(in, "asymmetric");
    pair.expect_same(in, "the frame after");
  }
}

}  // namespace
}  // namespace halvern
