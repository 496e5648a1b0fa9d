#include "engine/engine.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <random>

namespace halvern {
namespace {

using Frame = std::array<int16_t, FRAME_CAPACITY>;

Frame random_frame(uint32_t seed) {
  std::mt19937 rng(seed);
  Frame f{};
  for (int i = 0; i < FRAME_LENGTH; ++i) f[static_cast<size_t>(i)] = static_cast<int16_t>(rng());
  return f;
}

// A reset, bound and configured engine, as the program sets it up.
std::unique_ptr<Engine> make_engine(const TuningSlots& slots, Frame* in, Frame* out) {
  auto engine = std::make_unique<Engine>();
  engine_reset(engine.get());
  engine_bind(engine.get(), in->data(), out->data());
  engine_set_stage_mask(engine.get(), slots[STAGE_MASK_SLOT]);
  engine_configure(engine.get(), slots);
  return engine;
}

TEST(Engine, ResetGivesTheDefaults) {
  auto engine = std::make_unique<Engine>();
  engine_reset(engine.get());
  EXPECT_EQ(engine->header.input, nullptr);
  EXPECT_EQ(engine->header.frame_length, FRAME_LENGTH);
  EXPECT_EQ(engine->highpass.header.enable, 0);
  EXPECT_EQ(engine->dither.header.enable, -1);
  EXPECT_EQ(engine->suppressor.header.frame_length, FRAME_LENGTH);
  EXPECT_EQ(engine->dither.seed, 4660);
}

TEST(Engine, StageMaskSetsTheEnableFlags) {
  auto engine = std::make_unique<Engine>();
  engine_reset(engine.get());
  engine_set_stage_mask(engine.get(), -1);  // bits 0 to 4 set: every stage on
  EXPECT_EQ(engine->highpass.header.enable, 1);
  EXPECT_EQ(engine->dynamics.header.enable, 1);
  EXPECT_EQ(engine->equalizer.header.enable, 1);
  EXPECT_EQ(engine->dither.header.enable, 1);
  EXPECT_EQ(engine->suppressor.header.enable, 1);
  engine_set_stage_mask(engine.get(), static_cast<int16_t>(0x7fe0 | STAGE_BIT_DITHER));
  EXPECT_EQ(engine->highpass.header.enable, 0);
  EXPECT_EQ(engine->dynamics.header.enable, 0);
  EXPECT_EQ(engine->equalizer.header.enable, 0);
  EXPECT_EQ(engine->dither.header.enable, 1);
  EXPECT_EQ(engine->suppressor.header.enable, 0);
}

TEST(Engine, EveryStageOffCopiesTheInput) {
  TuningSlots slots{};
  slots[1] = 400;  // settings of disabled stages do not matter
  slots[2] = 60;
  Frame in = random_frame(1);
  Frame out{};
  auto engine = make_engine(slots, &in, &out);
  for (int frame = 0; frame < 5; ++frame) {
    in = random_frame(10 + static_cast<uint32_t>(frame));
    ASSERT_EQ(engine_process_frame(engine.get(), in.data(), out.data()), 0);
    EXPECT_TRUE(std::equal(in.begin(), in.begin() + FRAME_LENGTH, out.begin()));
  }
}

TEST(Engine, NullPointersFailWithoutTouchingAnything) {
  TuningSlots slots{};
  slots[0] = STAGE_BIT_HIGHPASS | STAGE_BIT_DITHER;
  Frame in = random_frame(2);
  Frame out{};
  out.fill(123);
  auto engine = make_engine(slots, &in, &out);
  const int16_t seed = engine->dither.seed;
  EXPECT_EQ(engine_process_frame(engine.get(), nullptr, out.data()), -1);
  EXPECT_EQ(engine_process_frame(engine.get(), in.data(), nullptr), -1);
  EXPECT_EQ(engine_bind(engine.get(), nullptr, out.data()), -1);
  EXPECT_EQ(out[0], 123);
  EXPECT_EQ(engine->dither.seed, seed);
  EXPECT_EQ(engine->highpass.x1, 0);
}

TEST(Engine, OnlyAnEnableFlagOfOneRunsAStage) {
  TuningSlots slots{};
  slots[2] = 60;  // +6 dB: any run of the high-pass stage changes the frame
  Frame in = random_frame(3);
  for (auto& v : in) v = static_cast<int16_t>(v / 8);
  Frame out{};
  for (const int16_t flag : {int16_t{-1}, int16_t{2}, int16_t{0}}) {
    auto engine = make_engine(slots, &in, &out);
    engine->highpass.header.enable = flag;
    engine->dither.header.enable = flag;
    engine_process_frame(engine.get(), in.data(), out.data());
    EXPECT_TRUE(std::equal(in.begin(), in.begin() + FRAME_LENGTH, out.begin())) << flag;
  }
  auto engine = make_engine(slots, &in, &out);
  engine->highpass.header.enable = 1;
  engine_process_frame(engine.get(), in.data(), out.data());
  EXPECT_FALSE(std::equal(in.begin(), in.begin() + FRAME_LENGTH, out.begin()));
}

TEST(Engine, HighPassRunsBeforeDither) {
  // Dither after a high-pass stage that first multiplies by 8 (+18 dB): the dither offset of
  // 1 to 4 shows up unscaled, which it would not if dither ran first.
  TuningSlots slots{};
  slots[0] = STAGE_BIT_HIGHPASS | STAGE_BIT_DITHER;
  slots[2] = 180;
  slots[60] = 39;  // step 4
  Frame in{};
  Frame out{};
  auto engine = make_engine(slots, &in, &out);
  engine_process_frame(engine.get(), in.data(), out.data());
  bool saw_offset = false;
  for (int i = 0; i < FRAME_LENGTH; ++i) {
    const int16_t v = out[static_cast<size_t>(i)];
    EXPECT_TRUE(v == 0 || v == 4 || v == -4) << i << " " << v;
    saw_offset = saw_offset || v != 0;
  }
  EXPECT_TRUE(saw_offset);
}

}  // namespace
}  // namespace halvern
