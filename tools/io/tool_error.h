// The toolkit's one error: the whole message for the user (the file, what is wrong, how to fix
// it) and the exit status the program ends with. The libraries and commands throw it; main alone
// prints it and ends the program with its status.
#pragma once

#include <stdexcept>
#include <string>

namespace halvern::tools {

// The exit statuses of halvern, the same in every subcommand (0: success).
inline constexpr int EXIT_FINDING = 1;  // a finding, a difference or a failed job
inline constexpr int EXIT_TROUBLE = 2;  // unreadable audio or tuning, a bad option, an output
                                        // that cannot be written

class ToolError : public std::runtime_error {
 public:
  explicit ToolError(const std::string& message, int status = EXIT_TROUBLE)
      : std::runtime_error(message), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

}  // namespace halvern::tools
