// The dynamics stage on the straightforward forms of its pieces, for tests and the reference
// engine.
#pragma once

#include "dsp/dsp_reference.h"
#include "stages/dynamics/dynamics.h"

namespace halvern {

inline constexpr DynamicsForms DYNAMICS_REFERENCE = {LEVEL_GAIN_REFERENCE,
                                                     &apply_main_gain_saturating};

// dynamics_process on DYNAMICS_REFERENCE: the same samples and state for every input.
int dynamics_process_reference(DynamicsContext* ctx);

}  // namespace halvern
