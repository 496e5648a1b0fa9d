#include "engine/engine_reference.h"

#include "stages/dynamics/dynamics_reference.h"
#include "stages/equalizer/equalizer_reference.h"
#include "stages/highpass/highpass_reference.h"
#include "stages/suppressor/suppressor_reference.h"

namespace halvern::reference {

const EngineStageForms ENGINE_REFERENCE = {
    &highpass_process_reference, &dynamics_process_reference, &equalizer_process_reference,
    &peak_suppressor_process_reference, &dither_process_per_sample};

int engine_process_frame(Engine* engine, const int16_t* input, int16_t* output) {
  return engine_process_frame_with(engine, input, output, ENGINE_REFERENCE);
}

}  // namespace halvern::reference
