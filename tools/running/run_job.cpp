#include "tools/running/run_job.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

#include "engine/engine.h"
#include "engine/stream.h"

namespace halvern::tools {

namespace {

constexpr int PROGRESS_EVERY = 64;  // frames between progress calls
constexpr size_t DIAGNOSTICS_KEPT = 100;
constexpr size_t BLOCK_SAMPLES = 100 * FRAME_LENGTH;  // 2 s read, run and written at a time

// Gathers the statistics, and on request the signals and frame rows, from the engine's taps;
// passes every call on to the caller's observer.
class JobObserver : public EngineObserver {
 public:
  JobObserver(const JobOptions& options, JobResult* result, int64_t frames)
      : options_(options), result_(result) {
    if (options.keep_signals) {
      for (auto& signal : result->signals) {
        signal.reserve(static_cast<size_t>(frames) * FRAME_LENGTH);
      }
    }
    if (options.keep_frames) result->frames.reserve(static_cast<size_t>(frames));
  }

  void on_signal(ChainPosition position, const int16_t* frame, int n) override {
    const auto p = static_cast<size_t>(position);
    PositionStats& ps = result_->stats.positions[p];
    ps.signal.add(frame, n);
    if (p > 0 && std::memcmp(frame, previous_, sizeof(int16_t) * static_cast<size_t>(n)) != 0) {
      ++ps.changed_frames;
    }
    std::memcpy(previous_, frame, sizeof(int16_t) * static_cast<size_t>(n));
    if (options_.keep_signals)
      result_->signals[p].insert(result_->signals[p].end(), frame, frame + n);
    if (options_.observer != nullptr) options_.observer->on_signal(position, frame, n);
  }

  void on_frame_end(const Engine& engine) override {
    RunStats& stats = result_->stats;
    if (stats.dynamics.enabled) add_dynamics(engine.dynamics.main_compressor);
    if (stats.limiter.enabled) add_limiter(engine.equalizer.limiter);
    if (stats.suppressor.enabled) add_suppressor(engine.suppressor);
    if (options_.keep_frames) result_->frames.push_back(capture_frame_state(engine, frame_));
    ++frame_;
    if (options_.observer != nullptr) options_.observer->on_frame_end(engine);
  }

  void finish() {
    DynamicsStats& d = result_->stats.dynamics;
    if (frame_ > 0) d.gain_db_mean = gain_db_sum_ / static_cast<double>(frame_);
  }

 private:
  void add_dynamics(const MainCompressor& c) {
    DynamicsStats& d = result_->stats.dynamics;
    const double gain_db = q15_db(c.gain) + q11_db(c.makeup_gain_prev);
    if (frame_ == 0) {
      d.gain_db_min = d.gain_db_max = gain_db;
    } else {
      d.gain_db_min = std::min(d.gain_db_min, gain_db);
      d.gain_db_max = std::max(d.gain_db_max, gain_db);
    }
    gain_db_sum_ += gain_db;
    // The segments in the order the level control tries them.
    if (c.level > c.comp_threshold) {
      if (c.comp_slope > 0) ++d.frames_compression;
    } else if (c.level > c.boost_threshold) {
      // flat: 0 dB
    } else if (c.level > c.exp_threshold) {
      if (c.makeup_db > 0) ++d.frames_boost;
    } else if (c.exp_slope < 0) {
      ++d.frames_expansion;
    }
  }

  void add_limiter(const PeakLimiter& limiter) {
    LimiterStats& l = result_->stats.limiter;
    const double gain_db = q15_db(limiter.gain);
    if (gain_db < LIMITING_FLOOR_DB) {
      ++l.frames_limiting;
      l.deepest_reduction_db = std::min(l.deepest_reduction_db, gain_db);
    }
  }

  void add_suppressor(const PeakSuppressorContext& p) {
    SuppressorStats& s = result_->stats.suppressor;
    bool any = false;
    for (size_t b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) {
      if (p.band_mark[b] != 0) {
        any = true;
        ++s.marks[b];
        ++run_[b];
        s.longest_run[b] = std::max(s.longest_run[b], run_[b]);
      } else {
        run_[b] = 0;
      }
    }
    if (any) ++s.frames_marked;
  }

  const JobOptions& options_;
  JobResult* result_;
  int64_t frame_ = 0;
  double gain_db_sum_ = 0;
  std::array<int64_t, SUPPRESSOR_BAND_COUNT> run_{};
  int16_t previous_[FRAME_CAPACITY] = {};
};

// The engine's non-fatal messages: the first few kept, all counted.
struct DiagnosticsKept {
  std::vector<std::string>* messages = nullptr;
  uint64_t count = 0;
};

void collect_diagnostic(void* user, const char* message) {
  auto* kept = static_cast<DiagnosticsKept*>(user);
  ++kept->count;
  if (kept->messages->size() < DIAGNOSTICS_KEPT) kept->messages->emplace_back(message);
}

}  // namespace

struct JobRunner::Impl {
  Impl(const TuningSlots& slots, const JobOptions& job_options, int64_t expected)
      : options(job_options),
        expected_frames(expected),
        stream(slots, job_options.stage_mask),
        observer(options, &result, std::max<int64_t>(expected, 0)) {
    kept.messages = &result.diagnostics;
    stream.set_diagnostics(collect_diagnostic, &kept);
    stream.set_observer(&observer);
    const Engine& engine = stream.engine();
    RunStats& stats = result.stats;
    stats.positions[0].enabled = true;
    const int16_t enables[] = {engine.highpass.header.enable, engine.dynamics.header.enable,
                               engine.equalizer.header.enable, engine.suppressor.header.enable,
                               engine.dither.header.enable};
    for (size_t p = 1; p < CHAIN_POSITION_COUNT; ++p)
      stats.positions[p].enabled = enables[p - 1] == 1;
    stats.dynamics.enabled = stats.positions[2].enabled;
    stats.limiter.enabled = stats.positions[3].enabled;
    stats.suppressor.enabled = stats.positions[4].enabled;
  }

