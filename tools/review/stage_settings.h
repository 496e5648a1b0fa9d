// The derived settings of each stage, read back from the engine's configured contexts and put in
// the tuning engineer's units (Hz, dB, dBFS, ms).
#pragma once

#include <string>
#include <vector>

#include "engine/engine.h"
#include "tools/review/tuning_review.h"

namespace halvern::tools {

// Every stage in chain order, enabled or not; the settings of the enabled ones. The engine has
// been reset, given the stage mask and configured.
std::vector<StageReview> stage_settings(const Engine& engine);

// The cut-off in Hz of the configured high-pass filter (row k of its table is the filter at
// 50 k Hz), or 0 when it passes the signal through.
int highpass_cutoff_hz(const HighPassContext& c);

// The time constant in ms of a per-frame Q15 smoothing coefficient (20 ms frames), or a negative
// value when the coefficient is 0 or below (the smoothed value never moves).
double smoothing_time_ms(int16_t coefficient);

// A number with the given decimals, without a trailing ".0" part ("-3", "1.5", "0.37").
std::string number_text(double value, int decimals);

}  // namespace halvern::tools
