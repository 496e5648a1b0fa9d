// halvern batch: many runs in one process, on a pool of threads, with one summary.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <thread>

#include "fixedpoint/diagnostics.h"
#include "tools/io/audio_io.h"
#include "tools/batch/batch_plan.h"
#include "tools/batch/batch_summary.h"
#include "tools/commands/commands.h"
#include "tools/commands/common.h"
#include "tools/commands/interrupts.h"
#include "tools/io/csv.h"
#include "tools/running/run_job.h"
#include "tools/io/safe_file.h"
#include "tools/running/sample_compare.h"
#include "tools/io/tuning_file.h"
#include "tools/review/tuning_gate.h"

namespace halvern::tools {
namespace {

namespace fs = std::filesystem;

struct BatchOptions {
  std::string manifest;
  std::vector<std::string> grid;
  std::vector<std::string> tunings;
  std::string out_dir;
  unsigned jobs = 0;
  bool resume = false;
  std::string summary;  // empty: standard output
  bool json = false;
  std::string compare_with;
  std::string shard;
  std::vector<std::string> merge;
  bool quiet = false;
  bool allow_tuning_errors = false;
  ReadOptions read;  // as halvern run's --resample, --channel and --pad, for every job
};

// Column positions in a summary row.
struct Columns {
  explicit Columns(const std::vector<std::string>& names) : names_(names) {}
  size_t operator()(const std::string& name) const {
    return static_cast<size_t>(std::find(names_.begin(), names_.end(), name) - names_.begin());
  }
  const std::vector<std::string>& names_;
};

// The comparison of one output with its reference, made as the output is written: the reference
// is read in step with it.
class ReferenceCheck {
 public:
  explicit ReferenceCheck(const fs::path& reference)
      : cells_{reference.string(), "", "", "", "", ""} {
    if (!fs::exists(reference)) {
      cells_[1] = "missing";
      return;
    }
    try {
      reader_ = std::make_unique<AudioReader>(reference.string());
    } catch (const std::exception& e) {
      fail(e);
    }
  }

  void add(std::span<const int16_t> output) {
    comparer_.add_b(output);
    read_reference(output.size());
  }

  // The cells: reference, compare, first_difference, differing_samples, max_difference, sdr_db.
  std::vector<std::string> cells() {
    while (reader_ && read_reference(BLOCK) > 0) {
    }
    if (!reader_) return cells_;
    const SampleComparison c = comparer_.result();
    const double sdr = c.signal_to_difference_db();
    char db[32] = "";
    if (std::isfinite(sdr)) std::snprintf(db, sizeof db, "%.2f", sdr);
    cells_[1] = c.identical ? "identical" : "different";
    cells_[2] = c.first >= 0               ? std::to_string(c.first)
                : c.length_a != c.length_b ? std::to_string(std::min(c.length_a, c.length_b))
                                           : "";
    cells_[3] = std::to_string(c.differing_samples + std::abs(c.length_a - c.length_b));
    cells_[4] = std::to_string(c.max_difference);
    cells_[5] = db;
    return cells_;
  }

 private:
  static constexpr size_t BLOCK = 16384;

  size_t read_reference(size_t n) {
    if (!reader_) return 0;
    try {
      block_.resize(n);
      size_t have = 0;
      for (size_t got = 1; have < n && got > 0; have += got)
        got = reader_->read(block_.data() + have, n - have);
      comparer_.add_a(std::span<const int16_t>(block_).first(have));
      return have;
    } catch (const std::exception& e) {
      fail(e);
      return 0;
    }
  }

  void fail(const std::exception& e) {
    cells_[1] = "error: " + std::string(e.what());
    reader_.reset();
  }

