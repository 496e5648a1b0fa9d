#include "stages/dynamics/dynamics.h"

namespace halvern {

void dynamics_reset(DynamicsContext* ctx) { stage_header_reset(&ctx->header, 0); }
void dynamics_configure(DynamicsContext*, const TuningSlots&) {}
int dynamics_process(DynamicsContext* ctx) { return stage_copy_input(&ctx->header) ? 0 : -1; }

}  // namespace halvern
