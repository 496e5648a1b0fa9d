// The equalizer stage on the straightforward forms of its pieces, for tests and the reference
// engine.
#pragma once

#include "dsp/dsp_reference.h"
#include "stages/equalizer/equalizer.h"

namespace halvern {

inline constexpr EqualizerForms EQUALIZER_REFERENCE = {LEVEL_GAIN_REFERENCE, &fir_chain_saturating,
                                                       &peak_limit_per_sample};

// equalizer_process on EQUALIZER_REFERENCE: the same samples and state for every input.
int equalizer_process_reference(EqualizerContext* ctx);

}  // namespace halvern
