#include "stages/equalizer/equalizer_reference.h"

namespace halvern {

int equalizer_process_reference(EqualizerContext* ctx) {
  return equalizer_process_with(ctx, EQUALIZER_REFERENCE);
}

}  // namespace halvern
