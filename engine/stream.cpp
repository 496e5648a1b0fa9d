#include "engine/stream.h"

#include <algorithm>
#include <stdexcept>

namespace halvern {

EngineStream::EngineStream(const TuningSlots& slots, std::optional<int16_t> stage_mask)
    : slots_(slots),
      mask_(stage_mask.value_or(slots[STAGE_MASK_SLOT])),
      engine_(std::make_unique<Engine>()) {
  configure();
}

EngineStream::~EngineStream() = default;
EngineStream::EngineStream(EngineStream&&) noexcept = default;
EngineStream& EngineStream::operator=(EngineStream&&) noexcept = default;

// As halvern-sim sets up its engine: reset, bound, stage mask, configured.
void EngineStream::configure() {
  Engine* engine = engine_.get();
  engine_reset(engine);
  engine->diagnostics.write = sink_.write;
  engine->diagnostics.user = sink_.user;
  engine_bind(engine, pending_frame_, pending_frame_);
  engine_set_stage_mask(engine, mask_);
  engine_configure(engine, slots_);
  engine->observer = observer_;
  pending_ = 0;
  frames_ = 0;
  broken_ = false;
}

void EngineStream::reset() { configure(); }

void EngineStream::set_observer(EngineObserver* observer) {
  observer_ = observer;
  engine_->observer = observer;
}

void EngineStream::set_diagnostics(void (*write)(void* user, const char* message), void* user) {
  sink_.write = write;
  sink_.user = user;
  engine_->diagnostics.write = write;
  engine_->diagnostics.user = user;
}

int EngineStream::delay() const {
  return (engine_->equalizer.header.enable == 1 ? EQUALIZER_DELAY : 0) +
         (engine_->suppressor.header.enable == 1 ? SUPPRESSOR_DELAY : 0);
}

size_t EngineStream::output_size(size_t n) const {
  return (pending_ + n) / FRAME_LENGTH * FRAME_LENGTH;
}

void EngineStream::run_frame(const int16_t* in, int16_t* out) {
  // A frame that fails part-way leaves the stages in a state no whole-input run has.
  broken_ = true;
  if (engine_process_frame(engine_.get(), in, out) != 0) {
    throw std::logic_error("the engine refused a frame");  // cannot happen: both frames exist
  }
  broken_ = false;
  ++frames_;
}

size_t EngineStream::process(const int16_t* in, size_t n, int16_t* out) {
  if (broken_) {
    throw std::logic_error("the stream stopped on an arithmetic error: reset it before use");
  }
  size_t written = 0;
  if (pending_ > 0) {
    const size_t take = std::min(n, FRAME_LENGTH - pending_);
    std::copy(in, in + take, pending_frame_ + pending_);
    pending_ += take;
    in += take;
    n -= take;
    if (pending_ < static_cast<size_t>(FRAME_LENGTH)) return 0;
    run_frame(pending_frame_, out);
    pending_ = 0;
    written = FRAME_LENGTH;
  }
  for (; n >= static_cast<size_t>(FRAME_LENGTH); n -= FRAME_LENGTH, in += FRAME_LENGTH) {
    run_frame(in, out + written);
    written += FRAME_LENGTH;
  }
  std::copy(in, in + n, pending_frame_);
  pending_ = n;
  return written;
}

void EngineStream::process(std::span<const int16_t> in, std::vector<int16_t>* out) {
  const size_t at = out->size();
  out->resize(at + output_size(in.size()));
  process(in.data(), in.size(), out->data() + at);
}

size_t EngineStream::flush(bool pad, int16_t* out) {
  if (broken_) {
    throw std::logic_error("the stream stopped on an arithmetic error: reset it before use");
  }
  size_t written = 0;
  if (pad && pending_ > 0) {
    std::fill(pending_frame_ + pending_, pending_frame_ + FRAME_LENGTH, int16_t{0});
    run_frame(pending_frame_, out);
    written = FRAME_LENGTH;
  }
  configure();
  return written;
}

void EngineStream::flush(bool pad, std::vector<int16_t>* out) {
  const size_t at = out->size();
  out->resize(at + FRAME_LENGTH);
  out->resize(at + flush(pad, out->data() + at));
}

}  // namespace halvern
