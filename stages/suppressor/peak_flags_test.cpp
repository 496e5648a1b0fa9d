// Peak candidates from the line spectral frequencies; band peak flags and their holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "stages/suppressor/suppressor.h"
#include "stages/suppressor/suppressor_reference.h"
#include "stages/suppressor/suppressor_steps.h"

namespace halvern {
namespace {

using Lsf = std::array<int16_t, SUPPRESSOR_LSF_COUNT>;
using Flags = std::array<int16_t, SUPPRESSOR_BAND_COUNT>;

PeakSuppressorContext configured(int16_t peak_level_min, int16_t hold_max) {
  PeakSuppressorContext ctx;
  peak_suppressor_reset(&ctx);
  TuningSlots slots{};
  slots[79] = peak_level_min;
  slots[80] = hold_max;
  peak_suppressor_configure(&ctx, slots);
  ctx.power_avg.fill(0);
  return ctx;
}

TEST(PeakCandidates, WorkedValues) {
  struct Case {
    Lsf lsf, lsf_after, gap, bin;
  };
  const Case cases[] = {
      // Evenly spread: every gap is too wide but that of lsf[0]; 14898 is out of range.
      {{1486, 2977, 4467, 5957, 7447, 8937, 10427, 11917, 13407, 14898},
       {1486, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       {0, 1491, 1490, 1490, 1490, 1490, 1490, 1490, 1490, -13407},
       {11, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      // The frequencies of the all-zero fallback: ten candidates at bin 64.
      {{8192, 8192, 8192, 8192, 8192, 8192, 8192, 8192, 8192, 8192},
       {8192, 8192, 8192, 8192, 8192, 8192, 8192, 8192, 8192, 8192},
       {0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       {64, 64, 64, 64, 64, 64, 64, 64, 64, 64}},
      // Gaps of 204 stay, 205 go; 14336 passes the range test, 14337 does not.
      {{1000, 3000, 3150, 5000, 5204, 7000, 7205, 9000, 14336, 14337},
       {1000, 0, 3150, 0, 5204, 0, 0, 0, 0, 0},
       {0, 2000, 150, 1850, 204, 1796, 205, 1795, 5336, -14336},
       {7, 0, 24, 0, 40, 0, 0, 0, 0, 0}},
      // Below 100 goes; above a discarded neighbour the gap is the value itself, so only values
      // up to 204 stay; 100 to 127 give bin 0, no candidate.
      {{99, 200, 300, 30, 205, 127, 128, -5, 150, 16384},
       {0, 200, 300, 0, 0, 127, 128, 0, 150, 0},
       {0, 200, 100, -300, 205, -78, 1, -128, 150, -150},
       {0, 1, 2, 0, 0, 0, 1, 0, 1, 0}},
  };
  for (const Case& c : cases) {
    PeakSuppressorContext ctx = configured(0, 0);
    ctx.lsf = c.lsf;
    peak_candidates(&ctx);
    EXPECT_EQ(ctx.lsf, c.lsf_after);
    EXPECT_EQ(ctx.lsf_gap, c.gap);
    EXPECT_EQ(ctx.peak_bin, c.bin);
  }
}

TEST(PeakFlags, LevelOfTheBinBelowTheCandidate) {
  struct Case {
    int16_t peak_level_min;
    int16_t bin;
    int32_t power;  // power_avg[bin - 1]; energy_level(10^6) = 128, energy_level(1) = 0
    bool counted;
  };
  for (const Case& c :
       {Case{128, 17, 1000000, true}, Case{128, 16, 1000000, false}, Case{123, 16, 1000000, true},
        Case{0, 127, 0, true}, Case{1, 127, 0, false}, Case{32765, 10, 0, true},  // 32765 + 5 wraps
        Case{32765, 20, MAX_32, false}}) {
    PeakSuppressorContext ctx = configured(c.peak_level_min, 0);
    ctx.power_avg[c.bin - 1] = c.power;
    ctx.peak_bin[4] = c.bin;
    peak_flags(&ctx);
    EXPECT_EQ(ctx.peak_bin[4], c.counted ? c.bin : 0) << c.peak_level_min << " " << c.bin;
  }
}

TEST(PeakFlags, BandsHoldingTheBins) {
  struct Case {
    Lsf bins;
    Flags flags;
  };
  const Case cases[] = {
      {{20, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {{64, 64, 64, 64, 64, 64, 64, 64, 64, 64}, {0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0}},
      {{8, 0, 24, 0, 0, 0, 0, 0, 104, 127}, {1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1}},
  };
  for (const Case& c : cases) {
    PeakSuppressorContext ctx = configured(-5, 0);  // every candidate counts, even in silence
    ctx.peak_bin = c.bins;
    peak_flags(&ctx);
    EXPECT_EQ(ctx.peak_flag, c.flags);
  }
}

TEST(PeakFlags, HoldCounters) {
  struct Case {
    int16_t hold_max;
    int16_t bin;
    int band;
    std::vector<int> peak_halves;
    int halves;
    std::vector<int> flagged;  // the halves with the flag up
  };
  auto range = [](int from, int to) {
    std::vector<int> v;
    for (int h = from; h < to; ++h) v.push_back(h);
    return v;
  };
  const Case cases[] = {
      // Bands 0 to 2 hold for 50 halves, whatever hold_max says.
      {3, 20, 0, {0}, 60, range(0, 50)},
      {3, 20, 2, {0}, 60, range(0, 50)},
      // Bands 3 to 13 hold for hold_max halves (bin 40: bands 3 and 4).
      {3, 40, 4, {0}, 8, {0, 1, 2}},
      // The counter counts from the first detection; a new peak does not set it back.
      {3, 40, 3, {0, 2, 4}, 8, {0, 1, 2, 4, 5, 6}},
      // A long run drops in the first half without a peak (bin 48: bands 4 and 5).
      {20, 48, 5, range(0, 200), 205, range(0, 200)},
      // With hold_max of 1 or less a flag is up only with a peak.
      {1, 60, 6, {0, 1, 4}, 6, {0, 1, 4}},
      {0, 60, 6, {0, 1, 4}, 6, {0, 1, 4}},
      {-4, 60, 6, {0, 1, 4}, 6, {0, 1, 4}},
  };
  for (const Case& c : cases) {
    PeakSuppressorContext ctx = configured(0, c.hold_max);
    std::vector<int> flagged;
    for (int h = 0; h < c.halves; ++h) {
      ctx.peak_bin.fill(0);
      if (std::count(c.peak_halves.begin(), c.peak_halves.end(), h) > 0) ctx.peak_bin[3] = c.bin;
      peak_flags(&ctx);
      if (ctx.peak_flag[c.band] == 1) flagged.push_back(h);
    }
    EXPECT_EQ(flagged, c.flagged) << c.hold_max << " " << c.bin << " " << c.band;
  }
}

TEST(PeakFlags, PeakLevelMinAtFullScaleFlagsEveryBand) {
  PeakSuppressorContext ctx = configured(32767, 10);
  ctx.peak_bin[0] = 30;  // cannot reach level 32767
  peak_flags(&ctx);
  EXPECT_EQ(ctx.peak_bin[0], 0);
  for (int16_t f : ctx.peak_flag) EXPECT_EQ(f, 1);
  for (int16_t c : ctx.peak_hold) EXPECT_EQ(c, 0);  // the holds count real detections only
}

}  // namespace
}  // namespace halvern
