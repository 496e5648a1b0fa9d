// The linear-prediction analysis in its straightforward forms, kept to check the fast forms
// against and to run the reference engine, and the entry points that only tests use.
#pragma once

#include <cstdint>

#include "fixedpoint/diagnostics.h"
#include "stages/suppressor/lpc/lpc.h"

namespace halvern {

void autocorrelation_reference(const int16_t* block, int32_t* r);

// levinson_durbin_interleaved with nothing in between, and the recursion as a loop over the
// orders.
void levinson_durbin(int16_t* a, const int32_t* r, Diagnostics* diag);
void levinson_durbin_reference(int16_t* a, const int32_t* r, Diagnostics* diag);

// The sequential search evaluating with the saturating operators.
void lpc_to_lsp_reference(const int16_t* a, int16_t* lsp, const int16_t* fallback);

void lsp_to_lsf_reference(const int16_t* lsp, int16_t* lsf);

}  // namespace halvern
