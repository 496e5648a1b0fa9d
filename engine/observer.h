// What a tool attaches to the engine to see inside the chain: the signal after every position of
// the chain and the stages' state at the end of each frame. The engine calls it only when one is
// attached, so an engine without an observer runs exactly as fast as before.
#pragma once

#include <cstdint>

#include "tuning/stage_table.h"

namespace halvern {

struct Engine;

// The positions of the chain, in the order the signal passes them: the input (0), then after
// each stage of the stage table, at its chain_position.
enum class ChainPosition : uint8_t {
  kInput = 0,
};
inline constexpr int CHAIN_POSITION_COUNT = STAGE_COUNT + 1;

// The position after a stage.
constexpr ChainPosition chain_position(const StageInfo& stage) {
  return static_cast<ChainPosition>(stage.chain_position);
}
// The position after the last stage: the output.
inline constexpr ChainPosition CHAIN_OUTPUT = static_cast<ChainPosition>(STAGE_COUNT);

class EngineObserver {
 public:
  virtual ~EngineObserver() = default;
  // The frame as it stands after position (before any stage for kInput). A stage that is off
  // leaves the frame as it was, and is reported all the same. The n samples are valid only
  // during the call.
  virtual void on_signal(ChainPosition position, const int16_t* frame, int n) = 0;
  // After the last stage of a frame: every stage's state, as the next frame will find it.
  virtual void on_frame_end(const Engine& engine) = 0;
};

}  // namespace halvern
