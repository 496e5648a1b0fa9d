// Dynamics stage (placeholder until the stage is built): context and the three operations.
#pragma once

#include "engine/stage_header.h"
#include "engine/tuning.h"

namespace halvern {

struct DynamicsContext {
  StageHeader header;
};

void dynamics_reset(DynamicsContext* ctx);
void dynamics_configure(DynamicsContext* ctx, const TuningSlots& slots);
int dynamics_process(DynamicsContext* ctx);

}  // namespace halvern
