// Equalizer stage (placeholder until the stage is built): context and the three operations.
#pragma once

#include "engine/stage_header.h"
#include "engine/tuning.h"

namespace halvern {

struct EqualizerContext {
  StageHeader header;
};

void equalizer_reset(EqualizerContext* ctx);
void equalizer_configure(EqualizerContext* ctx, const TuningSlots& slots);
int equalizer_process(EqualizerContext* ctx);

}  // namespace halvern
