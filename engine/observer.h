// What a tool attaches to the engine to see inside the chain: the signal after every position of
// the chain and the stages' state at the end of each frame. The engine calls it only when one is
// attached, so an engine without an observer runs exactly as fast as before.
#pragma once

#include <cstdint>

namespace halvern {

struct Engine;

// The positions of the chain, in the order the signal passes them.
enum class ChainPosition : uint8_t {
  kInput = 0,
  kHighPass = 1,
  kDynamics = 2,
  kEqualizer = 3,
  kSuppressor = 4,
  kDither = 5,
};
inline constexpr int CHAIN_POSITION_COUNT = 6;

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
