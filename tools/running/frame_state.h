// The state of every stage at the end of a frame, as a tuning engineer reads it, and its rows in
// frames.csv. Fields hold the engine's fixed-point values; the CSV gives dB and plain units.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "engine/engine.h"

namespace halvern::tools {

struct FrameState {
  int64_t frame = 0;
  int16_t dyn_level = 0;     // dB Q7, the level control's smoothed level
  int16_t dyn_gain = 0;      // Q15, its smoothed gain, relative to the makeup gain
  int16_t dyn_makeup = 0;    // Q11, the makeup factor in force
  int16_t comp_level = 0;    // dB Q7, the equalizer compander's smoothed level
  int16_t comp_gain = 0;     // Q15, its smoothed gain
  int16_t limiter_gain = 0;  // Q15, the peak limiter's gain after the frame's last sample
  std::array<int16_t, SUPPRESSOR_BAND_COUNT> band_level{};  // level units (about 0.374 dB)
  std::array<int16_t, SUPPRESSOR_BAND_COUNT> band_mark{};   // 0, 1 or 2
  std::array<int16_t, SUPPRESSOR_BAND_COUNT> band_hold{};   // halves (10 ms)
  std::array<int16_t, SUPPRESSOR_BAND_COUNT> peak_flag{};   // 0 or 1
  int16_t dither_seed = 0;                                  // the random generator's state
  int16_t dither_direction = 0;                             // offset in force: -1, 0 or +1 step
};

FrameState capture_frame_state(const Engine& engine, int64_t frame);

// dB of the engine's fixed-point values: a Q7 level, a Q15 gain and a Q11 factor (a zero gain
// gives -infinity).
double q7_db(int16_t level);
double q15_db(int16_t gain);
double q11_db(int16_t factor);

// The header line of frames.csv and one row (each ends with a newline).
std::string frames_csv_header();
std::string frames_csv_row(const FrameState& state);

}  // namespace halvern::tools
