#include "tools/batch/batch_run.h"

#include <atomic>
#include <filesystem>
#include <map>
#include <set>
#include <string_view>

#include "tools/batch/job_pool.h"

namespace halvern::tools {
namespace {

namespace fs = std::filesystem;

// Removes what a killed run left of the file: ".<name>.partial-XXXXXX" beside it.
void remove_partial_files(const fs::path& file) {
  std::string prefix = ".";  // put together without the temporaries g++ 12 warns about
  prefix += file.filename().string();
  prefix += ".partial-";
  std::error_code error;
  const fs::path folder = file.has_parent_path() ? file.parent_path() : ".";
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0) {
      fs::remove(entry.path(), error);
    }
  }
}

// Which earlier rows --resume keeps: those of finished jobs, by output, in a summary of the
// current columns or of those before the findings column (the same columns but the last).
RowJournal::Resumable resumable_rows(bool with_compare) {
  return [with_compare](const std::vector<std::string>& header,
                        std::vector<std::string>* cells) -> std::optional<std::string> {
    try {
      const BatchRow row = BatchRow::from_columns(header, *cells);
      if (row.status != BatchRow::OK || row.comparison.has_value() != with_compare) {
        return std::nullopt;
      }
      *cells = row.cells();
      return row.output;
    } catch (const ToolError&) {
      return std::nullopt;
    }
  };
}

// The job's earlier row, when --resume can keep it: its output complete, from the same input and
// tuning.
std::optional<BatchRow> earlier_row(const BatchJob& job, const RowJournal& journal,
                                    bool with_compare) {
  const std::optional<std::vector<std::string>> cells = journal.previous(job.output.string());
  if (!cells || !fs::exists(job.output)) return std::nullopt;
  BatchRow row = BatchRow::from_cells(*cells, with_compare);
  if (row.input != job.input.string() || row.tuning != job.tuning.string()) return std::nullopt;
  row.job = job.index;
  row.name = job.name;
  return row;
}

// Removes what killed runs left of the jobs' outputs: each output folder read once, not once for
// every job (10,000 jobs in one folder would read it 10,000 times).
void remove_partial_outputs(const std::vector<BatchJob>& jobs) {
  std::map<fs::path, std::set<std::string>> outputs;  // file names by folder
  for (const BatchJob& job : jobs) {
    const fs::path folder = job.output.has_parent_path() ? job.output.parent_path() : ".";
    outputs[folder].insert(job.output.filename().string());
  }
  constexpr std::string_view PARTIAL = ".partial-";
  for (const auto& [folder, names] : outputs) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
      const std::string name = entry.path().filename().string();
      const size_t cut = name.size() - std::min(name.size(), PARTIAL.size() + 6);
      if (cut > 1 && name.front() == '.' && name.compare(cut, PARTIAL.size(), PARTIAL) == 0 &&
          names.count(name.substr(1, cut - 1)) != 0) {
        fs::remove(entry.path(), error);
      }
    }
  }
}

}  // namespace

BatchTotals run_batch(const std::vector<BatchJob>& jobs, const BatchSettings& settings,
                      const std::string& summary, RowJournal* journal, const JobDone& done) {
  const bool with_compare = !settings.job.compare_with.empty();
  if (settings.resume) {
    remove_partial_files(summary);
    remove_partial_files(journal->path());
    remove_partial_outputs(jobs);
  }
  journal->start(summary_columns(with_compare), summary,
                 settings.resume ? resumable_rows(with_compare) : RowJournal::Resumable{},
                 settings.job.temporaries);
  std::atomic<size_t> failed{0};
  std::atomic<size_t> different{0};
  run_pool(longest_input_first(jobs), settings.threads, [&](size_t i) {
    const BatchJob& job = jobs[i];
    std::optional<BatchRow> row;
    if (settings.resume) row = earlier_row(job, *journal, with_compare);
    const bool skipped = row.has_value();
    if (!skipped) row = run_batch_job(job, settings.job);
    const auto findings = settings.findings.find(job.tuning.string());
    row->tuning_findings = findings != settings.findings.end() ? findings->second : "";
    journal->add(i, row->cells());
    failed += row->failed() ? 1 : 0;
    different += row->differs() ? 1 : 0;
    done(*row, skipped);
  });
  return {jobs.size(), failed, different};
}

void write_batch_summary(const RowJournal& journal, const std::vector<std::string>& columns,
                         const ShardFacts& shard, bool json,
                         const std::function<void(std::string_view)>& out) {
  SummaryWriter writer(columns, shard, json, out);
  journal.each_in_order([&](const std::vector<std::string>& cells) { writer.add(cells); });
  writer.finish();
}

}  // namespace halvern::tools
