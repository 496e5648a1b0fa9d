#include "stages/dynamics/dynamics_reference.h"

namespace halvern {

int dynamics_process_reference(DynamicsContext* ctx) {
  return dynamics_process_with(ctx, DYNAMICS_REFERENCE);
}

}  // namespace halvern
