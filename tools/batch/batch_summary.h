// The summary of a batch: one row per job with its outcome and the statistics of its run, as CSV
// or JSON; read back to resume a batch and to merge the summaries of shards.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/io/tool_error.h"
#include "tools/running/stats.h"

namespace halvern::tools {

struct SummaryTable {
  std::vector<std::string> columns;
  std::vector<std::vector<std::string>> rows;  // each as long as columns
};

// What halvern check finds in the job's tuning: "ok" or "2 errors, 1 warning" (the last column).
inline constexpr const char* TUNING_FINDINGS_COLUMN = "tuning_findings";

// job, name, input, tuning, output, status, error, the statistics, with a reference set the
// comparison: reference, compare, first_difference, differing_samples, max_difference, sdr_db;
// and last tuning_findings.
// The statistics are those of `halvern run --stats` but the timings, so that the summary of the
// same work is the same file however it was run.
std::vector<std::string> summary_columns(bool with_compare);

// The statistics cells of a run, in the order of summary_columns (empty for a stage that is off).
std::vector<std::string> stats_cells(const RunStats& stats);
// Empty cells in place of statistics (a job that failed).
std::vector<std::string> no_stats_cells();

std::string summary_csv(const SummaryTable& table);
// {"jobs": [{column: value, ...}, ...]}: numbers as numbers, empty cells as null.
nlohmann::ordered_json summary_json(const SummaryTable& table);

// Reads a summary CSV written by summary_csv. Throws ToolError naming the file and line.
SummaryTable read_summary(const std::string& path);

// The rows of several summaries of the same columns, ordered by job and checked: no job twice.
// Missing jobs (a shard left out) are named in *missing. Throws ToolError when the parts do not
// fit together.
SummaryTable merge_summaries(const std::vector<SummaryTable>& parts,
                             const std::vector<std::string>& names, std::string* missing);

}  // namespace halvern::tools
