// halvern explain TUNING: every slot as the program takes it and the derived settings of each
// enabled stage, as a table or (--json) as one JSON object. Exit status 0 once explained, 1 when
// halvern-sim would stop on it before any audio (its slots marked), 2 when the file cannot be
// read.
#include <cstdio>
#include <string>

#include "tools/commands/commands.h"
#include "tools/commands/common.h"
#include "tools/io/tool_error.h"
#include "tools/review/tuning_review.h"

namespace halvern::tools {

void add_explain_command(CLI::App& app, int* status) {
  CLI::App* sub = app.add_subcommand(
      "explain",
      "explain a tuning file: every slot's value, unit, meaning and status, and the "
      "derived settings of each stage");
  auto file = std::make_shared<std::string>();
  auto json = std::make_shared<bool>(false);
  sub->add_option("TUNING", *file, "the tuning file")->type_name("FILE")->required();
  add_json_option(sub, json.get(), "print one JSON object: path, slots, stages, diagnostics");
  sub->callback([status, file, json] {
    const TuningReview review = review_tuning(*file);
    if (*json) {
      std::printf("%s\n", explain_json(review)
                              .dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
                              .c_str());
    } else if (review.readable) {
      std::fputs(explain_text(review).c_str(), stdout);
    }
    if (!review.readable) throw unreadable_tuning(review);
    *status = review.configured ? 0 : EXIT_FINDING;
  });
}

}  // namespace halvern::tools
