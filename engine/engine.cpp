#include "engine/engine.h"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace halvern {

namespace {

// The engine's wiring of each stage of the stage table: its context and its operations.
template <SlotStage ID>
struct Wiring;
template <>
struct Wiring<SlotStage::kHighPass> {
  static HighPassContext& context(Engine& e) { return e.highpass; }
  static constexpr auto reset = &highpass_reset;
  static constexpr auto configure = &highpass_configure;
  static auto process(const EngineStageForms& forms) { return forms.highpass; }
};
template <>
struct Wiring<SlotStage::kDynamics> {
  static DynamicsContext& context(Engine& e) { return e.dynamics; }
  static constexpr auto reset = &dynamics_reset;
  static constexpr auto configure = &dynamics_configure;
  static auto process(const EngineStageForms& forms) { return forms.dynamics; }
};
template <>
struct Wiring<SlotStage::kEqualizer> {
  static EqualizerContext& context(Engine& e) { return e.equalizer; }
  static constexpr auto reset = &equalizer_reset;
  static constexpr auto configure = &equalizer_configure;
  static auto process(const EngineStageForms& forms) { return forms.equalizer; }
};
template <>
struct Wiring<SlotStage::kSuppressor> {
  static PeakSuppressorContext& context(Engine& e) { return e.suppressor; }
  static constexpr auto reset = &peak_suppressor_reset;
  static constexpr auto configure = &peak_suppressor_configure;
  static auto process(const EngineStageForms& forms) { return forms.suppressor; }
};
template <>
struct Wiring<SlotStage::kDither> {
  static DitherContext& context(Engine& e) { return e.dither; }
  static constexpr auto reset = &dither_reset;
  static constexpr auto configure = &dither_configure;
  static auto process(const EngineStageForms& forms) { return forms.dither; }
};

// Calls visit.template operator()<row index>() for every row of the stage table, in chain order,
// while it returns true; false when a call returned false. Unrolled at compile time.
template <typename Visit>
bool each_stage(Visit&& visit) {
  return [&]<size_t... I>(std::index_sequence<I...>) {
    return (visit.template operator()<I>() && ...);
  }
  (std::make_index_sequence<STAGE_TABLE.size()>{});
}

}  // namespace

void engine_reset(Engine* engine) {
  engine->header = EngineHeader{nullptr, nullptr, FRAME_LENGTH};
  std::fill(std::begin(engine->frame_buffer), std::end(engine->frame_buffer), int16_t{0});
  each_stage([engine]<size_t I>() {
    using W = Wiring<STAGE_TABLE[I].id>;
    W::reset(&W::context(*engine));
    return true;
  });
  engine->diagnostics = Diagnostics{};
  engine->observer = nullptr;
}

int engine_bind(Engine* engine, const int16_t* input, int16_t* output) {
  if (input == nullptr || output == nullptr) return -1;
  engine->header.input = input;
  engine->header.output = output;
  each_stage([engine]<size_t I>() {
    StageHeader& stage = Wiring<STAGE_TABLE[I].id>::context(*engine).header;
    stage.input = engine->frame_buffer;
    stage.output = engine->frame_buffer;
    return true;
  });
  engine->suppressor.diagnostics = &engine->diagnostics;
  return 0;
}

void engine_set_stage_mask(Engine* engine, int16_t mask) {
  each_stage([engine, mask]<size_t I>() {
    const bool on = (mask & STAGE_TABLE[I].bit) != 0;
    Wiring<STAGE_TABLE[I].id>::context(*engine).header.enable = static_cast<int16_t>(on ? 1 : 0);
    return true;
  });
}

const StageHeader* engine_stage_header(const Engine& engine, SlotStage stage) {
  const StageHeader* found = nullptr;
  each_stage([&engine, stage, &found]<size_t I>() {
    if (STAGE_TABLE[I].id != stage) return true;
    found = &Wiring<STAGE_TABLE[I].id>::context(const_cast<Engine&>(engine)).header;
    return false;
  });
  return found;
}

void engine_configure(Engine* engine, const TuningSlots& slots) {
  each_stage([engine, &slots]<size_t I>() {
    using W = Wiring<STAGE_TABLE[I].id>;
    W::configure(&W::context(*engine), slots);
    return true;
  });
}

int engine_process_frame_with(Engine* engine, const int16_t* input, int16_t* output,
                              const EngineStageForms& forms) {
  if (engine_bind(engine, input, output) != 0) return -1;
  const int n = engine->header.frame_length;
  std::copy(input, input + n, engine->frame_buffer);
  EngineObserver* observer = engine->observer;
  if (observer != nullptr) observer->on_signal(ChainPosition::kInput, engine->frame_buffer, n);

  // Each stage checks its own enable flag (stage_process).
  const bool ran = each_stage([engine, observer, n, &forms]<size_t I>() {
    using W = Wiring<STAGE_TABLE[I].id>;
    if (W::process(forms)(&W::context(*engine)) != 0) return false;
    if (observer != nullptr) {
      observer->on_signal(chain_position(STAGE_TABLE[I]), engine->frame_buffer, n);
    }
    return true;
  });
  if (!ran) return -1;
  if (observer != nullptr) observer->on_frame_end(*engine);

  std::copy(engine->frame_buffer, engine->frame_buffer + n, output);
  return 0;
}

int engine_process_frame(Engine* engine, const int16_t* input, int16_t* output) {
  return engine_process_frame_with(engine, input, output, ENGINE_FAST);
}

}  // namespace halvern
