// Dynamics stage: optional pre-expander, fixed input gain, automatic level control (compressor,
// boost of quiet signals up to a makeup gain, expander), fixed output gain, optional
// post-expander. Levels are dB in Q7 (128 per dB, 0 dB = full scale), slopes and fixed gains Q11
// (2048 = 1.0), smoothing coefficients and smoothed gains Q15.
#pragma once

#include <array>
#include <cstdint>

#include "dsp/level_gain.h"
#include "frame/stage_header.h"
#include "tuning/tuning.h"

namespace halvern {

// The main level control. Its static curve, over the smoothed level L:
//   L > T1:       compression, 0 dB at T1 falling with comp_slope (1 - 1/R);
//   T2 < L <= T1: 0 dB;
//   T3 < L <= T2: a ramp from 0 dB at T2 up to the makeup gain at T3;
//   T4 < L <= T3: the makeup gain;
//   L <= T4:      the makeup gain less the expansion (exp_slope, 1 - R).
struct MainCompressor {
  int16_t level_attack;          // Q15, level smoothing coefficient when the level rises
  int16_t level_release;         // Q15, level smoothing coefficient otherwise
  int16_t gain_attack;           // Q15, gain smoothing coefficient when the gain falls
  int16_t gain_release;          // Q15, gain smoothing coefficient otherwise
  int16_t comp_threshold;        // dB Q7, T1: the compressor acts above it
  int16_t boost_threshold;       // dB Q7, T2: the boost ramp starts below it
  int16_t full_boost_threshold;  // dB Q7, T3: the full makeup gain applies at and below it
  int16_t exp_threshold;         // dB Q7, T4: the expander acts at and below it
  int16_t comp_slope;            // Q11, 1 - 1/R
  int16_t flat_slope;            // Q11, slope between T2 and T1; always 0
  int16_t boost_slope;           // Q11, slope of the boost ramp, makeup_db / (T2 - T3)
  int16_t exp_slope;             // Q11, 1 - R (not above 0)
  int16_t makeup_db;             // dB Q7, makeup gain G, 0 to 18 dB
  int16_t makeup_gain;           // Q11, the makeup gain as a factor, 10^(G / 20)
  int16_t level;                 // dB Q7, smoothed level (state)
  int16_t gain;                  // Q15, smoothed gain relative to the makeup gain (state)
  int16_t makeup_gain_prev;      // Q11, makeup factor for the current frame (state)
};

// The expander that runs first, on the unsmoothed frame level.
struct PreExpander {
  int16_t gain_attack;   // Q15, gain smoothing coefficient when the gain falls
  int16_t gain_release;  // Q15, gain smoothing coefficient otherwise
  int16_t threshold;     // dB Q7, the expander acts at and below it
  int16_t slope;         // Q11, 1 - R
  int16_t gain;          // Q15, smoothed gain (state)
};

struct DynamicsContext {
  StageHeader header;
  int16_t input_gain_q11;          // Q11, fixed gain before the main level control
  int16_t output_gain_q11;         // Q11, fixed gain after the main level control
  int16_t mode;                    // bit 0: run the pre-expander; bit 1: the post-expander
  MainCompressor main_compressor;  // the main level control
  PreExpander pre_expander;        // runs first when mode bit 0 is set
  CompanderBlock post_expander;    // runs last when mode bit 1 is set; expander branch only
};

inline constexpr int16_t DYNAMICS_MODE_PRE_EXPANDER = 1 << 0;
inline constexpr int16_t DYNAMICS_MODE_POST_EXPANDER = 1 << 1;

// Gains in Q11 for -30 to +23 dB in 1 dB steps, indexed by dB + 30. Stored values, near but not
// equal to 2048 x 10^(dB / 20) (-30 dB is 60, not 65); they are used as they stand.
inline constexpr std::array<int16_t, 54> DYNAMICS_GAIN_Q11 = {
    60,   68,   77,    87,    98,    111,   125,   141,   159,   179,   201,   226,  254,  285,
    320,  360,  404,   454,   510,   573,   644,   723,   812,   912,   1024,  1150, 1291, 1449,
    1626, 1825, 2048,  2297,  2577,  2891,  3243,  3638,  4081,  4578,  5136,  5762, 6464, 7252,
    8136, 9128, 10241, 11490, 12891, 14463, 16227, 18206, 20427, 22919, 25715, 28852};

// Makeup factors in Q11 for 0 to 18 dB: floor(2048 x 10^(v / 20) + 0.5).
inline constexpr std::array<int16_t, 19> MAKEUP_GAIN_Q11 = {
    2048, 2298, 2578, 2893, 3246,  3642,  4086,  4585,  5144, 5772,
    6476, 7267, 8153, 9148, 10264, 11517, 12922, 14499, 16268};

// Smoothing coefficient for a setting k = 0..130 (a slot value / 10), Q15:
// k <= 100: min(32767, floor(32768 / (k + 1) + 0.5)), a time constant of k + 1 frames;
// k >= 101: floor(32768 / (10 k - 899) + 0.5).
constexpr int16_t smoothing_coeff(int k) {
  const int divisor = k <= 100 ? k + 1 : 10 * k - 899;
  const int rounded = (2 * 32768 + divisor) / (2 * divisor);  // floor(32768 / divisor + 0.5)
  return static_cast<int16_t>(rounded > 32767 ? 32767 : rounded);
}

// The main compressor's gain in dB Q7 for a smoothed level, relative to the makeup gain (so at
// most 0): the first row of the curve whose condition holds; a level equal to a threshold
// belongs to the segment below it.
int16_t main_gain_db(const MainCompressor& c, int16_t level);

// The main gain in place: each sample under the Q15 gain, then the Q11 makeup factor m, with
// rounding and saturation after each; when g1 differs from g0 the sample is the crossfade of its
// values under g0 and g1, the weight of g0 starting at 32767 and falling by step (>= 0) per sample
// down to 0. apply_main_gain_saturating is the same with the saturating operators one by one,
// which apply_main_gain takes for a negative step or an over-long frame; both give the same
// samples for every input.
void apply_main_gain(int16_t* x, int n, int16_t g1, int16_t g0, int16_t m, int16_t step);
void apply_main_gain_saturating(int16_t* x, int n, int16_t g1, int16_t g0, int16_t m, int16_t step);

// The pieces the stage runs: the fast forms in the program, the straightforward ones in the
// reference engine.
struct DynamicsForms {
  LevelGainForms level_gain;
  void (*apply_main_gain)(int16_t* x, int n, int16_t g1, int16_t g0, int16_t m, int16_t step);
};
inline constexpr DynamicsForms DYNAMICS_FAST = {LEVEL_GAIN_FAST, &apply_main_gain};

// Defaults of every field: pointers null, frame length 320, disabled; main compressor level
// -40 dB, gain 32767 and both makeup factors 2048; pre-expander gain 2048; the post-expander
// a CompanderBlock with its defaults; everything else 0.
void dynamics_reset(DynamicsContext* ctx);

// Settings from slots 3 to 21, applied once after reset. Out-of-range slots are clamped or leave
// their step's fields unchanged. Throws ArithmeticFault (through div_s) when the full-boost
// threshold (slot 8) lies above the boost threshold (slot 7).
void dynamics_configure(DynamicsContext* ctx, const TuningSlots& slots);

// One frame, under the stage contract (stage_header.h); dynamics_process_with runs it on the
// given forms of the pieces.
int dynamics_process(DynamicsContext* ctx);
int dynamics_process_with(DynamicsContext* ctx, const DynamicsForms& forms);

}  // namespace halvern
