// The equalizer's fast paths against their exact references, bit for bit, on random and
// adversarial inputs: those that just reach the no-saturation bound, those just past it, and
// those that saturate on every term.

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

#include "fixedpoint/basic_ops.h"
#include "stages/equalizer/equalizer.h"

namespace halvern {
namespace {

using Taps = std::array<int16_t, EQ_TAPS>;

void expect_same_chain(const std::vector<int16_t>& in, const Taps& taps, const char* what) {
  const int n = static_cast<int>(in.size()) - EQ_HISTORY;
  std::vector<int16_t> fast(static_cast<size_t>(n));
  std::vector<int16_t> exact(static_cast<size_t>(n));
  fir_chain(in.data(), taps.data(), fast.data(), n);
  fir_chain_reference(in.data(), taps.data(), exact.data(), n);
  ASSERT_EQ(fast, exact) << what;
}

int64_t tap_magnitude_sum(const Taps& taps) {
  int64_t s = 0;
  for (const int16_t t : taps) s += t < 0 ? -int64_t{t} : t;
  return s;
}

TEST(FirChain, RandomTapsAndSignals) {
  std::mt19937 rng(1);
  for (int trial = 0; trial < 3000; ++trial) {
    Taps taps{};
    const int shift = static_cast<int>(rng() % 16);
    for (auto& t : taps) t = static_cast<int16_t>(static_cast<int16_t>(rng()) >> shift);
    if (trial % 3 == 0) {  // sparse taps, as real settings often are
      for (auto& t : taps) t = (rng() % 4 == 0) ? t : int16_t{0};
    }
    const int n = 1 + static_cast<int>(rng() % FRAME_CAPACITY);
    std::vector<int16_t> in(static_cast<size_t>(n + EQ_HISTORY));
    const int level = static_cast<int>(rng() % 16);
    for (auto& v : in) v = static_cast<int16_t>(static_cast<int16_t>(rng()) >> level);
    expect_same_chain(in, taps, "random");
  }
}

TEST(FirChain, AtAndJustPastTheBound) {
  // Taps whose magnitudes sum to S, and an input peak M chosen so that 2 S M lands exactly on
  // MAX_32 - d for small d (fast path) or just above MAX_32 (exact chain), with every term of
  // one sign so that the partial sums really reach the bound.
  std::mt19937 rng(2);
  for (int trial = 0; trial < 400; ++trial) {
    Taps taps{};
    for (auto& t : taps) t = static_cast<int16_t>(rng() % 2000);
    const int64_t s = tap_magnitude_sum(taps);
    const int64_t m_fit = MAX_32 / (2 * s);
    for (const int64_t m : {m_fit, m_fit + 1}) {
      if (m > 32767) continue;
      std::vector<int16_t> in(FRAME_LENGTH + EQ_HISTORY, static_cast<int16_t>(m));
      expect_same_chain(in, taps, "positive at the bound");
      for (auto& v : in) v = static_cast<int16_t>(-m);
      expect_same_chain(in, taps, "negative at the bound");
      for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<int16_t>(i % 2 ? m : -m);
      expect_same_chain(in, taps, "alternating at the bound");
    }
  }
}

TEST(FirChain, FullScaleAndTheSpecialProduct) {
  std::mt19937 rng(3);
  for (int trial = 0; trial < 500; ++trial) {
    Taps taps{};
    for (auto& t : taps) {
      const uint32_t pick = rng() % 5;
      t = pick == 0 ? MIN_16 : pick == 1 ? MAX_16 : pick == 2 ? int16_t{0} : static_cast<int16_t>(rng());
    }
    std::vector<int16_t> in(FRAME_LENGTH + EQ_HISTORY);
    for (auto& v : in) {
      const uint32_t pick = rng() % 4;
      v = pick == 0 ? MIN_16 : pick == 1 ? MAX_16 : static_cast<int16_t>(rng());
    }
    expect_same_chain(in, taps, "full scale");
  }
  // -32768 x -32768 alone: L_mult gives MAX_32, not 2^31.
  Taps taps{};
  taps[31] = MIN_16;
  expect_same_chain(std::vector<int16_t>(FRAME_LENGTH + EQ_HISTORY, MIN_16), taps, "special");
  taps[0] = MIN_16;
  taps[62] = 1;
  expect_same_chain(std::vector<int16_t>(FRAME_LENGTH + EQ_HISTORY, MIN_16), taps, "special 2");
}

}  // namespace
}  // namespace halvern
