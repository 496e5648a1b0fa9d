// What a tuning buys against feedback: the maximum stable gain (MSG) of the closed loop found by
// bisection, with the tuning as it is and with the peak suppressor off, their difference (the
// added stable gain, ASG), the Nyquist MSG of the bare path for comparison, and the log-spectral
// distance of the loudspeaker signal at a gain below howl; and the same figures over a range of
// gains. The runs go on several threads; the results do not depend on how many.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/loop/closed_loop.h"

namespace halvern::tools {

inline constexpr double MSG_STEP_DB = 0.1;       // the bisection's resolution
inline constexpr double LSD_BELOW_MSG_DB = 3.0;  // the distortion is measured this far below MSG

// Everything a run of the loop needs but its gain and stages.
struct LoopInputs {
  const PartitionedPath* path = nullptr;
  const std::vector<int16_t>* source = nullptr;
  const TuningSlots* slots = nullptr;
  int64_t tail_frames = 0;
};

// The largest gain on the grid min_db + 0.1 k (up to max_db) at which the loop is stable, by
// bisection: the loop is taken as stable below MSG and howling above it. stable_at_max: the loop
// did not howl even at max_db (msg_db is then max_db); howls_at_min: it howled at min_db already
// (msg_db is then min_db and means "below").
struct MsgSearch {
  double msg_db = 0;
  bool howls_at_min = false;
  bool stable_at_max = false;
  int runs = 0;
};
MsgSearch search_msg(const LoopInputs& inputs, int16_t stage_mask, double min_db, double max_db);

struct LoopMeasurement {
  NyquistResult nyquist;
  bool suppressor_in_mask = false;  // else both searches are one, and the ASG is 0
  MsgSearch with_suppressor;
  MsgSearch without_suppressor;  // the stage mask without the suppressor
  double asg_db = 0;
  double lsd_gain_db = 0;  // MSG without the suppressor minus 3 dB
  SpectralDistance lsd;    // at lsd_gain_db, with the tuning's stages
  SpectralDistance lsd_without_suppressor;
  LoopSummary lsd_run;  // the run at lsd_gain_db with the tuning's stages
  LoopSummary lsd_run_without_suppressor;
  int runs = 0;
};

// The search with and without the suppressor (on two threads), then the two distortion runs.
// Throws ArithmeticFault as the engine does.
LoopMeasurement measure_loop(const LoopInputs& inputs, const NyquistResult& nyquist,
                             int16_t stage_mask, double min_db, double max_db);

// One run per gain, on up to `threads` threads, in the order of the gains.
struct SweepPoint {
  LoopSummary summary;
  SpectralDistance lsd;
};
std::vector<SweepPoint> sweep_gains(const LoopInputs& inputs, int16_t stage_mask,
                                    const std::vector<double>& gains_db, unsigned threads);

}  // namespace halvern::tools
