#include "tools/commands/common.h"

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include "tools/review/tuning_gate.h"
#include "tools/running/run_job.h"

namespace halvern::tools {

void add_read_options(CLI::App* sub, ReadOptions* read, const std::string& what, bool with_pad) {
  sub->add_flag("--resample", read->resample,
                "convert " + what + " of another sample rate to 16 kHz");
  sub->add_option("--channel", read->channel,
                  "the channel to use of " + what + " with several, 1 to the file's channel count")
      ->type_name("N")
      ->check(channel_number());
  if (with_pad) {
    sub->add_flag("--pad", read->pad,
                  "pad a trailing partial frame with zeros instead of dropping it");
  }
}

void add_allow_tuning_errors_option(CLI::App* sub, bool* allow) {
  sub->add_flag("--allow-tuning-errors", *allow,
                "go on with a tuning that halvern check finds errors in, as halvern-sim would");
}

CLI::Validator channel_number() {
  return CLI::Validator(
      [](std::string& value) -> std::string {
        int n = 0;
        try {
          size_t used = 0;
          n = std::stoi(value, &used);
          if (used != value.size()) n = 0;
        } catch (const std::exception&) {
          n = 0;
        }
        return n >= 1 ? std::string()
                      : "channels are numbered from 1 to the file's channel count (1 is the "
                        "first, or left); " +
                            value + " names none";
      },
      "");
}

bool has_subcommand(CLI::App& app, const std::string& name) {
  try {
    app.get_subcommand(name);
    return true;
  } catch (const CLI::OptionNotFound&) {
    return false;
  }
}

void add_quiet_option(CLI::App* sub, bool* quiet, const std::string& help) {
  sub->add_flag("-q,--quiet", *quiet, help);
}

void add_json_option(CLI::App* sub, bool* json, const std::string& help) {
  sub->add_flag("--json", *json, help);
}

TuningReview judged_tuning(const std::string& path, bool allow_errors) {
  TuningVerdict verdict = judge_tuning(path, allow_errors);
  for (const std::string& line : verdict.lines) std::fprintf(stderr, "%s\n", line.c_str());
  if (verdict.refused) throw ToolError(verdict.refusal, EXIT_TROUBLE);
  return std::move(verdict.review);
}

int16_t stages_option(const std::string& list) {
  try {
    return parse_stage_list(list);
  } catch (const std::invalid_argument& e) {
    throw ToolError(e.what(), EXIT_TROUBLE);
  }
}

ToolError unreadable_tuning(const TuningReview& review) {
  std::string why;
  for (const Diagnostic& d : review.diagnostics) {
    why += "\n  " + format_diagnostic(review.path, d);
  }
  return ToolError("cannot read the tuning file " + review.path + why, EXIT_TROUBLE);
}

}  // namespace halvern::tools
