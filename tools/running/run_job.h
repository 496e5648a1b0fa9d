// One run of the engine over a recording in memory, with its statistics, and on request the
// signal at every position of the chain and the state rows of every frame. It prints nothing and
// shares nothing: every call has its own engine, so jobs may run on several threads at once.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/observer.h"
#include "tools/running/frame_state.h"
#include "tools/running/stats.h"
#include "tuning/tuning.h"

namespace halvern::tools {

struct JobOptions {
  std::optional<int16_t> stage_mask;  // replaces slot 0 for this run
  bool keep_signals = false;          // fill JobResult::signals
  bool keep_frames = false;           // fill JobResult::frames
  EngineObserver* observer = nullptr;  // also told about every position and frame (a trace writer)
  // Called every few frames and after the last with the frames done and the frames in all.
  std::function<void(int64_t done, int64_t total)> progress;
};

struct JobResult {
  std::vector<int16_t> output;  // one processed frame for every complete input frame
  RunStats stats;
  std::array<std::vector<int16_t>, CHAIN_POSITION_COUNT> signals;  // keep_signals: every position
  std::vector<FrameState> frames;                                  // keep_frames: one per frame
  std::vector<std::string> diagnostics;  // the engine's non-fatal arithmetic messages
};

// Runs the input's complete frames through a new engine configured from slots; a trailing
// partial frame is counted in stats.dropped_samples. Throws ArithmeticFault as the engine does.
JobResult run_job(const std::vector<int16_t>& input, const TuningSlots& slots,
                  const JobOptions& options = {});

// The stage mask of a list such as "hp,dyn,eq,sup,dither" (also "none", alone). Throws
// std::invalid_argument naming the unknown stage, for an empty list and for none among stages.
int16_t parse_stage_list(std::string_view list);

// The --stages keys of the stage table in chain order, separated by ", " but the last, which
// last_separator separates: "hp, dyn, eq, sup and dither" for " and ".
std::string stage_keys(std::string_view last_separator);

}  // namespace halvern::tools
