// One job of a batch: its input read, run through the engine and written in blocks (and compared
// with its reference, with --compare-with), its outcome as the job's summary row.
#pragma once

#include <string>

#include "tools/batch/batch_plan.h"
#include "tools/batch/batch_summary.h"
#include "tools/io/audio_io.h"
#include "tools/io/safe_file.h"

namespace halvern::tools {

struct JobSettings {
  ReadOptions read;                       // as halvern run's --resample, --channel and --pad
  std::string compare_with;               // reference folder; empty: no comparison
  TemporaryFiles* temporaries = nullptr;  // told the outputs' temporary names
};

// Runs the job; returns its row (without tuning findings). Never throws: a failure is the row's
// status and error.
BatchRow run_batch_job(const BatchJob& job, const JobSettings& settings);

}  // namespace halvern::tools
