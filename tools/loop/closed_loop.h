// The closed acoustic loop: the engine's output, amplified, returns through the feedback path to
// the microphone it listens to. With n counting samples:
//   spk[n] = g out[n],  g = 10^(gain_db / 20)
//   mic[n] = sat16(round(source[n] + sum_m f[m] spk[n - 320 - m]))
// where out is the engine's output (frame k from mic frame k), the source is followed by a silent
// tail, round() takes halves away from zero and sat16 clips to -32768..32767. The sum is computed
// in double precision, frame by frame in the frequency domain (PathConvolution); it equals the
// direct sum to about 1e-12 of its size, so a sample can differ from a direct computation only
// where the exact sum lies that close to a half. Same inputs, same bytes (on one build).
//
// Stability, judged on 100 ms windows (5 frames) of the signals' RMS levels in dBFS. The loop
// howls when any of these shows, from the start of the first window where one does:
// - over the source, the microphone lies 20 dB or more above the source in a window where the
//   source is active (within 30 dB of its loudest window): a howl drowns the talker;
// - over the tail (windows counted from its start), the loudspeaker rises to -60 dBFS or above
//   and 20 dB or more above the quietest window before: a howl builds up again, for instance
//   once the suppressor lets go;
// - the loudest loudspeaker window of the tail's last third lies at -60 dBFS or above and less
//   than 1 dB below the loudest of its middle third: the ringing does not die away. The howl
//   then runs without a break from the start of the window after the last one more than 10 dB
//   below the quietest window of the tail's last third.
// Otherwise the loop is stable: its ringing dies away.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "stages/suppressor/suppressor.h"
#include "tools/loop/feedback_path.h"
#include "tuning/tuning.h"

namespace halvern::tools {

inline constexpr int STABILITY_WINDOW_FRAMES = 5;  // 100 ms
inline constexpr double HOWL_FLOOR_DBFS = -60.0;   // a tail this quiet is stable
inline constexpr double STABLE_DECAY_DB = 1.0;     // from the middle third to the last
inline constexpr double REGROWTH_DB = 20.0;        // a rise this large is a howl building up
inline constexpr double ONSET_RANGE_DB = 10.0;
inline constexpr double MIC_EXCESS_DB = 20.0;    // the microphone above the active source
inline constexpr double ACTIVE_RANGE_DB = 30.0;  // active source windows, below the loudest
inline constexpr int MIN_TAIL_FRAMES = 6 * STABILITY_WINDOW_FRAMES;

// The default tail: 2 s and four times the loop's round trip through the path (path length plus
// 320 samples), in whole frames.
int64_t default_tail_frames(size_t path_taps);

struct LoopSettings {
  double gain_db = 0;
  int16_t stage_mask = 0;  // the stages that run (replaces slot 0)
  int64_t tail_frames = 0;
};

// Peak and RMS in dBFS (full scale 32768; -infinity for silence).
struct SignalLevels {
  double peak_dbfs = 0;
  double rms_dbfs = 0;
};

struct LoopSummary {
  double gain_db = 0;
  int64_t source_frames = 0;  // then the tail
  int64_t frames = 0;
  bool howl = false;
  double howl_onset_s = 0;  // when howl
  SignalLevels source, mic, speaker;
  int64_t mic_clipped = 0;  // microphone samples at -32768 or 32767
  bool suppressor_on = false;
  int64_t frames_marked = 0;  // frames with at least one band marked at their end
  std::array<int64_t, SUPPRESSOR_BAND_COUNT> band_marks{};  // frames each band was marked
  double wall_seconds = 0;
};

struct LoopRun {
  LoopSummary summary;
  std::vector<int16_t> mic;              // source frames and tail
  std::vector<int16_t> output;           // the engine's output; the loudspeaker plays gain x output
  std::vector<std::string> diagnostics;  // the engine's non-fatal arithmetic messages
};

// Runs the loop over the source's whole frames (a trailing partial frame is ignored) and the
// tail, with a new engine configured from slots. Throws ArithmeticFault as the engine does. Any
// number of runs may share one path on several threads.
LoopRun run_loop(const PartitionedPath& path, const std::vector<int16_t>& source,
                 const TuningSlots& slots, const LoopSettings& settings);

// The decision above on the energies (sums of squares) of each frame: the loudspeaker signal
// (gain x output) and the microphone over the whole run, the source over its frames.
struct FrameEnergies {
  int64_t source_frames = 0;
  std::vector<double> speaker;
  std::vector<double> mic;
  std::vector<double> source;
};
struct StabilityVerdict {
  bool howl = false;
  double onset_s = 0;  // when howl
};
StabilityVerdict judge_stability(const FrameEnergies& energies);

// The log-spectral distance in dB between the source and the loudspeaker signal (the engine's
// output, over the source's frames and the tail), matched in delay and level:
// - delay: the lag from 0 to 319 samples with the largest cross-correlation (the engine delays by
//   at most 142 samples; the loop's echoes come 320 samples or more later);
// - level: one gain giving the delayed output the source's energy over the active frames;
// - frames of 512 samples, Hann window, hop 256, active where the source's frame energy is within
//   40 dB of its loudest frame; per frame the RMS over bins 1 to 255 of the difference of
//   10 log10(power + floor) per bin, the floor 50 dB below the source frame's strongest of those
//   bins (the distance of what is heard, not of spectral holes filled at -80 dB); the mean over
//   the active frames. NaN when no frame is active.
struct SpectralDistance {
  double lsd_db = 0;
  int64_t delay_samples = 0;
  double level_db = 0;  // the gain given to the output to match the source
  int64_t active_frames = 0;
};
SpectralDistance log_spectral_distance(const std::vector<int16_t>& source,
                                       const std::vector<int16_t>& output);

}  // namespace halvern::tools
