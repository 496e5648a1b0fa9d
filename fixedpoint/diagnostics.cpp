#include "fixedpoint/diagnostics.h"

#include <cstdio>

namespace halvern {

ArithmeticFault::ArithmeticFault(const char* message) {
  std::snprintf(message_, sizeof message_, "%s", message);
}

void diagnostics_report(Diagnostics* diag, const char* message) {
  if (diag == nullptr) return;
  ++diag->count;
  if (diag->write != nullptr) diag->write(diag->user, message);
}

}  // namespace halvern
