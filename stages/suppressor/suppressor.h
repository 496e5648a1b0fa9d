// Peak suppressor: on each 160-sample half of the frame, a 256-point frequency-domain stage that
// marks the bands whose spectrum holds a sharp peak standing well above the band's floor, lowers
// the bins of those bands to the configured gains (and the rest of the spectrum to -3 dB while
// any band is marked), and lets the gains return towards unity in halves without marked bands.
// The stage delays the signal by 96 samples.
#pragma once

#include <array>
#include <cstdint>

#include "fixedpoint/basic_ops.h"
#include "fixedpoint/diagnostics.h"
#include "frame/stage_header.h"
#include "tuning/slot_catalogue.h"

namespace halvern {

inline constexpr int SUPPRESSOR_HALF = 160;    // samples per call of peak_suppressor_process_half
inline constexpr int SUPPRESSOR_OVERLAP = 96;  // samples kept from one half for the next block
inline constexpr int SUPPRESSOR_BLOCK = 256;   // samples per analysis block (96 old + 160 new)
inline constexpr int SUPPRESSOR_BINS = 128;    // frequency bins of a block; bin k is k/256 of fs
inline constexpr int SUPPRESSOR_BAND_COUNT = 14;
inline constexpr int SUPPRESSOR_LSF_COUNT = 10;  // line spectral frequencies per block

// One band of bins, both ends included.
struct SuppressorBand {
  int16_t first;  // lowest bin of the band
  int16_t last;   // highest bin of the band
};

// Band b covers bins 1 + 8b to 23 + 8b: 23 bins each, neighbours overlapping by 15 bins. Bin 0
// lies in no band; every other bin lies in one to three bands.
inline constexpr std::array<SuppressorBand, SUPPRESSOR_BAND_COUNT> SUPPRESSOR_BANDS = {{
    {1, 23},
    {9, 31},
    {17, 39},
    {25, 47},
    {33, 55},
    {41, 63},
    {49, 71},
    {57, 79},
    {65, 87},
    {73, 95},
    {81, 103},
    {89, 111},
    {97, 119},
    {105, 127},
}};

// Analysis and synthesis window, Q15. Entries 0 to 95 are floor(32768 sin(pi (k + 1) / 194)),
// entries 96 to 159 are 32767 and entries 160 to 255 mirror the rising part (entry[255 - k]).
// The rising and falling parts are power-complementary (w[k]^2 + w[k + 160]^2 ~ 32768^2), so
// windowing twice and overlap-adding by 96 samples gives back the input.
inline constexpr std::array<int16_t, SUPPRESSOR_BLOCK> SUPPRESSOR_WINDOW = {
    530,   1061,  1591,  2121,  2650,  3178,  3706,  4233,  4758,  5283,  5806,  6327,  6847,
    7365,  7881,  8395,  8907,  9416,  9923,  10428, 10929, 11428, 11924, 12417, 12906, 13392,
    13875, 14353, 14829, 15300, 15767, 16230, 16689, 17143, 17593, 18039, 18479, 18915, 19346,
    19772, 20192, 20607, 21017, 21421, 21820, 22213, 22600, 22982, 23357, 23726, 24089, 24445,
    24795, 25139, 25476, 25807, 26130, 26447, 26757, 27059, 27355, 27644, 27925, 28199, 28465,
    28725, 28976, 29220, 29456, 29685, 29906, 30119, 30324, 30521, 30710, 30891, 31064, 31229,
    31385, 31534, 31674, 31806, 31929, 32044, 32151, 32249, 32339, 32420, 32493, 32557, 32613,
    32660, 32699, 32729, 32750, 32763, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767,
    32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767,
    32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767,
    32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767,
    32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767,
    32767, 32767, 32767, 32767, 32763, 32750, 32729, 32699, 32660, 32613, 32557, 32493, 32420,
    32339, 32249, 32151, 32044, 31929, 31806, 31674, 31534, 31385, 31229, 31064, 30891, 30710,
    30521, 30324, 30119, 29906, 29685, 29456, 29220, 28976, 28725, 28465, 28199, 27925, 27644,
    27355, 27059, 26757, 26447, 26130, 25807, 25476, 25139, 24795, 24445, 24089, 23726, 23357,
    22982, 22600, 22213, 21820, 21421, 21017, 20607, 20192, 19772, 19346, 18915, 18479, 18039,
    17593, 17143, 16689, 16230, 15767, 15300, 14829, 14353, 13875, 13392, 12906, 12417, 11924,
    11428, 10929, 10428, 9923,  9416,  8907,  8395,  7881,  7365,  6847,  6327,  5806,  5283,
    4758,  4233,  3706,  3178,  2650,  2121,  1591,  1061,  530,
};

// The fixed settings of the stage.
inline constexpr int16_t SUPPRESSOR_REST_GAIN = 23197;       // Q15, -3.0 dB for unmarked bins
inline constexpr int16_t SUPPRESSOR_LSF_GAP_MAX = 204;       // 1.25 % of the sampling rate
inline constexpr int16_t SUPPRESSOR_LOW_HOLD = 50;           // peak hold limit of bands 0 to 2
inline constexpr int16_t SUPPRESSOR_EDGE_GAIN_LOW = 32767;   // Q15, gain of bin 0
inline constexpr int16_t SUPPRESSOR_EDGE_GAIN_HIGH = 10000;  // Q15, gain of bin 127 (-10.3 dB)

// Tuning slots read by peak_suppressor_configure.
inline constexpr int SLOT_SUPPRESSOR_LOW_BAND_OFFSET =
    slot_index("low_band_offset");  // added to the slots of bands 0-7
inline constexpr int SLOT_SUPPRESSOR_HIGH_BAND_OFFSET =
    slot_index("high_band_offset");  // added to the slots of bands 8-13
inline constexpr int SLOT_SUPPRESSOR_BAND_THRESHOLD =
    slot_index("band_threshold_00");  // slots 63 to 76, bands 0 to 13
inline constexpr int SLOT_SUPPRESSOR_MARK1_GAIN = slot_index("mark1_gain");
inline constexpr int SLOT_SUPPRESSOR_MARK2_GAIN = slot_index("mark2_gain");
inline constexpr int SLOT_SUPPRESSOR_PEAK_LEVEL_MIN = slot_index("peak_level_min");
inline constexpr int SLOT_SUPPRESSOR_HOLD_MAX = slot_index("hold_max");

// Level units: band levels, band thresholds and peak levels are energy_level values, about
// 26.745 log10(power ratio), so one unit is about 0.374 dB of power.
// Marks: 0 unmarked, 1 marked, 2 strongly marked.
struct PeakSuppressorContext {
  StageHeader header;
  std::array<int32_t, SUPPRESSOR_BINS> smoothed_power;    // time-smoothed bin power, >= 10 (state)
  std::array<int16_t, SUPPRESSOR_BAND_COUNT> band_level;  // peak-to-floor level, level units
  std::array<int16_t, SUPPRESSOR_BAND_COUNT> band_hold;   // halves the band's mark is held (state)
  std::array<int16_t, SUPPRESSOR_BAND_COUNT> band_mark;   // 0, 1 or 2 (state)
  std::array<int16_t, SUPPRESSOR_BAND_COUNT> band_threshold;  // level units; exceed to be marked
  std::array<int16_t, SUPPRESSOR_BINS> bin_mark;  // 0, 1 or 2, from the bands covering the bin
  std::array<int16_t, SUPPRESSOR_BINS> gain;      // Q15, time-smoothed bin gain (state)
  int16_t first_call;                             // 1 until the first half has been processed
  std::array<int16_t, SUPPRESSOR_BLOCK> work;  // analysis block, then spectrum, then output block
  std::array<int32_t, SUPPRESSOR_BINS> power;  // bin power of the current half
  std::array<int32_t, SUPPRESSOR_BINS> power_avg;    // power averaged over bins k - 1 to k + 2
  std::array<int16_t, SUPPRESSOR_BINS> target_gain;  // Q15, gain chosen from the marks
  std::array<int16_t, SUPPRESSOR_BINS> target_gain_smooth;  // Q15, target smoothed across bins
  int16_t mark1_gain;                                       // Q15, gain of bins marked 1
  int16_t mark2_gain;                                       // Q15, gain of bins marked 2
  int16_t rest1_gain;  // Q15, gain of unmarked bins when the half's state is 1
  int16_t rest2_gain;  // Q15, gain of unmarked bins when the half's state is 2
  std::array<int16_t, SUPPRESSOR_OVERLAP> history;  // last 96 input samples, unwindowed (state)
  std::array<int16_t, SUPPRESSOR_OVERLAP> overlap;  // windowed tail of the last block (state)
  int16_t hold_max;  // limit of the band holds and of the peak holds of bands 3 to 13, halves
  std::array<int16_t, SUPPRESSOR_LSF_COUNT + 1> lpc;   // Q12 prediction coefficients, lpc[0] = 1.0
  std::array<int16_t, SUPPRESSOR_LSF_COUNT> lsp;       // Q15 line spectral pairs (cosines)
  std::array<int16_t, SUPPRESSOR_LSF_COUNT> lsf;       // line spectral frequencies, 16384 = fs/2
  std::array<int16_t, SUPPRESSOR_LSF_COUNT> lsf_gap;   // lsf[i] - lsf[i - 1], same scale
  std::array<int16_t, SUPPRESSOR_LSF_COUNT> peak_bin;  // candidate peak bin, 0 for none
  std::array<int16_t, SUPPRESSOR_BAND_COUNT> peak_flag;  // 1 when the band holds a (held) peak
  std::array<int16_t, SUPPRESSOR_BAND_COUNT> peak_hold;  // halves the peak flag is held (state)
  int16_t lsf_gap_max;       // largest lsf_gap that still makes a peak candidate
  int16_t peak_level_min;    // level units a candidate must reach; 32767 flags every band
  Diagnostics* diagnostics;  // where non-fatal arithmetic messages go (may be null)
};

// Every field to its default: header pointers null, frame length 320, enable 0; gain 32767 in
// every bin, the four gain settings 32767, first_call 1; everything else 0 (no diagnostics).
void peak_suppressor_reset(PeakSuppressorContext* ctx);

// Settings from slots 61 to 80, unclamped. band_threshold[b] is slot 63 + b plus slot 61
// (bands 0-7) or slot 62 (bands 8-13), a 16-bit sum that wraps; slots 77, 78, 79 and 80 give
// mark1_gain, mark2_gain, peak_level_min and hold_max. Also sets rest1_gain = rest2_gain = 23197,
// lsf_gap_max = 204 and first_call = 1.
void peak_suppressor_configure(PeakSuppressorContext* ctx, const TuningSlots& slots);

// One frame, under the stage contract (stage_header.h): its two halves in turn, when the frame
// length is 320 (any other length leaves the frame as it is). Non-fatal arithmetic messages go to
// ctx->diagnostics. peak_suppressor_process_with runs the halves with the given form of a half.
using SuppressorHalf = void (*)(PeakSuppressorContext* ctx, int16_t* samples, Diagnostics* diag);
int peak_suppressor_process(PeakSuppressorContext* ctx);
int peak_suppressor_process_with(PeakSuppressorContext* ctx, SuppressorHalf half);

// Processes 160 samples in place; the output lags the input by 96 samples. Non-fatal arithmetic
// messages go to diag (may be null).
void peak_suppressor_process_half(PeakSuppressorContext* ctx, int16_t* samples, Diagnostics* diag);

// Level of a positive power x (callers replace 0 by 1), about round(26.745 log10(x / 16)) and 0
// for every x up to 16. energy_level_saturating is the chain of saturating operators, which
// energy_level takes for x <= 0; both give the same value for every x.
int16_t energy_level(int32_t x);
int16_t energy_level_saturating(int32_t x);

// Weights as Q30 constants split into (value / 32768, value % 32768).
inline constexpr int16_t POWER_NEW_WEIGHT_HI = 15258;  // 500000000 / 2^30 = 0.465661
inline constexpr int16_t POWER_NEW_WEIGHT_LO = 25856;
inline constexpr int16_t POWER_OLD_WEIGHT_HI = 17509;  // 573741823 / 2^30 = 0.534339
inline constexpr int16_t POWER_OLD_WEIGHT_LO = 6911;
inline constexpr int16_t GAIN_NEW_WEIGHT_HI = 1310;  // 42949672 / 2^30 = 0.04
inline constexpr int16_t GAIN_NEW_WEIGHT_LO = 23592;
inline constexpr int16_t GAIN_OLD_WEIGHT_HI = 31457;  // 1030792151 / 2^30 = 0.96
inline constexpr int16_t GAIN_OLD_WEIGHT_LO = 9175;

}  // namespace halvern
