// The steps of one half of the peak suppressor, in the order peak_suppressor_process_half runs
// them. Each reads and writes the fields of the context named in its comment.
#pragma once

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

// block_normalise and block_rescale of the 256-sample block, in forms the compiler vectorises;
// the same results for every input.
int16_t suppressor_block_normalise(int16_t* x, int16_t headroom);
void suppressor_block_rescale(int16_t* x, int16_t n);

}  // namespace halvern
