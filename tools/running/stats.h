// The statistics of a run: level figures of the signal at the input and after each enabled
// stage, what the dynamics, the limiter and the peak suppressor did, and the run's size and
// speed. stats_to_json gives the --stats file, stats_summary the text on screen.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/observer.h"
#include "stages/suppressor/suppressor.h"

namespace halvern::tools {

// Level figures of a signal, from exact integer sums. Full scale is 32768: a sample of -32768
// is 0 dBFS, a full-scale square wave has an RMS of 0 dBFS.
struct SignalStats {
  int64_t samples = 0;
  int32_t peak = 0;          // largest magnitude, 0 to 32768
  int64_t sum = 0;           // of the samples
  uint64_t sum_squares = 0;  // of the squares of the samples
  int64_t clipped = 0;       // samples at full scale: 32767 or -32768

  void add(const int16_t* x, int n);
  double peak_dbfs() const;     // -infinity for silence
  double rms_dbfs() const;      // -infinity for silence
  double crest_factor() const;  // peak / RMS, 0 for silence
  double dc() const;            // mean sample / 32768
};

// The signal at one position of the chain.
struct PositionStats {
  bool enabled = false;  // the input always; a stage when it ran
  SignalStats signal;
  int64_t changed_frames = 0;  // frames that differ from the frame before the stage
};

// The level control of the dynamics stage, read at the end of every frame. Its gain is the
// smoothed gain times the makeup factor; the segment of its curve is the one the smoothed level
// lies in: compression above the compressor threshold, boost between the expander and the boost
// thresholds (with a makeup gain), expansion at and below the expander threshold.
struct DynamicsStats {
  bool enabled = false;
  double gain_db_min = 0;
  double gain_db_mean = 0;
  double gain_db_max = 0;
  int64_t frames_compression = 0;
  int64_t frames_boost = 0;
  int64_t frames_expansion = 0;
};

// The equalizer's peak limiter, read at the end of every frame: a frame counts when its gain
// lies more than 0.01 dB below unity.
struct LimiterStats {
  bool enabled = false;
  int64_t frames_limiting = 0;
  double deepest_reduction_db = 0;  // the lowest gain, in dB (0 or less)
};

inline constexpr double LIMITING_FLOOR_DB = -0.01;

// The peak suppressor's band marks at the end of every frame.
struct SuppressorStats {
  bool enabled = false;
  int64_t frames_marked = 0;                                 // frames with at least one marked band
  std::array<int64_t, SUPPRESSOR_BAND_COUNT> marks{};        // frames in which the band was marked
  std::array<int64_t, SUPPRESSOR_BAND_COUNT> longest_run{};  // longest run of marked frames
};

struct RunStats {
  int64_t samples = 0;  // processed: frames x 320
  int64_t frames = 0;
  int64_t dropped_samples = 0;  // a trailing partial frame, not processed
  double wall_seconds = 0;      // time in the engine and the observers
  std::array<PositionStats, CHAIN_POSITION_COUNT> positions{};
  DynamicsStats dynamics;
  LimiterStats limiter;
  SuppressorStats suppressor;

  double audio_seconds() const;
  double speed() const;  // audio seconds per wall second (0 when not timed)
};

// The name of a position in the statistics and the trace: "input", then the stage table's
// trace_name of the stage before it.
const char* position_name(ChainPosition position);

// The --stats document (figures of silence in dB are null).
nlohmann::ordered_json stats_to_json(const RunStats& stats);

// The summary for the screen: one table of the positions, one line per stage-specific figure.
std::string stats_summary(const RunStats& stats);

// What became of a trailing partial frame: "the last 123 samples (a partial frame) were dropped,
// as halvern-sim does; --pad keeps them". Empty when none was dropped.
std::string dropped_note(const RunStats& stats);

}  // namespace halvern::tools
