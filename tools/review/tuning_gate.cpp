#include "tools/review/tuning_gate.h"

namespace halvern::tools {
namespace {

std::string counted(int n, const char* what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

}  // namespace

TuningVerdict judge_tuning(const std::string& path, bool allow_errors) {
  TuningVerdict verdict;
  verdict.review = review_tuning(path);
  const int errors = verdict.review.count(Severity::kError);
  const int warnings = verdict.review.count(Severity::kWarning);
  for (const Diagnostic& d : verdict.review.diagnostics) {
    if (d.severity == Severity::kError) verdict.lines.push_back(format_diagnostic(path, d));
  }
  if (warnings > 0) {
    verdict.lines.push_back(path + ": " + counted(warnings, "warning") + " (halvern check " + path +
                            " shows " + (warnings == 1 ? "it" : "them") + ")");
  }
  if (errors + warnings == 0) {
    verdict.findings = "ok";
  } else {
    verdict.findings = counted(errors, "error") + ", " + counted(warnings, "warning");
  }
  if (!verdict.review.readable) {
    verdict.refused = true;
    verdict.refusal = "cannot load the tuning file " + path + " (see above)";
  } else if (errors > 0 && !allow_errors) {
    verdict.refused = true;
    verdict.refusal = path + " has " + counted(errors, "error") +
                      " (see above): fix the file, or add --allow-tuning-errors to run it as "
                      "halvern-sim would";
  }
  return verdict;
}

}  // namespace halvern::tools
