// Gain tables shared by the stages: the high-pass stage's gain and the equalizer stage's final
// gain.
#pragma once

#include <array>
#include <cstdint>

namespace halvern {

// Gains in Q11 for the indices -60 to 48 (entry index + 60), about 0.5 dB apart: index 0 is
// 2048 (0 dB), 48 is +24 dB; the low end lies increasingly below the exact decibel values.
inline constexpr std::array<int16_t, 109> HALF_DB_GAIN_Q11 = {
    56,    60,    64,    68,    73,    78,    83,    88,    94,    100,   106,   113,   120,
    128,   136,   145,   154,   164,   174,   185,   197,   209,   222,   236,   251,   266,
    282,   299,   317,   336,   356,   378,   401,   425,   451,   478,   507,   538,   570,
    604,   640,   679,   720,   763,   809,   857,   908,   962,   1020,  1081,  1146,  1215,
    1288,  1365,  1447,  1533,  1624,  1721,  1824,  1933,  2048,  2169,  2297,  2433,  2577,
    2729,  2890,  3061,  3242,  3434,  3637,  3852,  4080,  4321,  4577,  4848,  5135,  5439,
    5761,  6102,  6463,  6846,  7251,  7680,  8135,  8617,  9127,  9668,  10241, 10848, 11491,
    12172, 12893, 13657, 14466, 15323, 16231, 17193, 18212, 19291, 20434, 21645, 22928, 24287,
    25727, 27252, 28868, 30579, 32392};

// The gain for a setting in tenths of a decibel: clamped to -300..240, then the table entry at
// setting / 5 (truncated toward zero).
int16_t half_db_gain_q11(int16_t tenths_db);

}  // namespace halvern
