// The summary of a batch: one row per job with its outcome and the statistics of its run, as CSV
// or JSON; read back to resume a batch and to merge the summaries of shards.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/io/tool_error.h"
#include "tools/running/stats.h"

namespace halvern::tools {

// What a shard's summary knows of its whole batch. In CSV it is the summary's first line,
//   # shard K/N of TOTAL jobs, plan FINGERPRINT
// and in JSON the key "shard": {"k", "n", "jobs", "plan"}. Only a shard's summary has it, so
// that merged shards give the file one batch writes.
struct ShardFacts {
  int k = 0;  // 0: not a shard's summary
  int n = 0;
  size_t total = 0;
  std::string fingerprint;
};

struct SummaryTable {
  std::vector<std::string> columns;
  std::vector<std::vector<std::string>> rows;  // each as long as columns
  ShardFacts shard;
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

// The comparison of a job's output with its reference (--compare-with).
struct RowComparison {
  std::string reference;
  std::string compare;  // identical, different, missing, or "error: " and the reason
  std::string first_difference;
  std::string differing_samples;
  std::string max_difference;
  std::string sdr_db;
};

// One job's row of the summary. cells() and from_cells() are the one place where a row meets the
// summary's columns.
struct BatchRow {
  static constexpr std::string_view OK = "ok";
  static constexpr std::string_view FAILED = "failed";

  int job = 0;  // place in the whole batch, from 1
  std::string name;
  std::string input;
  std::string tuning;
  std::string output;
  std::string status{OK};
  std::string error;
  std::vector<std::string> stats;           // as stats_cells gives them; empty: a failed job
  std::optional<RowComparison> comparison;  // with a reference folder
  std::string tuning_findings;

  bool failed() const { return status == FAILED; }
  // Compared with its reference, and not identical.
  bool differs() const { return status == OK && comparison && comparison->compare != "identical"; }

  // The cells under summary_columns(comparison.has_value()).
  std::vector<std::string> cells() const;
  // The row of cells under summary_columns(with_compare). Throws ToolError when they are not
  // (their number, or a job that is not a number).
  static BatchRow from_cells(const std::vector<std::string>& cells, bool with_compare);
  // The row of cells under columns: those of summary_columns, or of a summary written before the
  // findings column (the same but the last). Throws ToolError for other columns.
  static BatchRow from_columns(const std::vector<std::string>& columns,
                               std::vector<std::string> cells);
};

// A summary written row by row, as summary_csv or summary_json(...).dump(2) and a line break
// write the whole table, each piece given to out as it is ready.
class SummaryWriter {
 public:
  SummaryWriter(std::vector<std::string> columns, const ShardFacts& shard, bool json,
                std::function<void(std::string_view)> out);
  void add(const std::vector<std::string>& cells);
  void finish();

 private:
  std::vector<std::string> columns_;
  bool json_;
  std::function<void(std::string_view)> out_;
  std::string closing_;  // JSON: what ends the document after the rows
  size_t rows_ = 0;
};

std::string summary_csv(const SummaryTable& table);
// {"jobs": [{column: value, ...}, ...]}: numbers as numbers, empty cells as null.
nlohmann::ordered_json summary_json(const SummaryTable& table);

// Reads a summary CSV written by summary_csv. Throws ToolError naming the file and line.
SummaryTable read_summary(const std::string& path);

// The rows of several summaries of the same columns, ordered by job and checked: no job twice.
// What is missing is named in *missing: the shards left out (the last one too, from the job
// total the shards record), or for summaries without shard facts the jobs between others.
// Throws ToolError when the parts do not fit together: other columns, shards of other plans or
// of another N, or a shard's summary merged with a summary that is not one.
SummaryTable merge_summaries(const std::vector<SummaryTable>& parts,
                             const std::vector<std::string>& names, std::string* missing);

}  // namespace halvern::tools
