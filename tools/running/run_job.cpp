#include "tools/running/run_job.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

#include "engine/engine.h"

namespace halvern::tools {

namespace {

constexpr int PROGRESS_EVERY = 64;  // frames between progress calls
constexpr size_t DIAGNOSTICS_KEPT = 100;

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
    if (options_.keep_signals) result_->signals[p].insert(result_->signals[p].end(), frame, frame + n);
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

void collect_diagnostic(void* user, const char* message) {
  auto* messages = static_cast<std::vector<std::string>*>(user);
  if (messages->size() < DIAGNOSTICS_KEPT) messages->emplace_back(message);
}

}  // namespace

JobResult run_job(const std::vector<int16_t>& input, const TuningSlots& slots,
                  const JobOptions& options) {
  JobResult result;
  const int64_t frames = static_cast<int64_t>(input.size()) / FRAME_LENGTH;
  RunStats& stats = result.stats;
  stats.frames = frames;
  stats.samples = frames * FRAME_LENGTH;
  stats.dropped_samples = static_cast<int64_t>(input.size()) - stats.samples;
  result.output.resize(static_cast<size_t>(stats.samples));

  auto engine = std::make_unique<Engine>();
  engine_reset(engine.get());
  engine->diagnostics.write = collect_diagnostic;
  engine->diagnostics.user = &result.diagnostics;
  int16_t input_frame[FRAME_CAPACITY] = {};
  int16_t output_frame[FRAME_CAPACITY] = {};
  engine_bind(engine.get(), input_frame, output_frame);  // as halvern-sim does before configuring
  engine_set_stage_mask(engine.get(), options.stage_mask.value_or(slots[STAGE_MASK_SLOT]));
  engine_configure(engine.get(), slots);

  stats.positions[0].enabled = true;
  const int16_t enables[] = {engine->highpass.header.enable, engine->dynamics.header.enable,
                             engine->equalizer.header.enable, engine->suppressor.header.enable,
                             engine->dither.header.enable};
  for (size_t p = 1; p < CHAIN_POSITION_COUNT; ++p) stats.positions[p].enabled = enables[p - 1] == 1;
  stats.dynamics.enabled = stats.positions[2].enabled;
  stats.limiter.enabled = stats.positions[3].enabled;
  stats.suppressor.enabled = stats.positions[4].enabled;

  JobObserver observer(options, &result, frames);
  engine->observer = &observer;
  const auto start = std::chrono::steady_clock::now();
  for (int64_t f = 0; f < frames; ++f) {
    if (engine_process_frame(engine.get(), input.data() + f * FRAME_LENGTH,
                             result.output.data() + f * FRAME_LENGTH) != 0) {
      throw std::logic_error("the engine refused a frame");  // cannot happen: both frames bound
    }
    if (options.progress && ((f + 1) % PROGRESS_EVERY == 0 || f + 1 == frames)) {
      options.progress(f + 1, frames);
    }
  }
  stats.wall_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  observer.finish();
  if (result.diagnostics.size() < engine->diagnostics.count) {
    result.diagnostics.push_back("... and " +
                                 std::to_string(engine->diagnostics.count - result.diagnostics.size()) +
                                 " more");
  }
  return result;
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
    const auto it = std::find_if(STAGE_TABLE.begin(), STAGE_TABLE.end(), [word](const StageInfo& s) {
      return word == s.key || word == s.trace_name;
    });
    if (word == "none") {
      throw std::invalid_argument("--stages " + std::string(list) + ": none runs no stage and "
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
