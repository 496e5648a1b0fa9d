// The straightforward forms of the shared DSP pieces, kept to check the fast forms against and to
// run the reference engine: one operator call per step.
#pragma once

#include <cstdint>

#include "dsp/level_gain.h"

namespace halvern {

// frame_level_db sample by sample, with the saturating operators: the same value for every input.
int16_t frame_level_db_reference(const int16_t* x, int n, MeanRule rule, int16_t rho);

// The straightforward forms of the level and gain pieces.
inline constexpr LevelGainForms LEVEL_GAIN_REFERENCE = {&frame_level_db_reference,
                                                        &apply_ramped_gain_saturating};

}  // namespace halvern