  std::vector<std::string> cells_;
  std::unique_ptr<AudioReader> reader_;  // null once missing or failed
  SampleComparer comparer_{0, 0};
  std::vector<int16_t> block_;
};

// Runs one job, reading, running and writing in blocks (and comparing, with --compare-with);
// returns its summary row. Never throws: a failure is the row's status and error.
std::vector<std::string> run_batch_job(const BatchJob& job, const BatchOptions& options,
                                       const std::vector<std::string>& columns) {
  std::vector<std::string> row = {std::to_string(job.index), job.name, job.input.string(),
                                  job.tuning.string(), job.output.string(), "ok", ""};
  std::optional<ReferenceCheck> check;
  try {
    if (same_file(job.output.string(), job.input.string()) ||
        same_file(job.output.string(), job.tuning.string())) {
      throw ToolError(job.output.string() + ": the output is the job's input or tuning file");
    }
    const TuningSlots slots = read_tuning_file(job.tuning.string());
    const AudioFormat format = format_for_path(job.output.string());
    AudioReader input(job.input.string(), options.read);
    if (job.output.has_parent_path()) fs::create_directories(job.output.parent_path());
    AudioWriter output(job.output.string(), format, interrupt_temporaries());
    if (!options.compare_with.empty())
      check.emplace(fs::path(options.compare_with) / job.relative_output);
    JobResult result;
    try {
      result = run_stream(input, slots, {}, [&](std::span<const int16_t> block) {
        output.write(block.data(), block.size());
        if (check) check->add(block);
      });
    } catch (const ArithmeticFault& fault) {
      throw std::runtime_error(job.tuning.string() + ": the engine stopped: " + fault.what());
    }
    output.commit();
    const std::vector<std::string> stats = stats_cells(result.stats);
    row.insert(row.end(), stats.begin(), stats.end());
  } catch (const std::exception& e) {
    row[5] = "failed";
    row[6] = e.what();
    while (!row[6].empty() && std::isspace(static_cast<unsigned char>(row[6].back()))) row[6].pop_back();
    const std::vector<std::string> empty = no_stats_cells();
    row.insert(row.end(), empty.begin(), empty.end());
  }
  if (!options.compare_with.empty()) {
    std::vector<std::string> cells(6);
    if (row[5] == "ok") cells = check->cells();
    row.insert(row.end(), cells.begin(), cells.end());
  }
  row.resize(columns.size());
  return row;
}

// Progress over the jobs on standard error: a line redrawn in place on a terminal, one line per
// finished job otherwise. Failures always get a line of their own.
class Progress {
 public:
  Progress(size_t total, bool quiet) : total_(total), quiet_(quiet), tty_(isatty(2) != 0) {
    // The line from the start: the first job may take long.
    if (tty_ && !quiet_ && total_ > 0) {
      std::fprintf(stderr, "[0/%zu]   0%%, 0 failed: starting %zu job%s", total_, total_,
                   total_ == 1 ? "" : "s");
      std::fflush(stderr);
    }
  }

  void done(const std::vector<std::string>& row, bool skipped) {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++done_;
    const bool failed = row[5] == "failed";
    failed_ += failed ? 1 : 0;
    char count[64];
    std::snprintf(count, sizeof count, "[%zu/%zu]", done_, total_);
    if (tty_) std::fputs("\r\033[K", stderr);
    if (failed) {
      std::fprintf(stderr, "halvern batch: %s job %s (%s) failed: %s\n", count, row[0].c_str(),
                   row[1].c_str(), row[6].c_str());
    } else if (!quiet_ && !tty_) {
      std::fprintf(stderr, "halvern batch: %s %s %s\n", count, skipped ? "complete, skipped" : "done",
                   row[1].c_str());
    }
    if (tty_ && !quiet_) {
      const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
      const double left = done_ > 0 ? elapsed * static_cast<double>(total_ - done_) / static_cast<double>(done_) : 0;
      std::fprintf(stderr, "%s %3.0f%%, %zu failed, %.0f s left: %s", count,
                   100.0 * static_cast<double>(done_) / static_cast<double>(total_), failed_, left,
                   row[1].c_str());
      if (done_ == total_) std::fputc('\n', stderr);
    }
    std::fflush(stderr);
  }

 private:
  using Clock = std::chrono::steady_clock;
  std::mutex mutex_;
  size_t total_;
  size_t done_ = 0;
  size_t failed_ = 0;
  bool quiet_;
  bool tty_;
  Clock::time_point start_ = Clock::now();
};

// Rows of finished jobs appended as they come, so that a batch killed before its summary still
// tells --resume the figures of its finished jobs: ".<summary name>.rows" beside the summary.
class RowJournal {
 public:
  explicit RowJournal(const std::string& summary)
      : path_(summary.empty() ? "" : (fs::path(summary).parent_path() /
                                      ("." + fs::path(summary).filename().string() + ".rows"))
                                         .string()) {}

