// The steps of one half of the peak suppressor, in the order peak_suppressor_process_half runs
// them. Each reads and writes the fields of the context named in its comment.
#pragma once

#include <array>
#include <cstdint>

#include "fixedpoint/diagnostics.h"
#include "stages/suppressor/suppressor.h"

namespace halvern {

// What lpc_to_lsp gives when it finds fewer than ten roots.
inline constexpr std::array<int16_t, SUPPRESSOR_LSF_COUNT> SUPPRESSOR_LSP_FALLBACK{};

// The start of a half: on the first call, gain to 32767 in every bin and the history and the
// overlap to 0.
void start_half(PeakSuppressorContext* ctx);

// lpc, lsp, lsf, lsf_gap and peak_bin to 0, before the linear prediction of a half.
void clear_analysis(PeakSuppressorContext* ctx);

// Peak candidates from the line spectral frequencies, in place on lsf: discards frequencies
// outside 100..14336 and those lying more than lsf_gap_max above their lower neighbour; fills
// lsf_gap and peak_bin (lsf >> 7, 0 for no candidate). lsf_gap and peak_bin must be 0 on entry.
void peak_candidates(PeakSuppressorContext* ctx);

// power[k] of every bin from the pair of bin k read from (re[step k], im[step k]), rescaled by
// 2 (4 - s1) bits to undo the forward normalisation by s1 bits.
void bin_powers_of(PeakSuppressorContext* ctx, const int16_t* re, const int16_t* im, int step,
                   int16_t s1);

// power_avg[k]: the sum of power[k - 1 .. k + 2] / 4 for bins 3 to 125, power[k] at the edges.
void average_powers(PeakSuppressorContext* ctx);

// Keeps the candidates whose averaged power (one bin below) reaches peak_level_min (5 more for
// bins up to 16), raises peak_flag for every band holding one, and holds each flag up with
// peak_hold (limit 50 for bands 0 to 2, hold_max above). peak_level_min = 32767 raises every flag.
void peak_flags(PeakSuppressorContext* ctx);

// The first and last part of peak_flags: the candidates whose averaged power is too low get
// peak_bin 0; the flags are held up by their hold counters (and all raised for a peak_level_min
// of 32767).
void drop_quiet_candidates(PeakSuppressorContext* ctx);
void hold_peak_flags(PeakSuppressorContext* ctx);

// smoothed_power from power_avg: taken as is on the first call, else 0.465661 new plus 0.534339
// old; never below 10. smooth_spectrum_saturating is the same with the saturating operators, which
// smooth_spectrum takes should a power be negative.
void smooth_spectrum(PeakSuppressorContext* ctx);
void smooth_spectrum_saturating(PeakSuppressorContext* ctx);

// band_level of every band: energy_level(16 top / (bottom + 8000)) of the band's largest and
// smallest smoothed_power. diag receives L_divide's messages (may be null).
void band_levels(PeakSuppressorContext* ctx, Diagnostics* diag);

// The level of one band from its largest and smallest smoothed power, with the saturating
// operators; band_levels takes it should a power be negative.
int16_t band_level_saturating(int32_t top, int32_t bottom, Diagnostics* diag);

// Updates band_mark and band_hold from band_level, band_threshold and peak_flag, bands visited
// upwards; returns the half's state, the mark of the lowest marked band (0 when none).
int16_t band_decision(PeakSuppressorContext* ctx);

// The smoothing of the target gains across frequency: the mean of a bin and the fifteen below
// it, then the mean of bins i - 2 to i + 5 for i from 16 down to 2.
inline constexpr int FIRST_SMOOTHING_WIDTH = 16;
inline constexpr int SECOND_SMOOTHING_TOP = 16;
inline constexpr int SECOND_SMOOTHING_BOTTOM = 2;

// Gains of the half from band_mark and the state: fills bin_mark, target_gain and
// target_gain_smooth, and updates gain (with bin 0 at 32767 and bin 127 at 10000).
void bin_gains_update(PeakSuppressorContext* ctx, int16_t state);

}  // namespace halvern
