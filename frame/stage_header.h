// The first fields of every stage context, the frame constants of the engine, and the contract
// every stage keeps:
//   void X_reset(XContext* ctx);                                every field to its default
//   void X_configure(XContext* ctx, const TuningSlots& slots);  settings from the tuning slots
//   int X_process(XContext* ctx);                               one frame, header.input to output
// Every X_process runs through stage_process, which makes the null and enable checks.
#pragma once

#include <cstdint>

namespace halvern {

inline constexpr int16_t FRAME_LENGTH = 320;  // samples per frame: 20 ms at 16 kHz
inline constexpr int FRAME_CAPACITY = 640;    // samples a frame buffer can hold

struct StageHeader {
  const int16_t* input;  // where the stage reads its frame
  int16_t* output;       // where the stage writes its frame (in the chain the same buffer)
  int16_t frame_length;  // samples per call, FRAME_LENGTH
  int16_t enable;        // the stage runs only when this is 1
};

// Pointers null, frame length FRAME_LENGTH, enable flag as given.
void stage_header_reset(StageHeader* header, int16_t enable);

// False when a pointer is null; otherwise copies the input frame to the output (nothing to do
// when both are the same buffer) and returns true.
bool stage_copy_input(const StageHeader* header);

// One frame of a stage: -1 when ctx or a pointer of its header is null; otherwise the input frame
// is copied to the output, and body(*ctx) works on it in place when the stage is enabled (enable
// is 1). Returns body's result, or 0 for a stage that is not enabled.
template <typename Context, typename Body>
int stage_process(Context* ctx, Body&& body) {
  if (ctx == nullptr || !stage_copy_input(&ctx->header)) return -1;
  if (ctx->header.enable != 1) return 0;
  return body(*ctx);
}

}  // namespace halvern