  // The rows that earlier runs recorded, by output path: the journal's, then the summary's.
  std::map<std::string, std::vector<std::string>> previous_rows(const std::string& summary,
                                                                const std::vector<std::string>& columns) const {
    std::map<std::string, std::vector<std::string>> rows;
    for (const std::string& file : {path_, summary}) {
      if (file.empty() || !fs::exists(file)) continue;
      SummaryTable table;
      try {
        table = read_summary(file);
      } catch (const ToolError&) {
        continue;  // a journal cut short, a summary of other columns: nothing to resume from
      }
      // A summary written before the findings column: the same columns but the last.
      if (table.columns.size() + 1 == columns.size() &&
          std::equal(table.columns.begin(), table.columns.end(), columns.begin())) {
        table.columns = columns;
        for (auto& row : table.rows) row.resize(columns.size());
      }
      if (table.columns != columns) continue;
      const Columns at(columns);
      for (auto& row : table.rows) {
        if (row[at("status")] == "ok") rows.emplace(row[at("output")], row);
      }
    }
    return rows;
  }

  // Starts the journal afresh with the rows an earlier run left: written whole under a temporary
  // name first, so that a kill meanwhile loses none of them.
  void open(const std::vector<std::string>& columns,
            const std::map<std::string, std::vector<std::string>>& previous) {
    if (path_.empty()) return;
    std::string text = csv_line(columns);
    for (const auto& [output, row] : previous) text += csv_line(row);
    write_text_file(path_, text, interrupt_temporaries());
    file_.open(path_, std::ios::binary | std::ios::app);
  }

  const std::string& path() const { return path_; }

  void add(const std::vector<std::string>& row) {
    if (!file_.is_open()) return;
    const std::lock_guard<std::mutex> lock(mutex_);
    file_ << csv_line(row) << std::flush;
  }

  void finish() {
    if (!file_.is_open()) return;
    file_.close();
    std::error_code ignored;
    fs::remove(path_, ignored);
  }

 private:
  std::string path_;
  std::ofstream file_;
  std::mutex mutex_;
};

// Removes what a killed run left of the output: ".<name>.partial-XXXXXX" beside it.
void remove_partial_files(const fs::path& output) {
  const std::string prefix = "." + output.filename().string() + ".partial-";
  std::error_code error;
  const fs::path folder = output.has_parent_path() ? output.parent_path() : ".";
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0) {
      fs::remove(entry.path(), error);
    }
  }
}

// Writes the summary table to its file (or standard output) as CSV or JSON.
void write_summary(const SummaryTable& table, const BatchOptions& options) {
  const std::string text = options.json ? summary_json(table).dump(2) + "\n" : summary_csv(table);
  if (options.summary.empty()) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  } else {
    write_text_file(options.summary, text, interrupt_temporaries());
  }
}

int merge_command(const BatchOptions& options) {
  std::vector<SummaryTable> parts;
  for (const std::string& path : options.merge) parts.push_back(read_summary(path));
  std::string missing;
  const SummaryTable merged = merge_summaries(parts, options.merge, &missing);
  write_summary(merged, options);
  if (!missing.empty()) {
    if (missing.size() > 200) {  // the first ones and the last one
      missing = missing.substr(0, missing.rfind(' ', 200)) + " ..." +
                missing.substr(missing.rfind(missing.find(',') != std::string::npos ? ',' : ' '));
    }
    std::fprintf(stderr,
                 "halvern batch --merge: missing from the summaries: %s (a shard not "
                 "merged, or not finished)\n",
                 missing.c_str());
    return 1;
  }
  const Columns at(merged.columns);
  const bool failed = std::any_of(merged.rows.begin(), merged.rows.end(), [&](const auto& row) {
    return row[at("status")] == "failed";
  });
  return failed ? 1 : 0;
}

// The jobs the options ask for, from the manifest or the grid, cut to the shard; for a shard, what
// it knows of its whole batch.
struct PlannedJobs {
  std::vector<BatchJob> jobs;
  ShardFacts shard;
};

