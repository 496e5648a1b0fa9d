#include "tools/commands.h"

namespace halvern::tools {

void add_compare_command(CLI::App& app, int* status) {
  CLI::App* sub = app.add_subcommand("compare", "not built yet");
  sub->callback([status] { *status = 2; });
}

}  // namespace halvern::tools
