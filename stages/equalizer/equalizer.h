// Equalizer stage: a 63-tap linear-phase FIR equaliser, a compressor/expander (the compander), a
// look-ahead peak limiter and a final gain, run in this order on every frame. The stage delays
// the signal by 46 samples: 31 for the FIR, 15 for the limiter's delay line.
// Levels are dB in Q7 (128 per dB, 0 dB = full scale), fixed gains Q11 (2048 = 1.0), taps,
// coefficients and smoothed gains Q15.
#pragma once

#include <array>
#include <cstdint>

#include "dsp/level_gain.h"
#include "frame/stage_header.h"
#include "stages/equalizer/peak_limiter.h"
#include "tuning/slot_catalogue.h"

namespace halvern {

inline constexpr int EQ_TAPS = 63;                 // FIR length; delay 31 samples
inline constexpr int EQ_HISTORY = EQ_TAPS - 1;     // input samples kept between frames
inline constexpr int EQ_DELAY_CAPACITY = 690;      // room of the limiter delay line
inline constexpr int16_t EQ_DELAY_LENGTH = 16;     // delay-line entries in use
inline constexpr int16_t EQ_PASS_TAP_Q15 = 16384;  // centre tap of an all-zero setting
inline constexpr int16_t EQ_FIRST_TAP_SLOT = slot_index("eq_tap_00");  // taps 0..30, mirrored
inline constexpr int16_t EQ_CENTRE_TAP_SLOT = slot_index("eq_centre_tap");

struct EqualizerContext {
  StageHeader header;
  // FIR input: the last 62 input samples of the previous frame, then the current frame.
  std::array<int16_t, EQ_HISTORY + FRAME_CAPACITY> history;
  std::array<int16_t, EQ_TAPS> taps;             // Q15 FIR coefficients, symmetric
  CompanderBlock compander;                      // compressor/expander of the whole frame
  PeakLimiter limiter;                           // limiter settings and state
  std::array<int16_t, EQ_DELAY_CAPACITY> delay;  // limiter delay line, first delay_length used
  int16_t delay_index;                           // limiter write position in delay
  int16_t delay_length;                          // delay-line entries in use (16)
  int16_t final_gain_q11;                        // Q11, gain applied last
  std::array<int16_t, FRAME_CAPACITY / 2> ramp;  // Q15, compander ramp weights (n/2 of them)
};

// Defaults: header reset and disabled; history, delay line and ramp 0; taps pass-through
// (taps[31] = 16384); compander defaults of a CompanderBlock; limiter envelope 0, gain 2048,
// threshold 0, slope 0, offset 0, out gain 2048; delay index 0, length 16; final gain 0.
void equalizer_reset(EqualizerContext* ctx);

// Slots 22..52: taps 0..30 and their mirror images 62..32; slot 53: centre tap (an all-zero
// setting gives the centre tap 16384). Slot 54: compressor threshold in dB below full scale,
// 0..54; slot 55: its ratio x 10, 10..100; slot 56: expander threshold, 55..90 dB; slot 57: its
// ratio x 10, 10..100; slot 58: final gain in tenths of a dB, -300..240; slot 59: limiter
// threshold in tenths of a dB below full scale, 0..204. Values outside a range are clamped.
// Also derives the compander ramp weights from the header's frame length.
void equalizer_configure(EqualizerContext* ctx, const TuningSlots& slots);

// The FIR's saturating chain for n outputs: out[k] = round_fx(L_shl(acc, 1)), where acc runs
// through L_mac(acc, in[k + j], taps[j]) for j = 0..62, saturating after every term. in holds
// n + 62 samples. fir_chain is the fast form used by the stage, which takes
// fir_chain_saturating, the plain per-term chain, for outputs that may saturate. Both give the
// same bits for every input.
void fir_chain(const int16_t* in, const int16_t* taps, int16_t* out, int n);
void fir_chain_saturating(const int16_t* in, const int16_t* taps, int16_t* out, int n);

// The pieces the stage runs: the fast forms in the program, the straightforward ones in the
// reference engine.
struct EqualizerForms {
  LevelGainForms level_gain;
  void (*fir_chain)(const int16_t* in, const int16_t* taps, int16_t* out, int n);
  void (*peak_limit)(int16_t* x, int n, PeakLimiter* limiter, int16_t* delay, int16_t* delay_index,
                     int16_t delay_length);
};
inline constexpr EqualizerForms EQUALIZER_FAST = {LEVEL_GAIN_FAST, &fir_chain, &peak_limit};

// Runs one frame, under the stage contract (stage_header.h): FIR, compander, limiter, final gain.
// -1 also for a frame length outside 1..640. equalizer_process_with runs it on the given forms of
// the pieces.
int equalizer_process(EqualizerContext* ctx);
int equalizer_process_with(EqualizerContext* ctx, const EqualizerForms& forms);

// Q15 reciprocal of the compander's frame-level mean: 102 for n = 320, 51 for 640, else 204.
int16_t equalizer_compander_reciprocal(int n);

// The FIR on the n samples of x in place (n in 1..640), with the context's taps; keeps the last
// 62 input samples in the history for the next call.
void equalizer_fir(EqualizerContext* ctx, int16_t* x, int n,
                   const EqualizerForms& forms = EQUALIZER_FAST);

// The compander on the n samples of x in place (n in 1..640): measures and smooths the frame
// level, maps it through the compressor/expander curve, smooths the gain and ramps to it over the
// first n/2 samples. Updates the compander's level and gain.
void equalizer_compander(EqualizerContext* ctx, int16_t* x, int n,
                         const EqualizerForms& forms = EQUALIZER_FAST);

}  // namespace halvern
