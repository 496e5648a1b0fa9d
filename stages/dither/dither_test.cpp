#include "stages/dither/dither.h"

#include <gtest/gtest.h>

#include <vector>

#include "fixedpoint/dsp_ops.h"

namespace halvern {
namespace {

struct Stage {
  DitherContext ctx;
  int16_t frame[FRAME_CAPACITY] = {};

  explicit Stage(int16_t setting) {
    dither_reset(&ctx);
    TuningSlots slots{};
    slots[60] = setting;
    dither_configure(&ctx, slots);
    ctx.header.input = frame;
    ctx.header.output = frame;
    ctx.header.enable = 1;
  }

  std::vector<int16_t> run(const std::vector<int16_t>& x) {
    std::vector<int16_t> y;
    for (size_t start = 0; start < x.size(); start += FRAME_LENGTH) {
      std::copy(x.begin() + static_cast<ptrdiff_t>(start),
                x.begin() + static_cast<ptrdiff_t>(start + FRAME_LENGTH), frame);
      EXPECT_EQ(dither_process(&ctx), 0);
      y.insert(y.end(), frame, frame + FRAME_LENGTH);
    }
    return y;
  }
};

TEST(Dither, GeneratorSequenceFromTheFixedSeed) {
  int16_t seed = DITHER_SEED;
  const int16_t seeds[] = {-8259, 3570, -24605, 16736, 24569, -20482, 11647, 26956};
  const int16_t draws[] = {-5, 1, -13, 8, 11, -11, 5, 13};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(Random(&seed), seeds[i]);
    EXPECT_EQ(seed >> 11, draws[i]);
  }
}

TEST(Dither, SettingPicksThresholdStepAndPeriod) {
  struct Case {
    int16_t slot, threshold, step, period;
  };
  const Case cases[] = {{0, 14, 1, 1}, {-500, 14, 1, 1}, {10, 14, 1, 1}, {11, 11, 1, 1},
                        {12, 9, 1, 1}, {13, 14, 2, 1},   {16, 11, 3, 1}, {17, 5, 3, 1},
                        {28, 1, 3, 2}, {35, 9, 2, 3},    {39, 5, 4, 3},  {32767, 5, 4, 3}};
  for (const Case& c : cases) {
    Stage s(c.slot);
    EXPECT_EQ(s.ctx.threshold, c.threshold) << c.slot;
    EXPECT_EQ(s.ctx.step, c.step) << c.slot;
    EXPECT_EQ(s.ctx.period, c.period) << c.slot;
  }
}

TEST(Dither, WorkedSequenceWithHysteresis) {
  // Threshold 1, step 3, period 2: at the fifth sample d = 11 calls for +3, but the direction
  // is -1, so the offset drops to 0 for that period.
  const std::vector<int16_t> y = Stage(28).run(std::vector<int16_t>(FRAME_LENGTH, 0));
  EXPECT_EQ(std::vector<int16_t>(y.begin(), y.begin() + 8),
            (std::vector<int16_t>{-3, -3, -3, -3, 0, 0, 3, 3}));
}

TEST(Dither, OffsetsHoldForAPeriodAndNeverFlipDirectly) {
  for (const int16_t setting : {10, 18, 24, 28, 33, 37, 39}) {
    Stage s(setting);
    const int period = s.ctx.period;
    const int step = s.ctx.step;
    const std::vector<int16_t> y = s.run(std::vector<int16_t>(FRAME_LENGTH * 30, 100));
    int previous = 0;
    int counts[3] = {0, 0, 0};
    for (size_t frame = 0; frame < 30; ++frame) {
      for (int i = 0; i < FRAME_LENGTH; ++i) {
        const int offset = y[frame * FRAME_LENGTH + static_cast<size_t>(i)] - 100;
        ASSERT_TRUE(offset == 0 || offset == step || offset == -step) << setting;
        if (i % period != 0) {
          // Within a period (which restarts with every frame) the offset is held.
          EXPECT_EQ(offset, previous) << setting << " frame " << frame << " sample " << i;
        } else {
          EXPECT_FALSE(previous * offset < 0) << setting << " frame " << frame << " sample " << i;
        }
        previous = offset;
        ++counts[offset == 0 ? 1 : (offset > 0 ? 2 : 0)];
      }
    }
    EXPECT_GT(counts[0], 0) << setting;
    EXPECT_GT(counts[2], 0) << setting;
  }
}

TEST(Dither, SaturatesAtTheRails) {
  const std::vector<int16_t> hi = Stage(39).run(std::vector<int16_t>(FRAME_LENGTH, 32767));
  const std::vector<int16_t> lo = Stage(39).run(std::vector<int16_t>(FRAME_LENGTH, -32768));
  for (size_t i = 0; i < hi.size(); ++i) {
    EXPECT_TRUE(hi[i] == 32767 || hi[i] == 32763) << i;
    EXPECT_TRUE(lo[i] == -32768 || lo[i] == -32764) << i;
  }
}

TEST(Dither, OffOrUnboundDoesNothing) {
  Stage s(28);
  s.ctx.header.enable = -1;  // the reset default
  s.frame[0] = 5;
  EXPECT_EQ(dither_process(&s.ctx), 0);
  EXPECT_EQ(s.frame[0], 5);
  EXPECT_EQ(s.ctx.seed, DITHER_SEED);
  s.ctx.header.input = nullptr;
  EXPECT_EQ(dither_process(&s.ctx), -1);
}

}  // namespace
}  // namespace halvern