// The jobs of the options. Throws ToolError for options that do not go together.
PlannedJobs planned_jobs(const BatchOptions& options) {
  std::vector<BatchJob> jobs;
  if (!options.grid.empty()) {
    if (!options.manifest.empty() || options.tunings.empty() || options.out_dir.empty()) {
      throw ToolError("--grid needs --tunings and --out, and no manifest");
    }
    std::vector<fs::path> inputs(options.grid.begin(), options.grid.end());
    std::vector<fs::path> tunings(options.tunings.begin(), options.tunings.end());
    jobs = plan_from_grid(inputs, tunings, options.out_dir);
  } else if (!options.manifest.empty()) {
    if (!options.tunings.empty() || !options.out_dir.empty()) {
      throw ToolError("--tunings and --out go with --grid, not with a manifest");
    }
    jobs = plan_from_manifest(options.manifest);
  } else {
    throw ToolError("give a manifest (CSV with the columns input,tuning,output), "
                    "--grid INPUTS... --tunings T... --out DIR, or --merge SUMMARIES...");
  }
  ShardFacts shard_facts;
  if (!options.shard.empty()) {
    const Shard shard = parse_shard(options.shard);
    shard_facts = {shard.k, shard.n, jobs.size(), plan_fingerprint(jobs)};
    jobs = shard_jobs(jobs, shard);
  }
  if (options.resume && options.summary.empty()) {
    throw ToolError("--resume needs the summary file of the batch (-o FILE): "
                    "the finished jobs' figures are taken from it");
  }
  if (!options.compare_with.empty() && !fs::is_directory(options.compare_with)) {
    throw ToolError("--compare-with " + options.compare_with + ": no such folder");
  }
  const fs::path summary_folder = fs::path(options.summary).parent_path();
  if (!summary_folder.empty() && !fs::is_directory(summary_folder)) {
    throw ToolError("-o " + options.summary + ": no folder " + summary_folder.string() +
                    " (create it first)");
  }
  if (!options.summary.empty()) check_output_path(options.summary);
  return {std::move(jobs), shard_facts};
}

// Every tuning of the jobs as check judges it, before any job runs: its errors shown, its
// findings for the summary's last column (by tuning path). Throws ToolError when one is refused.
std::map<std::string, std::string> judge_tunings(const std::vector<BatchJob>& jobs,
                                                 bool allow_errors) {
  std::map<std::string, std::string> findings;
  bool refused = false;
  for (const BatchJob& job : jobs) {
    const std::string tuning = job.tuning.string();
    if (findings.count(tuning) != 0) continue;
    const TuningVerdict verdict = judge_tuning(tuning, allow_errors);
    for (const std::string& line : verdict.lines) std::fprintf(stderr, "%s\n", line.c_str());
    if (verdict.refused) {
      std::fprintf(stderr, "halvern batch: %s\n", verdict.refusal.c_str());
      refused = true;
    }
    findings[tuning] = verdict.findings;
  }
  if (refused) throw ToolError("no job was run", EXIT_TROUBLE);
  return findings;
}

