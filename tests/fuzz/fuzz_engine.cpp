// Fuzz target: the whole engine. The first 170 bytes are the 85 tuning slots (little-endian, any
// 16-bit values, every stage bit), the rest is a stream of frames (640 bytes each; a short tail
// is padded with zeros). Checks that nothing crashes or invokes undefined behaviour, that every
// frame gives 320 samples, that no fatal arithmetic error happens once the settings are accepted,
// and that the reference engine, which runs the straightforward form of every stage, fed the
// same bytes gives the same output samples and the same count of non-fatal messages.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "engine/engine.h"
#include "engine/engine_reference.h"

namespace {

using namespace halvern;

using ProcessFrame = int (*)(Engine*, const int16_t*, int16_t*);

struct Run {
  std::unique_ptr<Engine> engine = std::make_unique<Engine>();
  ProcessFrame process;
  int16_t in[FRAME_CAPACITY] = {};
  int16_t out[FRAME_CAPACITY] = {};
  bool configured = false;

  Run(const TuningSlots& slots, ProcessFrame process_frame) : process(process_frame) {
    engine_reset(engine.get());
    engine_bind(engine.get(), in, out);
    engine_set_stage_mask(engine.get(), slots[STAGE_MASK_SLOT]);
    try {
      engine_configure(engine.get(), slots);
      configured = true;
    } catch (const ArithmeticFault&) {
      // An inverted boost range: the program reports it and processes nothing.
    }
  }

  void frame(const uint8_t* bytes, size_t size) {
    for (int i = 0; i < FRAME_LENGTH; ++i) {
      const size_t k = 2 * static_cast<size_t>(i);
      const uint8_t lo = k < size ? bytes[k] : 0;
      const uint8_t hi = k + 1 < size ? bytes[k + 1] : 0;
      in[i] = static_cast<int16_t>(lo | (hi << 8));
    }
    std::memset(out, 0x55, sizeof out);
    try {
      if (process(engine.get(), in, out) != 0) std::abort();
    } catch (const ArithmeticFault&) {
      std::abort();  // a recording must never end the run
    }
    for (int i = FRAME_LENGTH; i < FRAME_CAPACITY; ++i) {
      if (out[i] != 0x5555) std::abort();  // exactly 320 samples written
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kTuningBytes = 2 * TUNING_SLOT_COUNT;
  constexpr size_t kFrameBytes = 2 * FRAME_LENGTH;
  if (size < kTuningBytes) return 0;
  TuningSlots slots;
  for (size_t i = 0; i < slots.size(); ++i) {
    slots[i] = static_cast<int16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  }
  Run fast(slots, &engine_process_frame);
  Run exact(slots, &reference::engine_process_frame);
  if (fast.configured != exact.configured) std::abort();
  if (!fast.configured) return 0;
  for (size_t at = kTuningBytes; at < size; at += kFrameBytes) {
    const size_t n = size - at < kFrameBytes ? size - at : kFrameBytes;
    fast.frame(data + at, n);
    exact.frame(data + at, n);
    for (int i = 0; i < FRAME_LENGTH; ++i) {
      if (fast.out[i] != exact.out[i]) std::abort();  // a differing sample
    }
    if (fast.engine->diagnostics.count != exact.engine->diagnostics.count) std::abort();
  }
  return 0;
}
