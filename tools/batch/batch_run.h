// A batch run: the jobs on the pool, each row into the journal as its job finishes (with
// --resume, the rows of jobs an earlier run finished taken from its journal and summary), then
// the summary written from the journal in job order.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tools/batch/batch_job.h"
#include "tools/batch/batch_plan.h"
#include "tools/batch/batch_summary.h"
#include "tools/batch/row_journal.h"

namespace halvern::tools {

struct BatchSettings {
  JobSettings job;
  unsigned threads = 1;
  bool resume = false;  // jobs whose output is complete keep their earlier row
  std::map<std::string, std::string> findings;  // the tuning findings cell, by tuning path
};

// What the rows told, counted as they came.
struct BatchTotals {
  size_t jobs = 0;
  size_t failed = 0;
  size_t different = 0;  // compared and not identical
};

// Called as each job is done (skipped: its earlier row kept), from the pool's threads.
using JobDone = std::function<void(const BatchRow& row, bool skipped)>;

// Runs the jobs, their rows into the journal of the summary (empty: standard output). With
// resume, first removes what killed runs left (partial summary, journal and outputs). Throws
// ToolError when the journal cannot be written.
BatchTotals run_batch(const std::vector<BatchJob>& jobs, const BatchSettings& settings,
                      const std::string& summary, RowJournal* journal, const JobDone& done);

// The summary of the rows of the journal, in job order, as CSV or JSON, given to out piece by
// piece.
void write_batch_summary(const RowJournal& journal, const std::vector<std::string>& columns,
                         const ShardFacts& shard, bool json,
                         const std::function<void(std::string_view)>& out);

}  // namespace halvern::tools
