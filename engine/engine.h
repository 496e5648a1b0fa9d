// The engine: one frame buffer that every stage works on in place, and one context per stage,
// run in the order of the stage table (tuning/stage_table.h).
#pragma once

#include <cstdint>

#include "engine/observer.h"
#include "fixedpoint/diagnostics.h"
#include "frame/stage_header.h"
#include "stages/dither/dither.h"
#include "stages/dynamics/dynamics.h"
#include "stages/equalizer/equalizer.h"
#include "stages/highpass/highpass.h"
#include "stages/suppressor/suppressor.h"
#include "tuning/tuning.h"

namespace halvern {

struct EngineHeader {
  const int16_t* input;  // the caller's input frame
  int16_t* output;       // the caller's output frame
  int16_t frame_length;  // FRAME_LENGTH
};

struct Engine {
  EngineHeader header;
  int16_t frame_buffer[FRAME_CAPACITY];  // the current frame, samples 0 to 319
  HighPassContext highpass;
  EqualizerContext equalizer;
  DitherContext dither;
  DynamicsContext dynamics;
  PeakSuppressorContext suppressor;
  Diagnostics diagnostics;   // where the stages report non-fatal arithmetic messages
  EngineObserver* observer;  // told about every position of the chain when not null
};

// Every context to its defaults (in chain order); the frame buffer to zeros; no
// diagnostics sink, no observer.
void engine_reset(Engine* engine);

// Points the header at the caller's frames, every stage at the frame buffer and the peak
// suppressor at the engine's diagnostics. -1 and nothing changed when either pointer is null.
int engine_bind(Engine* engine, const int16_t* input, int16_t* output);

// The header of a stage of the stage table (its enable flag); nullptr for kAll and kNone.
const StageHeader* engine_stage_header(const Engine& engine, SlotStage stage);

// Enable flag of every stage from the stage mask (slot 0): 1 when its bit is set, else 0.
void engine_set_stage_mask(Engine* engine, int16_t mask);

// Derives every stage's settings from its slots, in the order high-pass, dynamics, equalizer,
// peak suppressor, dither, whether or not the stage is enabled. Throws ArithmeticFault when a
// setting needs an impossible division.
void engine_configure(Engine* engine, const TuningSlots& slots);

// Runs one frame of FRAME_LENGTH samples from input to output through the enabled stages. 0, or
// -1 when binding or a stage fails (the output is then not written). Throws ArithmeticFault on a
// fatal arithmetic error.
int engine_process_frame(Engine* engine, const int16_t* input, int16_t* output);

// The process operation of every stage: the fast forms in the program, the straightforward ones
// in the reference engine (engine_reference.h).
struct EngineStageForms {
  int (*highpass)(HighPassContext* ctx);
  int (*dynamics)(DynamicsContext* ctx);
  int (*equalizer)(EqualizerContext* ctx);
  int (*suppressor)(PeakSuppressorContext* ctx);
  int (*dither)(DitherContext* ctx);
};
inline constexpr EngineStageForms ENGINE_FAST = {&highpass_process, &dynamics_process,
                                                 &equalizer_process, &peak_suppressor_process,
                                                 &dither_process};

// engine_process_frame with the given forms of the stages.
int engine_process_frame_with(Engine* engine, const int16_t* input, int16_t* output,
                              const EngineStageForms& forms);

}  // namespace halvern
