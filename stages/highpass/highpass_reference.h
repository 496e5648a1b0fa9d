// The high-pass stage in its straightforward form, kept to check the fast form against and to run
// the reference engine.
#pragma once

#include "stages/highpass/highpass.h"

namespace halvern {

// highpass_process one sample and one operator at a time: the same samples and memories for
// every input.
int highpass_process_reference(HighPassContext* ctx);

}  // namespace halvern
