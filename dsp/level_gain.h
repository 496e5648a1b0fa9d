// The level detector and gain law shared by the level-driven gain blocks: the dynamics stage's
// main compressor, pre-expander and post-expander, and the equalizer stage's compander (the
// equalizer's limiter shares the dB-to-gain chain). Levels are dB in Q7 (128 per dB, 0 dB = full
// scale), slopes and fixed gains Q11 (2048 = 1.0), coefficients and smoothed gains Q15.
#pragma once

#include <array>
#include <cstdint>

namespace halvern {

// A compressor/expander block: the dynamics stage's post-expander and the equalizer's compander.
struct CompanderBlock {
  int16_t level_attack;    // Q15, level smoothing coefficient when the level rises
  int16_t level_release;   // Q15, level smoothing coefficient otherwise
  int16_t gain_attack;     // Q15, gain smoothing coefficient when the gain falls
  int16_t gain_release;    // Q15, gain smoothing coefficient otherwise
  int16_t comp_threshold;  // dB Q7, the compressor acts above it
  int16_t exp_threshold;   // dB Q7, the expander acts at and below it
  int16_t comp_slope;      // Q11, 1 - 1/R
  int16_t exp_slope;       // Q11, 1 - R (not above 0)
  int16_t offset_db;       // dB Q7, added to the curve and taken off again; always 0
  int16_t out_gain;        // Q11, factor applied after the gain; always 2048
  int16_t level;           // dB Q7, smoothed level (state)
  int16_t gain;            // Q15, smoothed gain (state)
};

// The defaults of a CompanderBlock: 29789, 21845, 29789, 21845, -1664, -7680, 1807, -6144, 0,
// 2048, level 0, gain 0.
CompanderBlock compander_block_defaults();

// Compressor slope 2048 x (1 - 2/k) rounded down, for k = ratio setting / 5 in 2..20 (k
// outside that range is taken as the nearest bound).
int16_t comp_slope_q11(int k);

// Expander slope 2048 - 1024 k, for k = ratio setting / 5 in 2..20 (k outside that range is
// taken as the nearest bound).
int16_t exp_slope_q11(int k);

// Weights of the 10-sample gain ramp: i/10 in Q15, truncated, with 1 in place of 0.
inline constexpr std::array<int16_t, 10> RAMP10_Q15 = {1,     3276,  6553,  9830,  13107,
                                                       16384, 19660, 22937, 26214, 29491};

// How frame_level_db turns the frame energy into a mean.
enum class MeanRule {
  kDivideByLength,  // exact division by the frame length (the main compressor)
  kReciprocal,      // multiplication by a Q15 reciprocal given by the caller
};

// Above this frame_level_db's energy accumulator is halved, and every later square counts half as
// much.
inline constexpr int32_t FRAME_ENERGY_LIMIT = 0x40000000;

// The frame energy as a mean in dB Q7, from the energy accumulator acc and the block exponent s
// (each square was taken down by 2^s) that frame_level_db's summation leaves.
int16_t level_from_energy(int32_t acc, int s, int n, MeanRule rule, int16_t rho);

// The level of the n samples of x (n > 0) in dB Q7: -11944 for silence, 0 for a full-scale
// square wave, about 10 log10(mean(x^2) / 2^30) dB in general. rho is the Q15 reciprocal used
// with MeanRule::kReciprocal (ignored otherwise).
int16_t frame_level_db(const int16_t* x, int n, MeanRule rule, int16_t rho);

// One smoothing step toward target with the Q15 coefficient c:
// round_fx(L_mac(L_mult(target, c), sub(32767, c), state)).
int16_t smooth_q15(int16_t target, int16_t state, int16_t c);

// Level smoothing: attack when the new level is above the stored one, release otherwise.
int16_t smooth_level(int16_t new_level, int16_t stored, int16_t attack, int16_t release);

// Gain smoothing: attack when the new gain is below the stored one, release otherwise.
int16_t smooth_gain(int16_t new_gain, int16_t stored, int16_t attack, int16_t release);

// 10^(d / 2560) in Q31 for a gain d in dB Q7 (below 0), through the Q7 base-10 logarithm
// t = mult(d, 1638) and Pow2: the value that gain_from_db rounds and the limiter truncates.
// Pow2 does not shift non-negative exponents, so d = 0 gives about 0.5, not 1.0: callers treat
// a gain of 0 dB as 32767 before they get here.
int32_t db_to_gain_q31(int16_t d);

// The linear Q15 gain of d dB Q7 (not above 0): 32767 for d = 0, else round_fx(db_to_gain_q31(d)).
int16_t gain_from_db(int16_t d);

// seg(T, K): round_fx(L_shl(L_mult(sub(T, level), K), 4)), the distance of level below the
// threshold T times the Q11 slope K, in dB Q7.
int16_t curve_segment(int16_t threshold, int16_t slope, int16_t level);

// Applies the gain to the n samples of x in place: the first m samples move from g0 to g1 along
// the weights w[0..m-1], the rest take g1; then, when out_gain is given (Q11), each sample is
// multiplied by it. m <= n (a larger m is taken as n).
void apply_ramped_gain(int16_t* x, int n, int16_t g1, int16_t g0, const int16_t* w, int m,
                       const int16_t* out_gain);

// apply_ramped_gain with the saturating operators one sample at a time: the same samples for
// every input. apply_ramped_gain takes it for weights its closed form does not cover.
void apply_ramped_gain_saturating(int16_t* x, int n, int16_t g1, int16_t g0, const int16_t* w,
                                  int m, const int16_t* out_gain);

// The level and gain pieces a stage runs: the fast forms in the program, the straightforward
// ones in the reference engine.
struct LevelGainForms {
  int16_t (*frame_level_db)(const int16_t* x, int n, MeanRule rule, int16_t rho);
  void (*apply_ramped_gain)(int16_t* x, int n, int16_t g1, int16_t g0, const int16_t* w, int m,
                            const int16_t* out_gain);
};
inline constexpr LevelGainForms LEVEL_GAIN_FAST = {&frame_level_db, &apply_ramped_gain};

// round_fx(L_shl(L_mult(x, g), 4)), the product of a sample and a Q11 gain, in the closed form
// sat16((x g + 1024) >> 11), which is equal for every 16-bit x and g (level_gain.cpp shows why).
constexpr int16_t q11_gain(int16_t x, int16_t g) {
  const int32_t r = (int32_t{x} * g + 1024) >> 11;
  return static_cast<int16_t>(r > 32767 ? 32767 : (r < -32768 ? -32768 : r));
}

// mult_r(x, g) = sat16((x g + 16384) >> 15), with the one bound that can be passed
// (level_gain.cpp).
constexpr int16_t q15_product_r(int16_t x, int16_t g) {
  const int32_t r = (int32_t{x} * g + 16384) >> 15;
  return static_cast<int16_t>(r > 32767 ? 32767 : r);
}

// x g in place for the n samples of x with the Q11 gain g, by q11_gain (nothing to do for 2048).
void apply_q11_gain(int16_t* x, int n, int16_t g);

}  // namespace halvern
