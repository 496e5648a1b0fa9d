// A stream of samples through one engine, in chunks of any size. The engine works on whole
// frames of FRAME_LENGTH samples; the stream buffers the samples of a frame not yet complete and
// gives the processed samples of every frame as soon as its last sample arrives. Whatever the
// chunking, the outputs put end to end are the samples halvern-sim writes for the whole input
// (bit for bit), and sample i of the output belongs to sample i of the input.
//
//   EngineStream stream(slots);
//   std::vector<int16_t> out;
//   while (read a chunk) stream.process(chunk, &out);   // appends 0, 320, 640, ... samples
//   stream.flush(pad, &out);                            // the partial frame: dropped or padded
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "engine/engine.h"
#include "engine/observer.h"
#include "fixedpoint/diagnostics.h"
#include "tuning/tuning.h"

namespace halvern {

// Samples by which a stage delays the signal (the other stages delay it by none): the equalizer's
// linear-phase FIR by 31 and its limiter's delay line by 15; the peak suppressor's overlap by 96.
inline constexpr int EQUALIZER_DELAY = (EQ_TAPS - 1) / 2 + EQ_DELAY_LENGTH - 1;
inline constexpr int SUPPRESSOR_DELAY = SUPPRESSOR_OVERLAP;
static_assert(EQUALIZER_DELAY == 46 && SUPPRESSOR_DELAY == 96);

// The most samples an input sample waits inside the stream for its frame to complete.
inline constexpr int FRAME_WAIT = FRAME_LENGTH - 1;

class EngineStream {
 public:
  // A new engine configured from slots, as halvern-sim configures it; stage_mask, when given,
  // replaces slot 0. Throws ArithmeticFault when the slots need an impossible division.
  explicit EngineStream(const TuningSlots& slots, std::optional<int16_t> stage_mask = std::nullopt);
  ~EngineStream();
  EngineStream(EngineStream&&) noexcept;
  EngineStream& operator=(EngineStream&&) noexcept;

  // How many samples process() gives for n more input samples: the complete frames among the
  // buffered samples and these.
  size_t output_size(size_t n) const;

  // Processes n input samples; writes output_size(n) samples to out and returns that count. The
  // input and the output may not overlap. Throws ArithmeticFault on a fatal arithmetic error;
  // the stream must then be reset() before it is used again (std::logic_error otherwise).
  size_t process(const int16_t* in, size_t n, int16_t* out);
  // The same, appending to *out.
  void process(std::span<const int16_t> in, std::vector<int16_t>* out);

  // Ends the stream. Without pad the buffered partial frame is dropped, as halvern-sim drops it;
  // with pad it is completed with zeros and processed, and the whole frame is written (320
  // samples; none when nothing was buffered). Writes to out (room for FRAME_LENGTH samples) and
  // returns the count. The stream is then reset: the next sample starts a new stream.
  size_t flush(bool pad, int16_t* out);
  void flush(bool pad, std::vector<int16_t>* out);

  // Back to the state just after construction: the engine configured anew, nothing buffered. The
  // observer and the diagnostics sink stay.
  void reset();

  // Told about every position of the chain and the end of every frame (null: none). The observer
  // must outlive its use; the stream does not own it.
  void set_observer(EngineObserver* observer);
  // Where the engine's non-fatal arithmetic messages go (as Diagnostics::write); none: dropped.
  void set_diagnostics(void (*write)(void* user, const char* message), void* user);

  // Samples by which the enabled stages delay the signal: the output at i + delay() is what the
  // input at i became (142 with the equalizer and the peak suppressor on, 0 with both off).
  // halvern-sim's output has the same delay; it is part of the engine's bits.
  int delay() const;
  // The most samples that pass between an input sample going in and what it became coming out:
  // FRAME_WAIT (its frame must complete before the frame comes out) plus delay() (what it became
  // may lie in the frame after). 461 with every stage on.
  int latency() const { return FRAME_WAIT + delay(); }
  size_t buffered() const { return pending_; }  // input samples waiting for their frame
  int64_t frames() const { return frames_; }    // frames processed since the last reset
  int16_t stage_mask() const { return mask_; }  // in force: slot 0 or the override
  const TuningSlots& slots() const { return slots_; }
  // The engine, for observers and statistics that read the stages' state.
  const Engine& engine() const { return *engine_; }

 private:
  void configure();
  void run_frame(const int16_t* in, int16_t* out);

  TuningSlots slots_;
  int16_t mask_;
  std::unique_ptr<Engine> engine_;
  EngineObserver* observer_ = nullptr;
  Diagnostics sink_{};
  int16_t pending_frame_[FRAME_LENGTH] = {};
  size_t pending_ = 0;
  int64_t frames_ = 0;
  bool broken_ = false;
};

}  // namespace halvern
