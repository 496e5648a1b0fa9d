// Look-ahead peak limiter of the equalizer stage: a per-sample peak envelope, its level in dB, a
// gain that removes most of the level's excess over a threshold, and a short delay line so that
// the gain is already down when a peak leaves it. Levels are dB in Q7 (128 per dB, 0 dB = full
// scale), gains Q15, the output factor Q11.
#pragma once

#include <array>
#include <cstdint>

namespace halvern {

struct PeakLimiter {
  int16_t envelope;   // Q15, peak envelope: upper half of the 32-bit envelope (state)
  int16_t gain;       // Q15, smoothed gain (state)
  int16_t threshold;  // dB Q7, limiting starts above it (0 to -2560)
  int16_t slope;      // Q15, fraction of the excess level removed (30093 once configured)
  int16_t offset_db;  // dB Q7, taken off the threshold; always 0
  int16_t out_gain;   // Q11, factor applied to the limited signal (2048 = 1.0)
  // Derived from threshold and offset_db, not state: the smallest positive 32-bit envelope whose
  // level passes threshold - offset_db (2^31 when none does), and the threshold it was found
  // for; peak_limit finds it again whenever loud_known is false or the threshold differs.
  bool loud_known = false;
  int16_t loud_threshold = 0;
  int64_t loud_envelope = 0;
};

inline constexpr int16_t LIMITER_ATTACK_Q15 = 23379;       // 0.7135: magnitude above the envelope
inline constexpr int16_t LIMITER_RELEASE_Q15 = 14;         // 0.00043: magnitude at or below it
inline constexpr int16_t LIMITER_SILENCE_DB_Q7 = -11520;   // -90 dB, the level of a zero envelope
inline constexpr int16_t LIMITER_SLOPE_Q15 = 30093;        // 0.918: removes 91.8 % of the excess
inline constexpr int16_t LIMITER_INITIAL_GAIN_Q15 = 2048;  // 1/16, the gain before the first sample

// Q9 base-2 logarithm of a normalised mantissa: entry k - 64 is floor(512 log2(k / 128)) for
// k = 64..127 (from -512 for k = 64 to -6 for k = 127).
inline constexpr std::array<int16_t, 64> LIMITER_LOG2_MANTISSA_Q9 = {
    -512, -501, -490, -479, -468, -457, -446, -436, -425, -415, -405, -395, -386, -376, -366, -357,
    -348, -338, -329, -320, -312, -303, -294, -286, -277, -269, -261, -253, -244, -236, -229, -221,
    -213, -205, -198, -190, -183, -175, -168, -161, -154, -147, -140, -133, -126, -119, -112, -106,
    -99,  -93,  -86,  -80,  -73,  -67,  -61,  -54,  -48,  -42,  -36,  -30,  -24,  -18,  -12,  -6};

// One envelope step for the magnitude a (0..32767): attack when a is above the stored envelope,
// release otherwise. Updates *envelope to the upper half and returns the 32-bit envelope.
int32_t limiter_envelope_step(int16_t a, int16_t* envelope);

// 20 log10(E / 2^31) in dB Q7 for a 32-bit envelope E >= 0, by norm_l and the mantissa table;
// -11520 for E = 0.
int16_t limiter_level_db(int32_t E);

// The Q15 gain for an envelope level (dB Q7) against the threshold T: 32767 up to T, else the
// gain of the truncated excess times slope, by the dB-to-gain chain with a truncating last step.
int16_t limiter_gain(int16_t level, int16_t T, int16_t slope);

// Limits the n samples of x in place. The delay line holds delay_length entries (1 or more,
// *delay_index below delay_length); the output is the input delayed by delay_length - 1 samples.
// Updates the limiter's envelope and gain and *delay_index; all of it carries across calls.
void peak_limit(int16_t* x, int n, PeakLimiter* limiter, int16_t* delay, int16_t* delay_index,
                int16_t delay_length);

// peak_limit one sample at a time, with the saturating operators: the same samples, state and
// delay line for every input. It leaves the derived fields alone. peak_limit takes it for a delay
// line longer than its fast form handles.
void peak_limit_per_sample(int16_t* x, int n, PeakLimiter* limiter, int16_t* delay,
                           int16_t* delay_index, int16_t delay_length);

// The smallest envelope E >= 1 with limiter_level_db(E) > T, or 2^31 when there is none.
int64_t limiter_first_loud_envelope(int16_t T);

}  // namespace halvern
