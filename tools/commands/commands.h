// The subcommands of the halvern toolkit. Each add_*_command registers one subcommand with the
// application; when that subcommand runs, its callback stores the program's exit status in
// *status (0 success, EXIT_FINDING for a finding or a difference) or throws a ToolError for a
// failure, which main prints and maps to its status (tools/io/tool_error.h).
#pragma once

#include <CLI/CLI.hpp>

namespace halvern::tools {

void add_check_command(CLI::App& app, int* status);
void add_explain_command(CLI::App& app, int* status);
void add_run_command(CLI::App& app, int* status);
void add_report_command(CLI::App& app, int* status);
void add_compare_command(CLI::App& app, int* status);
void add_batch_command(CLI::App& app, int* status);
void add_loop_command(CLI::App& app, int* status);
void add_studio_command(CLI::App& app, int* status);

}  // namespace halvern::tools
