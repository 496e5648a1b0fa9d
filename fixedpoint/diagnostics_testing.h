// Test helpers for the library's two kinds of arithmetic events: a Diagnostics sink that keeps
// every message, and the message of the fault a call raises.
#pragma once

#include <string>
#include <vector>

#include "fixedpoint/diagnostics.h"

namespace halvern {

struct MessageLog {
  std::vector<std::string> messages;
  Diagnostics sink{&MessageLog::write, this, 0};

  static void write(void* user, const char* message) {
    static_cast<MessageLog*>(user)->messages.emplace_back(message);
  }
};

// The message of the ArithmeticFault that f() raises, or "" when it returns.
template <typename F>
std::string fault_of(F f) {
  try {
    f();
  } catch (const ArithmeticFault& e) {
    return e.what();
  }
  return "";
}

}  // namespace halvern
