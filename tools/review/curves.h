// What a tuning means, measured rather than derived: each curve comes from running the
// fixed-point stages themselves on test tones and measuring what comes out.
//
// Levels are RMS levels in dBFS as the engine and `halvern run` measure them: 0 dBFS is the RMS
// of a full-scale square wave, so a full-scale sine reads -3.01 dBFS.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tuning/tuning.h"

namespace halvern::tools {

inline constexpr double CURVE_SAMPLE_RATE = 16000.0;
// The tone of the level curves: 1 kHz fits 20 whole periods into every 20 ms frame, so every
// frame of the tone measures the same level and the stages settle to one steady state.
inline constexpr double LEVEL_TONE_HZ = 1000.0;

// One static input/output level curve: out_db[i] is the settled output level for a steady tone
// whose level is in_db[i].
struct LevelCurve {
  std::vector<double> in_db;
  std::vector<double> out_db;
};

// One magnitude response: gain_db[i] is the gain measured on a steady tone at hz[i].
struct MagnitudeResponse {
  std::vector<double> hz;
  std::vector<double> gain_db;
};

// One band of the peak suppressor as the tuning configures it.
struct SuppressorBandCurve {
  double first_hz;      // centre of the lowest bin of the band
  double last_hz;       // centre of the highest bin of the band
  int threshold;        // level units the band's peak-to-floor level must exceed to be marked
  double threshold_db;  // the same in dB of power
};

struct SuppressorCurve {
  std::vector<SuppressorBandCurve> bands;
  double mark1_gain_db;  // gain of the bins of a marked band
  double mark2_gain_db;  // gain of the bins of a strongly marked band
  double rest_gain_db;   // gain of the other bins while any band is marked
};

// Every curve of a tuning. A curve is empty (std::nullopt) only when the tuning cannot be run at
// all; the reason is then in error.
struct TuningCurves {
  std::optional<LevelCurve> dynamics;  // the dynamics stage
  std::optional<LevelCurve>
      compander_limiter;       // equalizer with flat taps: compander, limiter, final gain
  MagnitudeResponse highpass;  // the high-pass stage: filter and gain
  MagnitudeResponse fir;       // the equalizer's FIR alone
  SuppressorCurve suppressor;
  std::string error;
};

// The peak levels of the level-curve tones: -90 to 0 dBFS peak in 1 dB steps (a sine at 0 dBFS
// peak just reaches full scale and has an RMS level of -3.01 dBFS).
std::vector<double> level_curve_peak_grid();

// The frequencies of the magnitude responses: 12 per octave from 20 Hz up to 8 kHz, with 8 kHz
// itself as the last one.
std::vector<double> response_grid();

// A sine of the given peak level (dBFS peak, 0 = full scale) and frequency, rounded to 16 bits.
std::vector<int16_t> tone(double peak_dbfs, double hz, size_t samples);

// RMS level of samples in dBFS (0 = full-scale square); -200 for silence.
double rms_dbfs(const int16_t* x, size_t n);

// The gain of a system at hz, from its input and output: the amplitude of the hz component that
// a least-squares fit finds in the output over the amplitude it finds in the input, in dB.
double tone_gain_db(const std::vector<int16_t>& in, const std::vector<int16_t>& out, double hz);

// The static level curve of the dynamics stage under these slots (stage mask ignored): for each
// tone of the grid, run the stage until the output level has settled and measure it. Throws
// ArithmeticFault when the tuning's dynamics settings cannot be configured.
LevelCurve dynamics_level_curve(const TuningSlots& slots);

// The same for the equalizer stage with its FIR made flat: the compander, the limiter and the
// final gain together.
LevelCurve compander_limiter_level_curve(const TuningSlots& slots);

// The magnitude response of the high-pass stage (filter and stage gain) and of the equalizer's
// FIR alone, measured on tones of response_grid().
MagnitudeResponse highpass_response(const TuningSlots& slots);
MagnitudeResponse fir_response(const TuningSlots& slots);

// The suppressor's bands, thresholds and gains as its configuration sets them.
SuppressorCurve suppressor_bands(const TuningSlots& slots);

// All of the above.
TuningCurves tuning_curves(const TuningSlots& slots);

}  // namespace halvern::tools
