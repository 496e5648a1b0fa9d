// Whether a tuning file may be run, as check judges it: every tool that runs the engine on a
// user's tuning (run, report, batch and those to come) shows check's errors, and its warnings as
// one line, before any processing, and refuses a tuning with errors unless the user allows it.
#pragma once

#include <string>
#include <vector>

#include "tools/review/tuning_review.h"

namespace halvern::tools {

struct TuningVerdict {
  TuningReview review;
  std::vector<std::string> lines;  // to show before processing: each error, the warnings counted
  std::string findings;            // "ok" or "2 errors, 1 warning", for a summary's cell
  bool refused = false;            // errors not allowed, or a file that cannot be loaded at all
  std::string refusal;             // why, and what to do, when refused
};

// Reviews the tuning at path. allow_errors (--allow-tuning-errors) runs a tuning with errors as
// halvern-sim would; a file the loader cannot read is refused all the same.
TuningVerdict judge_tuning(const std::string& path, bool allow_errors);

}  // namespace halvern::tools
