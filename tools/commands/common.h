// What several subcommands share: the option groups declared once (the input conversion, the
// outputs, the tuning gate), the option checks with messages in the toolkit's words and the error
// of an unreadable tuning file.
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

// --allow-tuning-errors: go on with a tuning that halvern check finds errors in, as halvern-sim
// would (see judge_tuning).
void add_allow_tuning_errors_option(CLI::App* sub, bool* allow);

// --channel N: a whole number from 1; any other value is refused with a message that says so.
CLI::Validator channel_number();

// Whether app has a subcommand of that name.
bool has_subcommand(CLI::App& app, const std::string& name);

// The output options: -q,--quiet (help: what it leaves out) and --json (help: what it prints).
void add_quiet_option(CLI::App* sub, bool* quiet, const std::string& help);
void add_json_option(CLI::App* sub, bool* json, const std::string& help);

// The error for a tuning file that cannot be read: its path and the reasons, one line each.
ToolError unreadable_tuning(const TuningReview& review);

// The tuning as check judges it, before any work: its errors and a summary of its warnings on
// standard error, and a ToolError (status 2) on an error unless allow_errors.
TuningReview judged_tuning(const std::string& path, bool allow_errors);

// The stage mask of --stages LIST; a ToolError (status 2) saying what is wrong with the list.
int16_t stages_option(const std::string& list);

}  // namespace halvern::tools
