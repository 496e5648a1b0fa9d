// halvern: the toolkit around the engine. Every subcommand that processes audio gives the same
// samples as halvern-sim.
#include <malloc.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "tools/commands/commands.h"
#include "tools/commands/common.h"
#include "tools/commands/interrupts.h"
#include "tools/io/tool_error.h"

namespace {

// "halvern <subcommand>" for the messages, or "halvern" before one is known.
std::string command_name(const CLI::App& app) {
  const std::vector<CLI::App*> chosen = app.get_subcommands();
  return chosen.empty() ? "halvern" : "halvern " + chosen.front()->get_name();
}

}  // namespace

int main(int argc, char** argv) {
  // Ctrl-C and SIGTERM remove the temporary files of the run before the program ends.
  halvern::tools::install_interrupt_cleanup();
#ifdef M_MMAP_THRESHOLD
  // A recording's samples (megabytes) stay in the heap when freed instead of going back to the
  // system after each job: the next job reuses them without page faults, and the threads of
  // halvern batch do not wait on each other in the kernel mapping and unmapping memory.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 128 << 20);
#endif
  CLI::App app{"halvern: check, explain, hear and measure tunings of the fixed-point voice engine"};
  app.name("halvern");
  app.require_subcommand(1);
  app.set_version_flag("--version", HALVERN_VERSION);
  int status = 0;
  halvern::tools::add_check_command(app, &status);
  halvern::tools::add_explain_command(app, &status);
  halvern::tools::add_run_command(app, &status);
  halvern::tools::add_report_command(app, &status);
  halvern::tools::add_compare_command(app, &status);
  halvern::tools::add_batch_command(app, &status);
  halvern::tools::add_loop_command(app, &status);
  halvern::tools::add_studio_command(app, &status);
  // A word where the subcommand goes that names none: say so, with the list.
  if (argc > 1 && argv[1][0] != '-' && !halvern::tools::has_subcommand(app, argv[1])) {
    std::string names;
    for (const CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
      names += (names.empty() ? "" : ", ") + sub->get_name();
    }
    std::fprintf(stderr,
                 "halvern: unknown subcommand '%s'; the subcommands are %s (halvern --help "
                 "describes them)\n",
                 argv[1], names.c_str());
    return halvern::tools::EXIT_TROUBLE;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return halvern::tools::EXIT_TROUBLE;
  } catch (const halvern::tools::ToolError& e) {
    // Every failure of every subcommand ends here: one message, one status.
    std::fprintf(stderr, "%s: %s\n", command_name(app).c_str(), e.what());
    return e.status();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", command_name(app).c_str(), e.what());
    return halvern::tools::EXIT_TROUBLE;
  }
  return status;
}
