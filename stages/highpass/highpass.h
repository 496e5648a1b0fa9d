// High-pass stage: a second-order Butterworth high-pass chosen by cut-off frequency, then a gain.
#pragma once

#include <array>
#include <cstdint>

#include "dsp/gain_tables.h"
#include "frame/stage_header.h"
#include "tuning/tuning.h"

namespace halvern {

struct HighPassContext {
  StageHeader header;
  int32_t b0, b1, b2, a1, a2;  // Q30 coefficients; a1, a2 carry the sign with which they are added
  int32_t x1;                  // previous input sample, Q21 (sample * 64)
  int32_t x2;                  // input sample before x1, Q21
  int32_t y1;                  // previous output state, Q21 (4 x high word of the accumulator)
  int32_t y2;                  // output state before y1, Q21
  uint32_t remainder;          // low 32 bits of the previous accumulator, fed into the next one
  int16_t gain_q11;            // Q11 output gain (2048 = 1.0)
};

// The memories of the recursion, as the context holds them.
struct HighPassMemories {
  int32_t x1, x2, y1, y2;
  uint32_t remainder;
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

// Defaults: pointers null, frame length 320, disabled, coefficients, memories and gain 0.
void highpass_reset(HighPassContext* ctx);

// Slot 1: cut-off in Hz, 0..800 in steps of 50 (outside that range: pass-through).
// Slot 2: gain in tenths of a decibel, clamped to -300..240.
void highpass_configure(HighPassContext* ctx, const TuningSlots& slots);

// Filters and amplifies one frame, under the stage contract (stage_header.h).
int highpass_process(HighPassContext* ctx);

// The recursion over the n samples of x one sample at a time, exactly as the filter defines it:
// the high word of each 64-bit accumulator goes to high[], and m is updated. highpass_process
// takes it for the chunks its fast form declines.
void highpass_recursion_exact(const int16_t* x, int n, int32_t* high, const HighPassContext& c,
                              HighPassMemories* m);

}  // namespace halvern
