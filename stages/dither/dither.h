// Dither stage: adds a pseudo-random offset of +step, -step or 0, decided once per period of
// 1 to 3 samples, never flipping from +step to -step (or back) without a period of 0 between.
#pragma once

#include <array>
#include <cstdint>

#include "frame/stage_header.h"
#include "tuning/tuning.h"

namespace halvern {

struct DitherContext {
  StageHeader header;
  int16_t threshold;  // decision threshold on the 5-bit random value (-16..15)
  int16_t step;       // offset in least significant bits
  int16_t period;     // samples per decision, 1 to 3
  int16_t seed;       // state of the random generator, carried across frames
  int16_t direction;  // offset in force: 1 (+step), -1 (-step), 0 (none); carried across frames
};

// Thresholds indexed by the units digit of the clamped setting.
inline constexpr std::array<int16_t, 10> DITHER_THRESHOLDS = {14, 11, 9, 14, 11, 9, 11, 5, 1, 5};

inline constexpr int16_t DITHER_SEED = 4660;

// Defaults: pointers null, frame length 320, enable flag -1 (off), threshold -1, step 0,
// period 0, seed 4660, direction 0.
void dither_reset(DitherContext* ctx);

// Slot 60, clamped to 10..39: the tens digit is the period, the units digit r picks the
// threshold DITHER_THRESHOLDS[r] and the step r / 3 + 1.
void dither_configure(DitherContext* ctx, const TuningSlots& slots);

// Adds the dither to one frame, under the stage contract (stage_header.h).
int dither_process(DitherContext* ctx);

// dither_process one sample at a time, with the saturating operators: the same samples and state
// for every input. dither_process takes it for a step of -32768, and the reference engine always.
int dither_process_per_sample(DitherContext* ctx);

}  // namespace halvern