  void report_progress() {
    const int64_t done = stream.frames();
    if (!options.progress || expected_frames < 0 || done == reported) return;
    reported = done;
    options.progress(done, std::max(done, expected_frames));
  }

  JobOptions options;
  int64_t expected_frames;
  JobResult result;
  DiagnosticsKept kept;
  EngineStream stream;
  JobObserver observer;
  int64_t reported = 0;  // frames at the last progress call
  std::chrono::steady_clock::duration busy{};
};

JobRunner::JobRunner(const TuningSlots& slots, const JobOptions& options, int64_t expected_frames)
    : impl_(std::make_unique<Impl>(slots, options, expected_frames)) {}
JobRunner::~JobRunner() = default;
JobRunner::JobRunner(JobRunner&&) noexcept = default;
JobRunner& JobRunner::operator=(JobRunner&&) noexcept = default;

void JobRunner::process(std::span<const int16_t> in, std::vector<int16_t>* out) {
  Impl& r = *impl_;
  const auto start = std::chrono::steady_clock::now();
  // In slices that end where a progress call is due.
  constexpr size_t SLICE = static_cast<size_t>(PROGRESS_EVERY) * FRAME_LENGTH;
  while (!in.empty()) {
    const size_t to_call =
        SLICE - (static_cast<size_t>(r.stream.frames() % PROGRESS_EVERY) * FRAME_LENGTH +
                 r.stream.buffered());
    const std::span<const int16_t> slice = in.first(std::min(in.size(), to_call));
    r.stream.process(slice, out);
    in = in.subspan(slice.size());
    if (r.stream.frames() % PROGRESS_EVERY == 0 && r.stream.buffered() == 0) r.report_progress();
  }
  r.busy += std::chrono::steady_clock::now() - start;
}

JobResult JobRunner::finish() {
  Impl& r = *impl_;
  r.report_progress();
  RunStats& stats = r.result.stats;
  stats.frames = r.stream.frames();
  stats.samples = stats.frames * FRAME_LENGTH;
  stats.dropped_samples = static_cast<int64_t>(r.stream.buffered());
  stats.wall_seconds = std::chrono::duration<double>(r.busy).count();
  r.observer.finish();
  std::vector<std::string>& messages = r.result.diagnostics;
  if (messages.size() < r.kept.count) {
    messages.push_back("... and " + std::to_string(r.kept.count - messages.size()) + " more");
  }
  return std::move(r.result);
}

JobResult run_stream(AudioReader& reader, const TuningSlots& slots, const JobOptions& options,
                     const std::function<void(std::span<const int16_t>)>& sink) {
  const int64_t expected = reader.expected_samples();
  JobRunner runner(slots, options, expected < 0 ? -1 : expected / FRAME_LENGTH);
  std::vector<int16_t> in(BLOCK_SAMPLES);
  std::vector<int16_t> out;
  out.reserve(BLOCK_SAMPLES + FRAME_LENGTH);
  for (size_t n = 0; (n = reader.read(in.data(), in.size())) > 0;) {
    out.clear();
    runner.process(std::span(in).first(n), &out);
    if (!out.empty()) sink(out);
  }
  return runner.finish();
}

JobResult run_job(const std::vector<int16_t>& input, const TuningSlots& slots,
                  const JobOptions& options) {
  JobRunner runner(slots, options, static_cast<int64_t>(input.size()) / FRAME_LENGTH);
  std::vector<int16_t> output;
  output.reserve(input.size() / FRAME_LENGTH * FRAME_LENGTH);
  runner.process(input, &output);
  JobResult result = runner.finish();
  result.output = std::move(output);
  return result;
}

std::string stage_names(int16_t mask) {
  std::string names;
  for (const StageInfo& stage : STAGE_TABLE) {
    if ((mask & stage.bit) == 0) continue;
    if (!names.empty()) names += ',';
    names += stage.key;
  }
  return names.empty() ? "none" : names;
}

std::string stage_keys(std::string_view last_separator) {
  std::string keys;
  for (size_t i = 0; i < STAGE_TABLE.size(); ++i) {
    if (i > 0) keys += i + 1 == STAGE_TABLE.size() ? last_separator : ", ";
    keys += STAGE_TABLE[i].key;
  }
  return keys;
}

int16_t parse_stage_list(std::string_view list) {
  if (list.empty()) {
    throw std::invalid_argument("--stages is empty: name the stages to run (" + stage_keys(", ") +
                                " separated by commas), or none to run none");
  }
  if (list == "none") return 0;
  int16_t mask = 0;
  size_t at = 0;
  while (at <= list.size()) {
    const size_t comma = std::min(list.find(',', at), list.size());
    const std::string_view word = list.substr(at, comma - at);
    const auto it =
        std::find_if(STAGE_TABLE.begin(), STAGE_TABLE.end(),
                     [word](const StageInfo& s) { return word == s.key || word == s.trace_name; });
    if (word == "none") {
      throw std::invalid_argument("--stages " + std::string(list) +
                                  ": none runs no stage and "
                                  "cannot be combined with stages; give either none or the list");
    }
    if (it == STAGE_TABLE.end()) {
      throw std::invalid_argument("unknown stage '" + std::string(word) + "' in --stages: use " +
                                  stage_keys(" and ") + " separated by commas, or none");
    }
    mask = static_cast<int16_t>(mask | it->bit);
    at = comma + 1;
  }
  return mask;
}

}  // namespace halvern::tools
