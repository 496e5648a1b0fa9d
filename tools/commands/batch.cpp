// halvern batch: many runs in one process, on a pool of threads, with one summary.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "tools/batch/batch_plan.h"
#include "tools/batch/batch_run.h"
#include "tools/batch/batch_summary.h"
#include "tools/batch/row_journal.h"
#include "tools/commands/commands.h"
#include "tools/commands/common.h"
#include "tools/commands/interrupts.h"
#include "tools/io/safe_file.h"
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

  void done(const BatchRow& row, bool skipped) {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++done_;
    failed_ += row.failed() ? 1 : 0;
    char count[64];
    std::snprintf(count, sizeof count, "[%zu/%zu]", done_, total_);
    if (tty_) std::fputs("\r\033[K", stderr);
    if (row.failed()) {
      std::fprintf(stderr, "halvern batch: %s job %d (%s) failed: %s\n", count, row.job,
                   row.name.c_str(), row.error.c_str());
    } else if (!quiet_ && !tty_) {
      std::fprintf(stderr, "halvern batch: %s %s %s\n", count,
                   skipped ? "complete, skipped" : "done", row.name.c_str());
    }
    if (tty_ && !quiet_) redraw(count, row.name);
    std::fflush(stderr);
  }

 private:
  using Clock = std::chrono::steady_clock;

  // The line in place: the count, the share done, the failures, the time left, the last job.
  void redraw(const char* count, const std::string& name) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
    const double done = static_cast<double>(done_);
    const double left = elapsed * static_cast<double>(total_ - done_) / done;
    std::fprintf(stderr, "%s %3.0f%%, %zu failed, %.0f s left: %s", count,
                 100.0 * done / static_cast<double>(total_), failed_, left, name.c_str());
    if (done_ == total_) std::fputc('\n', stderr);
  }

  std::mutex mutex_;
  size_t total_;
  size_t done_ = 0;
  size_t failed_ = 0;
  bool quiet_;
  bool tty_;
  Clock::time_point start_ = Clock::now();
};

// Writes the summary to its file (through a temporary name) or to standard output: fill gives
// it piece by piece.
void write_summary(const BatchOptions& options,
                   const std::function<void(const std::function<void(std::string_view)>&)>& fill) {
  if (options.summary.empty()) {
    fill([](std::string_view piece) { std::fwrite(piece.data(), 1, piece.size(), stdout); });
    std::fflush(stdout);
    return;
  }
  SafeFile file(options.summary, interrupt_temporaries());
  fill([&](std::string_view piece) { file.write(piece.data(), piece.size()); });
  file.commit();
}

// "missing from the summaries" for the message: the first ones and the last one.
std::string shortened(std::string missing) {
  if (missing.size() <= 200) return missing;
  return missing.substr(0, missing.rfind(' ', 200)) + " ..." +
         missing.substr(missing.rfind(missing.find(',') != std::string::npos ? ',' : ' '));
}

int merge_command(const BatchOptions& options) {
  std::vector<SummaryTable> parts;
  for (const std::string& path : options.merge) parts.push_back(read_summary(path));
  std::string missing;
  const SummaryTable merged = merge_summaries(parts, options.merge, &missing);
  write_summary(options, [&](const auto& out) {
    SummaryWriter writer(merged.columns, merged.shard, options.json, out);
    for (const auto& row : merged.rows) writer.add(row);
    writer.finish();
  });
  if (!missing.empty()) {
    std::fprintf(stderr,
                 "halvern batch --merge: missing from the summaries: %s (a shard not "
                 "merged, or not finished)\n",
                 shortened(missing).c_str());
    return 1;
  }
  try {
    const bool failed = std::any_of(merged.rows.begin(), merged.rows.end(), [&](const auto& row) {
      return BatchRow::from_columns(merged.columns, row).failed();
    });
    return failed ? 1 : 0;
  } catch (const ToolError& e) {
    throw ToolError(options.merge.front() + ": " + e.what());
  }
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
    throw ToolError(
        "give a manifest (CSV with the columns input,tuning,output), "
        "--grid INPUTS... --tunings T... --out DIR, or --merge SUMMARIES...");
  }
  ShardFacts shard_facts;
  if (!options.shard.empty()) {
    const Shard shard = parse_shard(options.shard);
    shard_facts = {shard.k, shard.n, jobs.size(), plan_fingerprint(jobs)};
    jobs = shard_jobs(jobs, shard);
  }
  if (options.resume && options.summary.empty()) {
    throw ToolError(
        "--resume needs the summary file of the batch (-o FILE): "
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

// The line printed when the batch is stopped by SIGINT or SIGTERM.
std::string interrupted_note(const BatchOptions& options) {
  return std::string(isatty(STDERR_FILENO) != 0 ? "\r\033[K" : "") +
         (options.summary.empty()
              ? "halvern batch: interrupted; the finished jobs' outputs are kept, and a batch "
                "that writes its summary to a file (-o FILE) continues with --resume"
              : "halvern batch: interrupted; the same command with --resume continues it (the "
                "finished jobs are kept)");
}

// "N of M jobs failed" (and how many differ from the reference) when any did; the status.
int report_totals(const BatchTotals& totals, const BatchOptions& options) {
  if (totals.failed == 0 && totals.different == 0) return 0;
  std::fprintf(stderr, "halvern batch: %zu of %zu jobs failed", totals.failed, totals.jobs);
  if (!options.compare_with.empty()) {
    std::fprintf(stderr, ", %zu differ from %s", totals.different, options.compare_with.c_str());
  }
  std::fputc('\n', stderr);
  return 1;
}

int batch_command(const BatchOptions& options) {
  if (!options.merge.empty()) return merge_command(options);
  const PlannedJobs planned = planned_jobs(options);
  BatchSettings settings;
  settings.job = {options.read, options.compare_with, interrupt_temporaries()};
  settings.threads = options.jobs;
  settings.resume = options.resume;
  settings.findings = judge_tunings(planned.jobs, options.allow_tuning_errors);
  RowJournal journal(options.summary, planned.jobs.size());
  set_interrupt_note(interrupted_note(options).c_str());
  Progress progress(planned.jobs.size(), options.quiet);
  const BatchTotals totals =
      run_batch(planned.jobs, settings, options.summary, &journal,
                [&](const BatchRow& row, bool skipped) { progress.done(row, skipped); });
  write_summary(options, [&](const auto& out) {
    write_batch_summary(journal, summary_columns(!options.compare_with.empty()), planned.shard,
                        options.json, out);
  });
  set_interrupt_note("");
  journal.remove();
  return report_totals(totals, options);
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
