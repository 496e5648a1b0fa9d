// The reference engine: the same chain on the straightforward forms of every stage, with its own
// symbols (namespace halvern::reference), so that one program can run it beside the fast engine.
// The reference engine build (HALVERN_REFERENCE_ENGINE) and the fuzzer use it; it gives the same
// output bits as the fast engine for every input.
#pragma once

#include <cstdint>

#include "engine/engine.h"

namespace halvern::reference {

// The stages' straightforward forms.
extern const EngineStageForms ENGINE_REFERENCE;

// The engine's operations; only the processing differs from the fast engine's.
using halvern::engine_bind;
using halvern::engine_configure;
using halvern::engine_reset;
using halvern::engine_set_stage_mask;
int engine_process_frame(Engine* engine, const int16_t* input, int16_t* output);

}  // namespace halvern::reference
