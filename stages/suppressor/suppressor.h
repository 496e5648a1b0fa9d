// Peak suppressor (placeholder until the stage is built): context and its operations.
#pragma once

#include <cstdint>

#include "engine/stage_header.h"
#include "engine/tuning.h"
#include "fixedpoint/diagnostics.h"

namespace halvern {

inline constexpr int SUPPRESSOR_HALF = 160;  // samples per call of peak_suppressor_process_half

struct PeakSuppressorContext {
  StageHeader header;
};

void peak_suppressor_reset(PeakSuppressorContext* ctx);
void peak_suppressor_configure(PeakSuppressorContext* ctx, const TuningSlots& slots);
// Processes 160 samples in place. Non-fatal arithmetic messages go to diag (may be null).
void peak_suppressor_process_half(PeakSuppressorContext* ctx, int16_t* samples, Diagnostics* diag);

}  // namespace halvern
