#include "tools/batch/batch_job.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>

#include "fixedpoint/diagnostics.h"
#include "tools/io/tuning_file.h"
#include "tools/running/run_job.h"
#include "tools/running/sample_compare.h"

namespace halvern::tools {
namespace {

namespace fs = std::filesystem;

// The comparison of one output with its reference, made as the output is written: the reference
// is read in step with it.
class ReferenceCheck {
 public:
  explicit ReferenceCheck(const fs::path& reference) {
    cells_.reference = reference.string();
    if (!fs::exists(reference)) {
      cells_.compare = "missing";
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

  RowComparison result() {
    while (reader_ && read_reference(BLOCK) > 0) {
    }
    if (!reader_) return cells_;
    const SampleComparison c = comparer_.result();
    const double sdr = c.signal_to_difference_db();
    char db[32] = "";
    if (std::isfinite(sdr)) std::snprintf(db, sizeof db, "%.2f", sdr);
    cells_.compare = c.identical ? "identical" : "different";
    cells_.first_difference = c.first >= 0 ? std::to_string(c.first)
                              : c.length_a != c.length_b
                                  ? std::to_string(std::min(c.length_a, c.length_b))
                                  : "";
    cells_.differing_samples =
        std::to_string(c.differing_samples + std::abs(c.length_a - c.length_b));
    cells_.max_difference = std::to_string(c.max_difference);
    cells_.sdr_db = db;
    return cells_;
  }

 private:
  static constexpr size_t BLOCK = 16384;

  size_t read_reference(size_t n) {
    if (!reader_) return 0;
    try {
      block_.resize(n);
      size_t have = 0;
      for (size_t got = 1; have < n && got > 0; have += got) {
        got = reader_->read(block_.data() + have, n - have);
      }
      comparer_.add_a(std::span<const int16_t>(block_).first(have));
      return have;
    } catch (const std::exception& e) {
      fail(e);
      return 0;
    }
  }

  void fail(const std::exception& e) {
    cells_.compare = "error: " + std::string(e.what());
    reader_.reset();
  }

  RowComparison cells_;
  std::unique_ptr<AudioReader> reader_;  // null once missing or failed
  SampleComparer comparer_{0, 0};
  std::vector<int16_t> block_;
};

// Runs the job into row's statistics; throws for a failure.
void run_into(const BatchJob& job, const JobSettings& settings,
              std::optional<ReferenceCheck>* check, BatchRow* row) {
  if (same_file(job.output.string(), job.input.string()) ||
      same_file(job.output.string(), job.tuning.string())) {
    throw ToolError(job.output.string() + ": the output is the job's input or tuning file");
  }
  const TuningSlots slots = read_tuning_file(job.tuning.string());
  const AudioFormat format = format_for_path(job.output.string());
  AudioReader input(job.input.string(), settings.read);
  if (job.output.has_parent_path()) fs::create_directories(job.output.parent_path());
  AudioWriter output(job.output.string(), format, settings.temporaries);
  if (!settings.compare_with.empty()) {
    check->emplace(fs::path(settings.compare_with) / job.relative_output);
  }
  JobResult result;
  try {
    result = run_stream(input, slots, {}, [&](std::span<const int16_t> block) {
      output.write(block.data(), block.size());
      if (*check) (*check)->add(block);
    });
  } catch (const ArithmeticFault& fault) {
    throw std::runtime_error(job.tuning.string() + ": the engine stopped: " + fault.what());
  }
  output.commit();
  row->stats = stats_cells(result.stats);
}

}  // namespace

BatchRow run_batch_job(const BatchJob& job, const JobSettings& settings) {
  BatchRow row;
  row.job = job.index;
  row.name = job.name;
  row.input = job.input.string();
  row.tuning = job.tuning.string();
  row.output = job.output.string();
  std::optional<ReferenceCheck> check;
  try {
    run_into(job, settings, &check, &row);
  } catch (const std::exception& e) {
    row.status = BatchRow::FAILED;
    row.error = e.what();
    while (!row.error.empty() && std::isspace(static_cast<unsigned char>(row.error.back()))) {
      row.error.pop_back();
    }
    row.stats.clear();
  }
  if (!settings.compare_with.empty()) {
    row.comparison = row.status == BatchRow::OK ? check->result() : RowComparison{};
  }
  return row;
}

}  // namespace halvern::tools
