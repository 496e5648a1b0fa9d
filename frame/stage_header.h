// The first fields of every stage context, and the frame constants of the engine.
#pragma once

#include <cstdint>

namespace halvern {

inline constexpr int16_t FRAME_LENGTH = 320;   // samples per frame: 20 ms at 16 kHz
inline constexpr int FRAME_CAPACITY = 640;     // samples a frame buffer can hold

struct StageHeader {
  const int16_t* input;   // where the stage reads its frame
  int16_t* output;        // where the stage writes its frame (in the chain the same buffer)
  int16_t frame_length;   // samples per call, FRAME_LENGTH
  int16_t enable;         // the stage runs only when this is 1
};

// Pointers null, frame length FRAME_LENGTH, enable flag as given.
void stage_header_reset(StageHeader* header, int16_t enable);

// Start of every process operation: false when a pointer is null; otherwise copies the input
// frame to the output (nothing to do when both are the same buffer) and returns true.
bool stage_copy_input(const StageHeader* header);

}  // namespace halvern
