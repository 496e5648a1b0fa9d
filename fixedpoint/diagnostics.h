// How the library reports arithmetic events without ending the process.
//
// A fatal arithmetic error (an invalid division in div_s) is thrown as ArithmeticFault, carrying
// the message the program prints; the program decides how to end. Non-fatal messages (an invalid
// input to L_divide) go to a Diagnostics sink, which the program points at standard output and
// which tests and tools can inspect.
#pragma once

#include <cstdint>
#include <exception>

namespace halvern {

class ArithmeticFault : public std::exception {
 public:
  explicit ArithmeticFault(const char* message);
  const char* what() const noexcept override { return message_; }

 private:
  char message_[96];
};

struct Diagnostics {
  void (*write)(void* user, const char* message) = nullptr;  // where messages go; none: dropped
  void* user = nullptr;                                      // passed back to write
  uint32_t count = 0;                                        // messages reported so far
};

// Counts the message and hands it to the sink, if any. diag may be null.
void diagnostics_report(Diagnostics* diag, const char* message);

}  // namespace halvern
