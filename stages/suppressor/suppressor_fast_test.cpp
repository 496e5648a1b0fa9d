// The suppressor's fast steps, and the whole half built from them, against the straightforward
// references, bit for bit: random contexts, values at the edges of every range a fast form relies
// on, full scale and -32768 everywhere, and whole signals under ordinary and extreme tunings.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "fixedpoint/diagnostics_testing.h"
#include "fixedpoint/dsp_ops.h"
#include "fixedpoint/fixedpoint_reference.h"
#include "stages/suppressor/suppressor.h"
#include "stages/suppressor/suppressor_reference.h"
#include "stages/suppressor/suppressor_steps.h"

namespace halvern {
namespace {

// Every field a half reads or writes, compared one by one so that a failure names the field.
void expect_same_context(const PeakSuppressorContext& a, const PeakSuppressorContext& b,
                         const std::string& what) {
#define HALVERN_SAME(field) ASSERT_EQ(a.field, b.field) << #field << ": " << what
  HALVERN_SAME(smoothed_power);
  HALVERN_SAME(band_level);
  HALVERN_SAME(band_hold);
  HALVERN_SAME(band_mark);
  HALVERN_SAME(bin_mark);
  HALVERN_SAME(gain);
  HALVERN_SAME(first_call);
  HALVERN_SAME(work);
  HALVERN_SAME(power);
  HALVERN_SAME(power_avg);
  HALVERN_SAME(target_gain);
  HALVERN_SAME(target_gain_smooth);
  HALVERN_SAME(history);
  HALVERN_SAME(overlap);
  HALVERN_SAME(lpc);
  HALVERN_SAME(lsp);
  HALVERN_SAME(lsf);
  HALVERN_SAME(lsf_gap);
  HALVERN_SAME(peak_bin);
  HALVERN_SAME(peak_flag);
  HALVERN_SAME(peak_hold);
#undef HALVERN_SAME
}

int16_t any16(std::mt19937& rng) {
  return static_cast<int16_t>(std::uniform_int_distribution<int>(MIN_16, MAX_16)(rng));
}

int32_t any32(std::mt19937& rng) {
  return std::uniform_int_distribution<int32_t>(MIN_32, MAX_32)(rng);
}

template <typename T>
T pick(std::mt19937& rng, const std::vector<T>& values) {
  return values[std::uniform_int_distribution<size_t>(0, values.size() - 1)(rng)];
}

// A context with every field random; `level` limits the spectrum values in work.
PeakSuppressorContext random_context(std::mt19937& rng, int level) {
  PeakSuppressorContext ctx;
  peak_suppressor_reset(&ctx);
  std::uniform_int_distribution<int> spectrum(-level - 1, level);
  for (auto& v : ctx.work) v = static_cast<int16_t>(spectrum(rng));
  for (auto& v : ctx.gain) v = any16(rng);
  for (auto& v : ctx.band_mark) v = pick<int16_t>(rng, {0, 0, 1, 2, 2, 3, -1, MIN_16});
  ctx.bin_mark[0] = pick<int16_t>(rng, {0, 1, 2, 5});
  ctx.mark1_gain = any16(rng);
  ctx.mark2_gain = pick<int16_t>(rng, {MIN_16, 0, 3000, MAX_16, any16(rng)});
  ctx.rest1_gain = any16(rng);
  ctx.rest2_gain = pick<int16_t>(rng, {MIN_16, MAX_16, any16(rng)});
  return ctx;
}

TEST(SuppressorFast, EnergyLevel) {
  // Every power of two and its neighbours (where norm_l changes), the ends, and random powers.
  for (int bit = 0; bit <= 30; ++bit) {
    const int64_t p = int64_t{1} << bit;
    for (int64_t x = p - 3; x <= p + 3; ++x) {
      if (x < MIN_32 || x > MAX_32) continue;
      ASSERT_EQ(energy_level(static_cast<int32_t>(x)),
                energy_level_saturating(static_cast<int32_t>(x)))
          << x;
    }
  }
  for (const int32_t x : {MIN_32, -1, 0, 1, 16, 17, MAX_32 - 1, MAX_32}) {
    ASSERT_EQ(energy_level(x), energy_level_saturating(x)) << x;
  }
  std::mt19937 rng(8);
  for (int trial = 0; trial < 2000000; ++trial) {
    const int32_t x = std::uniform_int_distribution<int32_t>(1, MAX_32)(rng) >> (trial % 31);
    ASSERT_EQ(energy_level(x), energy_level_saturating(x)) << x;
  }
}

TEST(SuppressorFast, BinGains) {
  std::mt19937 rng(1);
  for (int trial = 0; trial < 3000; ++trial) {
    PeakSuppressorContext fast = random_context(rng, trial % 3 == 0 ? 32767 : 1024);
    if (trial % 5 == 0) fast.work.fill(MIN_16);
    if (trial % 7 == 0) fast.gain.fill(MIN_16);
    PeakSuppressorContext exact = fast;
    const int16_t state = pick<int16_t>(rng, {0, 1, 2, 3, -1});
    bin_gains(&fast, state);
    bin_gains_reference(&exact, state);
    expect_same_context(fast, exact, "trial " + std::to_string(trial));
  }
}

TEST(SuppressorFast, BinPowersAtEveryShift) {
  std::mt19937 rng(2);
  std::vector<int16_t> shifts;
  for (int s = -20; s <= 40; ++s) shifts.push_back(static_cast<int16_t>(s));
  for (const int16_t s : {MIN_16, int16_t{-16380}, int16_t{16387}, MAX_16}) shifts.push_back(s);
  for (const int16_t s1 : shifts) {
    for (int trial = 0; trial < 30; ++trial) {
      PeakSuppressorContext fast = random_context(rng, trial % 2 == 0 ? 32767 : 300);
      if (trial == 0) fast.work.fill(MIN_16);
      if (trial == 1) fast.work.fill(MAX_16);
      if (trial == 2) {
        // Sums of squares at 2^30 - 1, 2^30 and around the saturation limit of each shift.
        for (int k = 0; k < SUPPRESSOR_BINS; ++k) {
          fast.work[2 * k] = static_cast<int16_t>(23170 + k % 3);
          fast.work[2 * k + 1] = static_cast<int16_t>(-23170 - k % 5);
        }
      }
      PeakSuppressorContext exact = fast;
      bin_powers(&fast, s1);
      bin_powers_reference(&exact, s1);
      ASSERT_EQ(fast.power, exact.power) << "s1 " << s1 << ", trial " << trial;
    }
  }
}

TEST(SuppressorFast, AveragePowers) {
  std::mt19937 rng(3);
  for (int trial = 0; trial < 500; ++trial) {
    PeakSuppressorContext fast;
    peak_suppressor_reset(&fast);
    for (auto& v : fast.power)
      v = trial % 3 == 0 ? pick<int32_t>(rng, {MIN_32, MAX_32, 0, -1}) : any32(rng);
    PeakSuppressorContext exact = fast;
    average_powers(&fast);
    average_powers_reference(&exact);
    ASSERT_EQ(fast.power_avg, exact.power_avg) << "trial " << trial;
  }
}

// Powers at and around every power of two (where the leading fifteen bits change), the
// extremes, and random values; now and then a negative one, which the fast form hands over.
int32_t edge_power(std::mt19937& rng) {
  const int bit = std::uniform_int_distribution<int>(0, 30)(rng);
  const int32_t p = int32_t{1} << bit;
  switch (std::uniform_int_distribution<int>(0, 6)(rng)) {
    case 0: return p;
    case 1: return p - 1;
    case 2: return p + 1;
    case 3: return p | (p - 1);
    case 4: return pick<int32_t>(rng, {0, 1, 10, 11, 32767, 32768, 65535, MAX_32});
    default: return std::uniform_int_distribution<int32_t>(0, MAX_32)(rng) >> (bit % 24);
  }
}

TEST(SuppressorFast, PeakFlags) {
  std::mt19937 rng(9);
  for (int trial = 0; trial < 5000; ++trial) {
    PeakSuppressorContext fast;
    peak_suppressor_reset(&fast);
    // Candidate bins as peak_candidates leaves them, 0 (none) to 112, and up to 128, the last
    // bin whose neighbour below exists.
    for (auto& v : fast.peak_bin) {
      v = static_cast<int16_t>(
          std::uniform_int_distribution<int>(trial % 2 == 0 ? 0 : 100, 128)(rng));
    }
    for (auto& v : fast.power_avg) v = edge_power(rng);
    for (auto& v : fast.peak_hold) v = pick<int16_t>(rng, {0, 1, 2, 49, 50, 51, 9, 10, MAX_16, -1});
    fast.peak_level_min = pick<int16_t>(rng, {0, 100, 150, MAX_16, MIN_16, MAX_16 - 2, any16(rng)});
    fast.hold_max = pick<int16_t>(rng, {0, 10, 50, -1, MAX_16});
    PeakSuppressorContext exact = fast;
    peak_flags(&fast);
    peak_flags_reference(&exact);
    ASSERT_EQ(fast.peak_bin, exact.peak_bin) << "trial " << trial;
    ASSERT_EQ(fast.peak_flag, exact.peak_flag) << "trial " << trial;
    ASSERT_EQ(fast.peak_hold, exact.peak_hold) << "trial " << trial;
  }
}

TEST(SuppressorFast, SmoothSpectrum) {
  std::mt19937 rng(4);
  for (int trial = 0; trial < 3000; ++trial) {
    PeakSuppressorContext fast;
    peak_suppressor_reset(&fast);
    fast.first_call = trial % 10 == 0 ? 1 : 0;
    for (auto& v : fast.power_avg) v = edge_power(rng);
    for (auto& v : fast.smoothed_power) v = edge_power(rng);
    if (trial % 50 == 1) fast.power_avg[trial % SUPPRESSOR_BINS] = -5;
    if (trial % 50 == 2) fast.smoothed_power[trial % SUPPRESSOR_BINS] = MIN_32;
    PeakSuppressorContext exact = fast;
    smooth_spectrum(&fast);
    smooth_spectrum_saturating(&exact);
    ASSERT_EQ(fast.smoothed_power, exact.smoothed_power) << "trial " << trial;
  }
}

TEST(SuppressorFast, BandLevels) {
  std::mt19937 rng(5);
  for (int trial = 0; trial < 2000; ++trial) {
    PeakSuppressorContext fast;
    peak_suppressor_reset(&fast);
    for (auto& v : fast.smoothed_power) v = trial % 20 == 0 ? any32(rng) : edge_power(rng);
    PeakSuppressorContext exact = fast;
    MessageLog fast_log;
    MessageLog exact_log;
    band_levels(&fast, &fast_log.sink);
    band_levels_reference(&exact, &exact_log.sink);
    ASSERT_EQ(fast.band_level, exact.band_level) << "trial " << trial;
    ASSERT_EQ(fast_log.messages, exact_log.messages) << "trial " << trial;
  }
}

TEST(SuppressorFast, BandLevelsAtTheEdgesOfTheClosedForm) {
  // Floors at and around the value where bottom + 8000 saturates, tops and floors at 0 and full
  // scale, and values just above and below each power of two (where the normalisations change),
  // in bands of otherwise equal values so that every band sees them as its extremes.
  std::mt19937 rng(10);
  const std::vector<int32_t> floors = {
      0,          1,      10,         7999,      8000, MAX_32 - 8001, MAX_32 - 8000, MAX_32 - 7999,
      MAX_32 - 1, MAX_32, 0x3fffe0bf, 0x3fffe0c0};
  for (int trial = 0; trial < 4000; ++trial) {
    PeakSuppressorContext fast;
    peak_suppressor_reset(&fast);
    const int32_t bottom = trial % 2 == 0 ? pick(rng, floors) : edge_power(rng);
    const int32_t top = trial % 3 == 0 ? pick<int32_t>(rng, {bottom, MAX_32, 0, 1})
                                       : std::max(bottom, edge_power(rng));
    for (auto& v : fast.smoothed_power) v = bottom;
    for (int b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) {
      fast.smoothed_power[1 + 8 * b + trial % 23] = std::max(top, bottom);
    }
    PeakSuppressorContext exact = fast;
    MessageLog fast_log;
    MessageLog exact_log;
    band_levels(&fast, &fast_log.sink);
    band_levels_reference(&exact, &exact_log.sink);
    ASSERT_EQ(fast.band_level, exact.band_level)
        << "trial " << trial << ", " << bottom << ", " << top;
    ASSERT_EQ(fast_log.messages, exact_log.messages) << "trial " << trial;
  }
}

// Whole halves: the tunings of the pipeline tests and extreme ones, over signals that keep every
// path busy (howl over noise, full-scale square, impulses, -32768 everywhere, silence, sweeps).
TuningSlots tuning(int which, std::mt19937& rng) {
  TuningSlots slots{};
  switch (which) {
    case 0:  // nothing passes
      for (int s = 63; s <= 76; ++s) slots[s] = 32767;
      slots[77] = slots[78] = 10000;
      slots[80] = 10;
      break;
    case 1:  // suppresses peaks standing 15 dB above their band
      for (int s = 63; s <= 76; ++s) slots[s] = 40;
      slots[77] = slots[78] = 10000;
      slots[79] = 150;
      slots[80] = 10;
      break;
    case 2:  // everything marked, negative gains
      for (int s = 61; s <= 76; ++s) slots[s] = MIN_16;
      slots[77] = MIN_16;
      slots[78] = -1;
      slots[79] = MAX_16;
      slots[80] = MAX_16;
      break;
    default:
      for (int s = 61; s <= 80; ++s) slots[s] = any16(rng);
      slots[79] = pick<int16_t>(rng, {MAX_16, 0, 100, any16(rng)});
      slots[80] = pick<int16_t>(rng, {0, 1, 10, -5, any16(rng)});
      break;
  }
  return slots;
}

std::vector<int16_t> test_signal(int which, int halves, std::mt19937& rng) {
  std::vector<int16_t> x(static_cast<size_t>(halves) * SUPPRESSOR_HALF);
  int16_t seed = 12345;
  for (size_t n = 0; n < x.size(); ++n) {
    const double t = static_cast<double>(n) / 16000.0;
    double v = 0;
    switch (which) {
      case 0:  // a howl growing out of noise
        v = std::min(1.0, 0.05 + t) * 30000 * std::sin(2 * std::numbers::pi * 2500 * t) +
            Random(&seed) / 8.0;
        break;
      case 1:  // full-scale square
        v = (n / 20) % 2 == 0 ? 32767 : -32768;
        break;
      case 2:  // impulses
        v = n % 97 == 0 ? (n % 2 == 0 ? 32767 : -32768) : 0;
        break;
      case 3: v = -32768; break;
      case 4: v = 0; break;
      case 5:  // a sweep at full scale
        v = 32767 * std::sin(2 * std::numbers::pi * (100 + 3000 * t) * t);
        break;
      default:  // full-scale noise, then quiet noise
        v = n < x.size() / 2 ? any16(rng) : Random(&seed) / 64.0;
        break;
    }
    x[n] = static_cast<int16_t>(std::lround(std::fmax(-32768.0, std::fmin(32767.0, v))));
  }
  return x;
}

TEST(SuppressorFast, WholeHalvesMatchTheReference) {
  std::mt19937 rng(7);
  constexpr int HALVES = 24;
  for (int signal = 0; signal < 7; ++signal) {
    for (int t = 0; t < 6; ++t) {
      const std::string what = "signal " + std::to_string(signal) + ", tuning " + std::to_string(t);
      const TuningSlots slots = tuning(t, rng);
      PeakSuppressorContext fast;
      peak_suppressor_reset(&fast);
      peak_suppressor_configure(&fast, slots);
      PeakSuppressorContext exact = fast;
      std::vector<int16_t> a = test_signal(signal, HALVES, rng);
      std::vector<int16_t> b = a;
      MessageLog fast_log;
      MessageLog exact_log;
      for (int h = 0; h < HALVES; ++h) {
        int16_t* pa = a.data() + h * SUPPRESSOR_HALF;
        int16_t* pb = b.data() + h * SUPPRESSOR_HALF;
        peak_suppressor_process_half(&fast, pa, &fast_log.sink);
        peak_suppressor_process_half_reference(&exact, pb, &exact_log.sink);
        ASSERT_TRUE(std::equal(pa, pa + SUPPRESSOR_HALF, pb)) << what << ", half " << h;
        expect_same_context(fast, exact, what + ", half " + std::to_string(h));
      }
      ASSERT_EQ(fast_log.messages, exact_log.messages) << what;
    }
  }
}

}  // namespace
}  // namespace halvern
