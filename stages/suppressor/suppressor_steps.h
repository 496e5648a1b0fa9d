// The steps of one half of the peak suppressor, in the order peak_suppressor_process_half runs
// them. Each reads and writes the fields of the context named in its comment.
#pragma once

#include <bit>
#include <cstdint>

#include "fixedpoint/diagnostics.h"
#include "stages/suppressor/suppressor.h"

namespace halvern {

// Peak candidates from the line spectral frequencies, in place on lsf: discards frequencies
// outside 100..14336 and those lying more than lsf_gap_max above their lower neighbour; fills
// lsf_gap and peak_bin (lsf >> 7, 0 for no candidate). lsf_gap and peak_bin must be 0 on entry.
void peak_candidates(PeakSuppressorContext* ctx);

// power[k] of every bin from the packed spectrum in work, rescaled by 2 (4 - s1) bits to undo
// the forward normalisation by s1 bits.
void bin_powers(PeakSuppressorContext* ctx, int16_t s1);

// bin_powers with the pair of bin k read from (re[step k], im[step k]) instead of work.
void bin_powers_of(PeakSuppressorContext* ctx, const int16_t* re, const int16_t* im, int step,
                   int16_t s1);

// power_avg[k]: the sum of power[k - 1 .. k + 2] / 4 for bins 3 to 125, power[k] at the edges.
void average_powers(PeakSuppressorContext* ctx);

// Keeps the candidates whose averaged power (one bin below) reaches peak_level_min (5 more for
// bins up to 16), raises peak_flag for every band holding one, and holds each flag up with
// peak_hold (limit 50 for bands 0 to 2, hold_max above). peak_level_min = 32767 raises every flag.
void peak_flags(PeakSuppressorContext* ctx);

// smoothed_power from power_avg: taken as is on the first call, else 0.465661 new plus 0.534339
// old; never below 10.
void smooth_spectrum(PeakSuppressorContext* ctx);

// band_level of every band: energy_level(16 top / (bottom + 8000)) of the band's largest and
// smallest smoothed_power. diag receives L_divide's messages (may be null).
void band_levels(PeakSuppressorContext* ctx, Diagnostics* diag);

// Updates band_mark and band_hold from band_level, band_threshold and peak_flag, bands visited
// upwards; returns the half's state, the mark of the lowest marked band (0 when none).
int16_t band_decision(PeakSuppressorContext* ctx);

// Gains of the half from band_mark and the state: fills bin_mark, target_gain and
// target_gain_smooth, updates gain (with bin 0 at 32767 and bin 127 at 10000) and multiplies
// every spectrum pair of work by its bin's gain, in place.
void bin_gains(PeakSuppressorContext* ctx, int16_t state);

// bin_gains without the last step: everything but the spectrum in work.
void bin_gains_update(PeakSuppressorContext* ctx, int16_t state);

// energy_level(x) for x > 0, with the logarithm and the scalings in plain 32-bit arithmetic; no
// saturating operator of the reference reaches its limits here (ranges over every x > 0):
// - Log2_poly: e = norm_l(x) lies in [0, 30] and x << e is exact, so its upper half m lies in
//   [16384, 32767]; mult_r(m, m) <= 32766; 2 m 32709 < 2^31; their sum
//   2 m 32709 - 2 mult_r(m, m) 11050 lies in [890765312, 1419423006] and its difference with
//   1422917632 in [-532152320, -3494626]; shl(-(e + 1), 10) lies in [-31744, -1024], so the
//   logarithm -(e + 1) 2^26 + f (0 <= f < 2^26) lies in [-31 2^26, -1].
// - Mpy_32_16 of that with 9864: hi in [-31744, -1], |2 hi 9864| < 2^30, the low part below
//   2^15; adding 545448088 gives t in [-80797544, 545448087].
// - extract_h(t) lies in [-1233, 8322]; 2 (t >> 16) 10270, 393216 more, and the last product
//   with 2731 all stay below 2^28.
inline int16_t energy_level_positive(int32_t x) {
  const int e = std::countl_zero(static_cast<uint32_t>(x)) - 1;  // norm_l(x) for x > 0
  const int32_t m = static_cast<int32_t>(static_cast<uint32_t>(x) << e) >> 16;
  const int32_t m2 = (m * m + 16384) >> 15;
  const int32_t y = 2 * m * 32709 + 2 * m2 * (-11050) - 1422917632;
  const int32_t log2 = -(e + 1) * 1024 * 65536 + ((y >> 3) & 0x3ffffff);  // Q26
  const int32_t hi = log2 >> 16;
  const int32_t lo = (log2 >> 1) - hi * 32768;
  const int32_t t = 2 * hi * 9864 + ((2 * lo * 9864) >> 15) + 545448088;
  int32_t u = 2 * (t >> 16) * 10270;
  u = u < 0 ? 0 : u;
  u += 393216;
  return static_cast<int16_t>((2 * (u >> 16) * 2731) >> 16);
}

// The straightforward forms of the steps above that have faster ones, and of the whole half:
// each gives the same bits, context and messages as its fast form for every input it accepts,
// which the tests check.
void bin_powers_reference(PeakSuppressorContext* ctx, int16_t s1);
void average_powers_reference(PeakSuppressorContext* ctx);
void smooth_spectrum_reference(PeakSuppressorContext* ctx);
void band_levels_reference(PeakSuppressorContext* ctx, Diagnostics* diag);
void bin_gains_reference(PeakSuppressorContext* ctx, int16_t state);
void peak_flags_reference(PeakSuppressorContext* ctx);
void peak_suppressor_process_half_reference(PeakSuppressorContext* ctx, int16_t* samples,
                                            Diagnostics* diag);

}  // namespace halvern
