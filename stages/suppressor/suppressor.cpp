#include "stages/suppressor/suppressor.h"

namespace halvern {

void peak_suppressor_reset(PeakSuppressorContext* ctx) { stage_header_reset(&ctx->header, 0); }
void peak_suppressor_configure(PeakSuppressorContext*, const TuningSlots&) {}
void peak_suppressor_process_half(PeakSuppressorContext*, int16_t*, Diagnostics*) {}

}  // namespace halvern