int batch_command(const BatchOptions& options) {
  if (!options.merge.empty()) return merge_command(options);
  const PlannedJobs planned = planned_jobs(options);
  const std::vector<BatchJob>& jobs = planned.jobs;
  const std::map<std::string, std::string> findings =
      judge_tunings(jobs, options.allow_tuning_errors);
  const std::vector<std::string> columns = summary_columns(!options.compare_with.empty());
  const Columns at(columns);
  RowJournal journal(options.summary);
  std::map<std::string, std::vector<std::string>> previous;
  if (options.resume) {
    remove_partial_files(options.summary);
    remove_partial_files(journal.path());
    previous = journal.previous_rows(options.summary, columns);
  }
  journal.open(columns, previous);  // ToolError when it cannot be written

  // The longest inputs first, so that the last jobs to finish are short ones and no thread idles
  // long at the end while another works.
  std::vector<size_t> order(jobs.size());
  std::vector<uintmax_t> sizes(jobs.size());
  for (size_t i = 0; i < jobs.size(); ++i) {
    std::error_code ignored;
    order[i] = i;
    sizes[i] = fs::file_size(jobs[i].input, ignored);
    if (ignored) sizes[i] = 0;
  }
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return sizes[a] > sizes[b]; });

  std::vector<std::vector<std::string>> rows(jobs.size());
  const std::string interrupted =
      std::string(isatty(STDERR_FILENO) != 0 ? "\r\033[K" : "") +
      (options.summary.empty()
           ? "halvern batch: interrupted; the finished jobs' outputs are kept, and a batch that "
             "writes its summary to a file (-o FILE) continues with --resume"
           : "halvern batch: interrupted; the same command with --resume continues it (the "
             "finished jobs are kept)");
  set_interrupt_note(interrupted.c_str());
  Progress progress(jobs.size(), options.quiet);
  std::atomic<size_t> next{0};
  const auto worker = [&] {
    for (size_t n = next++; n < jobs.size(); n = next++) {
      const size_t i = order[n];
      const BatchJob& job = jobs[i];
      if (options.resume) {
        remove_partial_files(job.output);
        const auto found = previous.find(job.output.string());
        if (found != previous.end() && fs::exists(job.output) &&
            found->second[at("input")] == job.input.string() &&
            found->second[at("tuning")] == job.tuning.string()) {
          rows[i] = found->second;
          rows[i][at("job")] = std::to_string(job.index);
          rows[i][at("name")] = job.name;
          rows[i][at(TUNING_FINDINGS_COLUMN)] = findings.at(job.tuning.string());
          progress.done(rows[i], true);
          continue;
        }
      }
      rows[i] = run_batch_job(job, options, columns);
      rows[i][at(TUNING_FINDINGS_COLUMN)] = findings.at(job.tuning.string());
      journal.add(rows[i]);
      progress.done(rows[i], false);
    }
  };
  const unsigned threads = std::max(1u, std::min<unsigned>(options.jobs, static_cast<unsigned>(jobs.size())));
  {
    std::vector<std::jthread> pool;
    for (unsigned t = 1; t < threads; ++t) pool.emplace_back(worker);
    worker();
  }

  SummaryTable table{columns, rows, planned.shard};
  write_summary(table, options);
  set_interrupt_note("");
  journal.finish();
  size_t failed = 0;
  size_t different = 0;
  for (const auto& row : rows) {
    failed += row[at("status")] == "failed" ? 1 : 0;
    if (!options.compare_with.empty() && row[at("status")] == "ok") {
      different += row[at("compare")] != "identical" ? 1 : 0;
    }
  }
  if (failed > 0 || different > 0) {
    std::fprintf(stderr, "halvern batch: %zu of %zu jobs failed", failed, rows.size());
    if (!options.compare_with.empty()) std::fprintf(stderr, ", %zu differ from %s", different, options.compare_with.c_str());
    std::fputc('\n', stderr);
    return 1;
  }
  return 0;
}

}  // namespace

void add_batch_command(CLI::App& app, int* status) {
  auto options = std::make_shared<BatchOptions>();
  options->jobs = std::max(1u, std::thread::hardware_concurrency());
  CLI::App* sub = app.add_subcommand(
      "batch", "run many jobs (recording x tuning) in one process, with one summary");
  sub->add_option("manifest", options->manifest,
                  "CSV with the columns input,tuning,output and optionally name; relative paths "
                  "are taken from the manifest's folder")
      ->type_name("FILE");
  sub->add_option("--grid", options->grid, "every one of these inputs with every tuning")
      ->type_name("FILE")
      ->expected(1, -1);
  sub->add_option("--tunings", options->tunings, "the tunings of --grid")
      ->type_name("FILE")
      ->expected(1, -1);
  sub->add_option("--out", options->out_dir,
                  "output folder of --grid: <input>__<tuning><input extension>")
      ->type_name("FOLDER");
  sub->add_option("-j,--jobs", options->jobs,
                  "jobs at once, 1 to 1024 (default: the number of cores)")
      ->type_name("N")
      ->check(CLI::Range(1u, 1024u).description(""));
  sub->add_flag("--resume", options->resume,
                "skip jobs whose output is complete (taking their figures from the summary)");
  sub->add_option("--summary,-o", options->summary, "summary file (default: standard output)")
      ->type_name("FILE");
  add_json_option(sub, &options->json, "summary as JSON instead of CSV");
  sub->add_option("--compare-with", options->compare_with,
                  "reference folder: compare each output with the file of the same name there")
      ->type_name("FOLDER");
  sub->add_option("--shard", options->shard, "run only the K-th of N equal parts of the jobs (K/N)")
      ->type_name("K/N");
  sub->add_option("--merge", options->merge, "merge these shard summaries (CSV) into one")
      ->type_name("FILE")
      ->expected(1, -1);
  add_quiet_option(sub, &options->quiet, "show failures only, no progress");
  add_allow_tuning_errors_option(sub, &options->allow_tuning_errors);
  add_read_options(sub, &options->read, "inputs", true);
  sub->callback([options, status] { *status = batch_command(*options); });
}

}  // namespace halvern::tools
