// One run of the engine over a recording, with its statistics, and on request the signal at every
// position of the chain and the state rows of every frame: fed in blocks as the recording is read
// (JobRunner, run_stream), so that memory does not grow with its length, or over a recording in
// memory (run_job). It prints nothing and shares nothing: every run has its own engine, so jobs
// may run on several threads at once.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/observer.h"
#include "tools/io/audio_io.h"
#include "tools/running/frame_state.h"
#include "tools/running/stats.h"
#include "tuning/tuning.h"

namespace halvern::tools {

struct JobOptions {
  std::optional<int16_t> stage_mask;   // replaces slot 0 for this run
  bool keep_signals = false;           // fill JobResult::signals
  bool keep_frames = false;            // fill JobResult::frames
  EngineObserver* observer = nullptr;  // also told about every position and frame (a trace writer)
  // Called every few frames and after the last with the frames done and the frames in all (as
  // expected from the input's size when it is read in blocks: at least the frames done).
  std::function<void(int64_t done, int64_t total)> progress;
};

struct JobResult {
  std::vector<int16_t> output;  // run_job: one processed frame for every complete input frame
  RunStats stats;
  std::array<std::vector<int16_t>, CHAIN_POSITION_COUNT> signals;  // keep_signals: every position
  std::vector<FrameState> frames;                                  // keep_frames: one per frame
  std::vector<std::string> diagnostics;  // the engine's non-fatal arithmetic messages
};

// A run fed in blocks of any size. The engine is halvern-sim's: the outputs of process() put end
// to end are the samples run_job gives for the whole input, and the statistics are the same.
class JobRunner {
 public:
  // expected_frames: the total passed to the progress calls and the room kept signals and frame
  // rows reserve; -1 when unknown (no progress calls). Throws ArithmeticFault as the engine does.
  JobRunner(const TuningSlots& slots, const JobOptions& options = {}, int64_t expected_frames = -1);
  ~JobRunner();
  JobRunner(JobRunner&&) noexcept;
  JobRunner& operator=(JobRunner&&) noexcept;

  // Appends to *out the processed samples of every frame that in completes; the samples of a
  // frame not yet complete wait for the next call. Throws ArithmeticFault as the engine does.
  void process(std::span<const int16_t> in, std::vector<int16_t>* out);
  // Ends the run: a partial frame left waiting is counted in stats.dropped_samples. The result's
  // output is empty (it went out through process()).
  JobResult finish();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// All of reader through a new engine configured from slots, in blocks; every block of processed
// samples goes to sink as soon as it is made. Throws ToolError (reading), what sink throws, and
// ArithmeticFault as the engine does.
JobResult run_stream(AudioReader& reader, const TuningSlots& slots, const JobOptions& options,
                     const std::function<void(std::span<const int16_t>)>& sink);

// Runs the input's complete frames through a new engine configured from slots; a trailing
// partial frame is counted in stats.dropped_samples. Throws ArithmeticFault as the engine does.
JobResult run_job(const std::vector<int16_t>& input, const TuningSlots& slots,
                  const JobOptions& options = {});

// The stage mask of a list such as "hp,dyn,eq,sup,dither" (also "none", alone). Throws
// std::invalid_argument naming the unknown stage, for an empty list and for none among stages.
int16_t parse_stage_list(std::string_view list);

// The --stages list of a stage mask: "hp,dyn,eq", or "none".
std::string stage_names(int16_t mask);

// The --stages keys of the stage table in chain order, separated by ", " but the last, which
// last_separator separates: "hp, dyn, eq, sup and dither" for " and ".
std::string stage_keys(std::string_view last_separator);

}  // namespace halvern::tools
