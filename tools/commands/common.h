// What several subcommands share: the option groups declared once (the input conversion and
// the outputs) and the error of an unreadable tuning file.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

#include "tools/io/audio_io.h"
#include "tools/io/tool_error.h"
#include "tools/review/tuning_review.h"

namespace halvern::tools {

// --resample, --channel and --pad (with_pad) into *read, with the help of halvern run; what
// names the audio they convert ("recordings", "inputs").
void add_read_options(CLI::App* sub, ReadOptions* read, const std::string& what, bool with_pad);

// The output options: -q,--quiet (help: what it leaves out) and --json (help: what it prints).
void add_quiet_option(CLI::App* sub, bool* quiet, const std::string& help);
void add_json_option(CLI::App* sub, bool* json, const std::string& help);

// The error for a tuning file that cannot be read: its path and the reasons, one line each.
ToolError unreadable_tuning(const TuningReview& review);

}  // namespace halvern::tools
