// High-pass stage: a second-order Butterworth high-pass chosen by cut-off frequency, then a gain.
#pragma once

#include <array>
#include <cstdint>

#include "engine/stage_header.h"
#include "engine/tuning.h"

namespace halvern {

struct HighPassContext {
  StageHeader header;
  int32_t b0, b1, b2, a1, a2;  // Q30 coefficients; a1, a2 carry the sign with which they are added
  int32_t x1;                  // previous input sample, Q21 (sample * 64)
  int32_t x2;                  // input sample before x1, Q21
  int32_t y1;                  // previous output state, Q21 (4 x high word of the accumulator)
  int32_t y2;                  // output state before y1, Q21
  uint32_t remainder;          // low 32 bits of the previous accumulator, fed into the next one
  int16_t gain;                // Q11 output gain (2048 = 1.0)
};

inline constexpr int HIGHPASS_ROWS = 17;

// Row 0 passes the signal; row k is a Butterworth high-pass at 50 k Hz for 16 kHz sampling
// (bilinear transform, K = tan(pi 50k / 16000), D = 1 + sqrt(2) K + K^2: b0 = b2 = 1/D,
// b1 = -2/D, a1 = 2 (1 - K^2) / D, a2 = -(1 - sqrt(2) K + K^2) / D), each times 2^30 rounded
// down. Columns b0, b1, b2, a1, a2.
inline constexpr std::array<std::array<int32_t, 5>, HIGHPASS_ROWS> HIGHPASS_COEFFS_16K = {{
    {1073741824, 0, 0, 0, 0},
    {1058936990, -2117873982, 1058936990, 2117669841, -1044336298},
    {1044336221, -2088672443, 1044336221, 2087866986, -1015736075},
    {1029936539, -2059873079, 1029936539, 2058085217, -987919117},
    {1015734914, -2031469830, 1015734914, 2028333824, -960864012},
    {1001728274, -2003456550, 1001728274, 1998621312, -934549963},
    {987913515, -1975827031, 987913515, 1968955449, -908956787},
    {974287508, -1948575017, 974287508, 1939343311, -884064897},
    {960847111, -1921694224, 960847111, 1909791329, -859855295},
    {947589178, -1895178357, 947589178, 1880305328, -836309561},
    {934510558, -1869021117, 934510558, 1850890571, -813409838},
    {921608110, -1843216221, 921608110, 1821551791, -791138826},
    {908878703, -1817757407, 908878703, 1792293227, -769479763},
    {896319223, -1792638448, 896319223, 1763118657, -748416414},
    {883926578, -1767853158, 883926578, 1734031428, -727933062},
    {871697699, -1743395400, 871697699, 1705034484, -708014490},
    {859629547, -1719259096, 859629547, 1676130396, -688645971},
}};

// Gains in Q11 for the indices -60 to 48 (entry index + 60), about 0.5 dB apart: index 0 is
// 2048 (0 dB), 48 is +24 dB; the low end lies increasingly below the exact decibel values.
// Shared with the equalizer stage's final gain.
inline constexpr std::array<int16_t, 109> HIGHPASS_GAIN_Q11 = {
    56,    60,    64,    68,    73,    78,    83,    88,    94,    100,   106,   113,
    120,   128,   136,   145,   154,   164,   174,   185,   197,   209,   222,   236,
    251,   266,   282,   299,   317,   336,   356,   378,   401,   425,   451,   478,
    507,   538,   570,   604,   640,   679,   720,   763,   809,   857,   908,   962,
    1020,  1081,  1146,  1215,  1288,  1365,  1447,  1533,  1624,  1721,  1824,  1933,
    2048,  2169,  2297,  2433,  2577,  2729,  2890,  3061,  3242,  3434,  3637,  3852,
    4080,  4321,  4577,  4848,  5135,  5439,  5761,  6102,  6463,  6846,  7251,  7680,
    8135,  8617,  9127,  9668,  10241, 10848, 11491, 12172, 12893, 13657, 14466, 15323,
    16231, 17193, 18212, 19291, 20434, 21645, 22928, 24287, 25727, 27252, 28868, 30579,
    32392};

// The gain for a setting in tenths of a decibel: clamped to -300..240, then the table entry at
// setting / 5 (truncated toward zero).
int16_t half_db_gain_q11(int16_t tenths_db);

// Defaults: pointers null, frame length 320, disabled, coefficients, memories and gain 0.
void highpass_reset(HighPassContext* ctx);

// Slot 1: cut-off in Hz, 0..800 in steps of 50 (outside that range: pass-through).
// Slot 2: gain in tenths of a decibel, clamped to -300..240.
void highpass_configure(HighPassContext* ctx, const TuningSlots& slots);

// Filters and amplifies one frame in place on the output. 0, or -1 for a null pointer.
int highpass_process(HighPassContext* ctx);

// The plain per-sample form of highpass_process, kept to check the fast form against: the same
// samples and memories for every input.
int highpass_process_reference(HighPassContext* ctx);

}  // namespace halvern
