// The equalizer's fast paths against their exact references, bit for bit, on random and
// adversarial inputs: those that just reach the no-saturation bounds, those just past them, and
// those that saturate on every term; and the limiter's, at and around its first loud envelope.

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

#include "fixedpoint/basic_ops.h"
#include "stages/equalizer/equalizer.h"
#include "stages/equalizer/peak_limiter.h"

namespace halvern {
namespace {

using Taps = std::array<int16_t, EQ_TAPS>;

void expect_same_chain(const std::vector<int16_t>& in, const Taps& taps, const char* what) {
  const int n = static_cast<int>(in.size()) - EQ_HISTORY;
  std::vector<int16_t> fast(static_cast<size_t>(n));
  std::vector<int16_t> exact(static_cast<size_t>(n));
  fir_chain(in.data(), taps.data(), fast.data(), n);
  fir_chain_saturating(in.data(), taps.data(), exact.data(), n);
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
      t = pick == 0   ? MIN_16
          : pick == 1 ? MAX_16
          : pick == 2 ? int16_t{0}
                      : static_cast<int16_t>(rng());
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

TEST(FirChain, CoarseBoundReachedAndPassed) {
  // Taps and inputs that are multiples of 16 make the coarse bound exact: two taps 16 x 2047
  // and 16 on -32768 and 16 x 2047 give Q = 2047 x 2048 + 2047 = 2^22 - 1, the largest sum the
  // dot product may take; one more unit of input (-32768 for the second tap too) passes it.
  for (const int16_t second : {int16_t{16 * 2047}, MIN_16, int16_t{-16 * 2047}}) {
    Taps taps{};
    taps[10] = 16 * 2047;
    taps[11] = 16;
    std::vector<int16_t> in(FRAME_LENGTH + EQ_HISTORY, MIN_16);
    for (size_t i = 0; i < in.size(); ++i) {
      if (i % 2 == 1) in[i] = second;
    }
    expect_same_chain(in, taps, "coarse bound");
    for (auto& t : taps) t = static_cast<int16_t>(-t);
    expect_same_chain(in, taps, "coarse bound, negated taps");
  }
}

TEST(FirChain, FewOrManyOutputsPastTheBoundInAGroup) {
  // Moderate noise with full-scale bursts of every length: groups with no, one, a few and many
  // outputs whose sums may saturate, taking the dot product, the single chains or the columns.
  std::mt19937 rng(4);
  Taps taps{};
  for (int j = 0; j < 31; ++j) {
    taps[static_cast<size_t>(j)] = taps[static_cast<size_t>(62 - j)] =
        static_cast<int16_t>(static_cast<int16_t>(rng()) >> (2 + j % 8));
  }
  taps[31] = 30000;
  for (int burst = 1; burst <= 40; ++burst) {
    std::vector<int16_t> in(FRAME_CAPACITY + EQ_HISTORY);
    for (auto& v : in) v = static_cast<int16_t>(static_cast<int16_t>(rng()) >> 3);
    for (size_t at = rng() % 100; at + static_cast<size_t>(burst) < in.size(); at += 150) {
      for (int i = 0; i < burst; ++i) in[at + static_cast<size_t>(i)] = rng() % 2 ? MAX_16 : MIN_16;
    }
    expect_same_chain(in, taps, "bursts");
  }
}

// A limiter as configured, with a delay line of the given length, in its start state.
struct LimiterPair {
  PeakLimiter fast{0, LIMITER_INITIAL_GAIN_Q15, 0, LIMITER_SLOPE_Q15, 0, 2048};
  PeakLimiter exact = fast;
  std::vector<int16_t> fast_delay, exact_delay;
  int16_t fast_index = 0, exact_index = 0;
  int16_t length;
  LimiterPair(int16_t threshold, int16_t delay_length) : length(delay_length) {
    fast.threshold = exact.threshold = threshold;
    fast_delay.assign(static_cast<size_t>(delay_length), 0);
    exact_delay = fast_delay;
  }
  void expect_same(std::vector<int16_t> x, const char* what) {
    std::vector<int16_t> y = x;
    peak_limit(x.data(), static_cast<int>(x.size()), &fast, fast_delay.data(), &fast_index, length);
    peak_limit_per_sample(y.data(), static_cast<int>(y.size()), &exact, exact_delay.data(),
                          &exact_index, length);
    ASSERT_EQ(x, y) << what;
    ASSERT_EQ(fast.envelope, exact.envelope) << what;
    ASSERT_EQ(fast.gain, exact.gain) << what;
    ASSERT_EQ(fast_index, exact_index) << what;
    ASSERT_EQ(fast_delay, exact_delay) << what;
  }
};

TEST(PeakLimitFast, FirstLoudEnvelopeIsTheEdgeOfTheLevel) {
  for (int T = -24000; T <= 0; T += 7) {
    const auto t = static_cast<int16_t>(T);
    const int64_t e = limiter_first_loud_envelope(t);
    if (e > MAX_32) {
      ASSERT_LE(limiter_level_db(MAX_32), t);
      continue;
    }
    ASSERT_GT(limiter_level_db(static_cast<int32_t>(e)), t) << T;
    if (e > 1) {
      ASSERT_LE(limiter_level_db(static_cast<int32_t>(e - 1)), t) << T;
    }
  }
  // The level never falls over E >= 1: checked on every power of two and its neighbours, and on
  // a fine grid.
  int16_t previous = limiter_level_db(1);
  for (int64_t e = 2; e <= MAX_32; e += 1 + e / 4096) {
    const int16_t level = limiter_level_db(static_cast<int32_t>(e));
    ASSERT_GE(level, previous) << e;
    previous = level;
  }
}

TEST(PeakLimitFast, RandomSignalsThresholdsAndDelays) {
  std::mt19937 rng(5);
  for (int trial = 0; trial < 600; ++trial) {
    const auto threshold = static_cast<int16_t>(
        trial % 10 == 0 ? static_cast<int16_t>(rng()) : -64 * static_cast<int>(rng() % 41));
    const int16_t delay_length =
        std::array<int16_t, 8>{1, 2, 15, 16, 17, 690, 1024, 1025}[rng() % 8];
    LimiterPair pair(threshold, delay_length);
    if (trial % 6 == 0) pair.fast.out_gain = pair.exact.out_gain = static_cast<int16_t>(rng());
    if (trial % 9 == 0) pair.fast.offset_db = pair.exact.offset_db = static_cast<int16_t>(rng());
    for (int call = 0; call < 4; ++call) {
      const int n = 1 + static_cast<int>(rng() % 1500);
      const int shift = static_cast<int>(rng() % 15);
      std::vector<int16_t> x(static_cast<size_t>(n));
      for (auto& v : x) v = static_cast<int16_t>(static_cast<int16_t>(rng()) >> shift);
      if (call == 2) {
        for (auto& v : x) v = rng() % 2 ? MAX_16 : MIN_16;
      }
      pair.expect_same(x, "random");
    }
  }
}

TEST(PeakLimitFast, SilenceFullScaleAndOddStates) {
  for (const int16_t threshold : {int16_t{0}, int16_t{-10}, int16_t{-11}, int16_t{-2560},
                                  int16_t{-11520}, int16_t{-11521}, MIN_16, MAX_16}) {
    LimiterPair pair(threshold, 16);
    pair.expect_same(std::vector<int16_t>(700, 0), "silence");
    pair.expect_same(std::vector<int16_t>(700, MIN_16), "-32768");
    pair.expect_same(std::vector<int16_t>(700, MAX_16), "32767");
    pair.expect_same(std::vector<int16_t>(3000, 1), "release down to a small envelope");
    // States the limiter never reaches by itself: a negative envelope and the lowest gain.
    pair.fast.envelope = pair.exact.envelope = MIN_16;
    pair.fast.gain = pair.exact.gain = MIN_16;
    pair.expect_same(std::vector<int16_t>(50, MIN_16), "odd state");
    // A threshold changed between calls is picked up.
    pair.fast.threshold = pair.exact.threshold = static_cast<int16_t>(threshold / 2);
    pair.expect_same(std::vector<int16_t>(100, 20000), "new threshold");
  }
}

}  // namespace
}  // namespace halvern
