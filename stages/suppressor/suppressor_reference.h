// The peak suppressor's steps in their straightforward forms, kept to check the fast forms
// against and to run the reference engine, and the steps that only tests use. Each gives the same
// bits, context and messages as its fast form for every input it accepts, which the tests check.
#pragma once

#include <cstdint>

#include "fixedpoint/diagnostics.h"
#include "stages/suppressor/suppressor.h"

namespace halvern {

// power[k] of every bin from the packed spectrum in work, rescaled by 2 (4 - s1) bits to undo
// the forward normalisation by s1 bits (bin_powers_of on work).
void bin_powers(PeakSuppressorContext* ctx, int16_t s1);

// bin_gains_update, then every spectrum pair of work multiplied by its bin's gain, in place.
void bin_gains(PeakSuppressorContext* ctx, int16_t state);

void bin_powers_reference(PeakSuppressorContext* ctx, int16_t s1);
void average_powers_reference(PeakSuppressorContext* ctx);
void band_levels_reference(PeakSuppressorContext* ctx, Diagnostics* diag);
void bin_gains_reference(PeakSuppressorContext* ctx, int16_t state);
void peak_flags_reference(PeakSuppressorContext* ctx);
void peak_suppressor_process_half_reference(PeakSuppressorContext* ctx, int16_t* samples,
                                            Diagnostics* diag);

// peak_suppressor_process on the straightforward half.
int peak_suppressor_process_reference(PeakSuppressorContext* ctx);

}  // namespace halvern
