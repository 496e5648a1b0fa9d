// halvern check TUNING...: the findings of every tuning file, one line each in the form compilers
// use. Exit status 0 without errors, 1 with one (with --werror, a warning counts as one), 2 when
// a file cannot be read.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/commands/commands.h"
#include "tools/io/tool_error.h"
#include "tools/review/tuning_review.h"

namespace halvern::tools {

void add_check_command(CLI::App& app, int* status) {
  CLI::App* sub = app.add_subcommand(
      "check", "check tuning files: one line per finding, path:line:column: severity: message");
  auto files = std::make_shared<std::vector<std::string>>();
  auto werror = std::make_shared<bool>(false);
  sub->add_option("TUNING", *files, "the tuning files to check")->type_name("FILE")->required();
  sub->add_flag("--werror", *werror, "treat warnings as errors (exit status 1)");
  sub->callback([status, files, werror] {
    int errors = 0;
    int warnings = 0;
    std::string unreadable;
    for (const std::string& path : *files) {
      const TuningReview review = review_tuning(path);
      for (const Diagnostic& d : review.diagnostics) {
        std::printf("%s\n", format_diagnostic(path, d).c_str());
      }
      errors += review.count(Severity::kError);
      if (!review.readable) unreadable += (unreadable.empty() ? "" : ", ") + path;
      warnings += review.count(Severity::kWarning);
    }
    std::fflush(stdout);
    if (errors + warnings > 0) {
      std::fprintf(stderr, "halvern check: %d error%s, %d warning%s\n", errors,
                   errors == 1 ? "" : "s", warnings, warnings == 1 ? "" : "s");
    }
    if (!unreadable.empty()) throw ToolError("cannot read " + unreadable, EXIT_TROUBLE);
    *status = errors > 0 || (*werror && warnings > 0) ? EXIT_FINDING : 0;
  });
}

}  // namespace halvern::tools
