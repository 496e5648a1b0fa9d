#include "tools/commands/common.h"

namespace halvern::tools {

void add_read_options(CLI::App* sub, ReadOptions* read, const std::string& what, bool with_pad) {
  sub->add_flag("--resample", read->resample,
                "convert " + what + " of another sample rate to 16 kHz (libsoxr)");
  sub->add_option("--channel", read->channel,
                  "the channel to use of " + what + " with several, from 1")
      ->check(CLI::PositiveNumber);
  if (with_pad) {
    sub->add_flag("--pad", read->pad,
                  "pad a trailing partial frame with zeros instead of dropping it");
  }
}

void add_quiet_option(CLI::App* sub, bool* quiet, const std::string& help) {
  sub->add_flag("-q,--quiet", *quiet, help);
}

void add_json_option(CLI::App* sub, bool* json, const std::string& help) {
  sub->add_flag("--json", *json, help);
}

ToolError unreadable_tuning(const TuningReview& review) {
  std::string why;
  for (const Diagnostic& d : review.diagnostics) {
    why += "\n  " + format_diagnostic(review.path, d);
  }
  return ToolError("cannot read the tuning file " + review.path + why, EXIT_TROUBLE);
}

}  // namespace halvern::tools
