#include "engine/engine.h"

#include <algorithm>

namespace halvern {

void engine_reset(Engine* engine) {
  engine->header = EngineHeader{nullptr, nullptr, FRAME_LENGTH};
  std::fill(std::begin(engine->frame_buffer), std::end(engine->frame_buffer), int16_t{0});
  highpass_reset(&engine->highpass);
  dither_reset(&engine->dither);
  dynamics_reset(&engine->dynamics);
  equalizer_reset(&engine->equalizer);
  peak_suppressor_reset(&engine->suppressor);
  engine->diagnostics = Diagnostics{};
  engine->observer = nullptr;
}

int engine_bind(Engine* engine, const int16_t* input, int16_t* output) {
  if (input == nullptr || output == nullptr) return -1;
  engine->header.input = input;
  engine->header.output = output;
  for (StageHeader* stage : {&engine->highpass.header, &engine->equalizer.header,
                             &engine->dither.header, &engine->dynamics.header,
                             &engine->suppressor.header}) {
    stage->input = engine->frame_buffer;
    stage->output = engine->frame_buffer;
  }
  engine->suppressor.diagnostics = &engine->diagnostics;
  return 0;
}

void engine_set_stage_mask(Engine* engine, int16_t mask) {
  auto flag = [mask](int16_t bit) { return static_cast<int16_t>((mask & bit) != 0 ? 1 : 0); };
  engine->highpass.header.enable = flag(STAGE_BIT_HIGHPASS);
  engine->dynamics.header.enable = flag(STAGE_BIT_DYNAMICS);
  engine->equalizer.header.enable = flag(STAGE_BIT_EQUALIZER);
  engine->dither.header.enable = flag(STAGE_BIT_DITHER);
  engine->suppressor.header.enable = flag(STAGE_BIT_SUPPRESSOR);
}

void engine_configure(Engine* engine, const TuningSlots& slots) {
  highpass_configure(&engine->highpass, slots);
  dynamics_configure(&engine->dynamics, slots);
  equalizer_configure(&engine->equalizer, slots);
  peak_suppressor_configure(&engine->suppressor, slots);
  dither_configure(&engine->dither, slots);
}

int engine_process_frame_with(Engine* engine, const int16_t* input, int16_t* output,
                              const EngineStageForms& forms) {
  if (engine_bind(engine, input, output) != 0) return -1;
  const int n = engine->header.frame_length;
  std::copy(input, input + n, engine->frame_buffer);
  EngineObserver* observer = engine->observer;
  const auto tap = [engine, observer, n](ChainPosition position) {
    if (observer != nullptr) observer->on_signal(position, engine->frame_buffer, n);
  };
  tap(ChainPosition::kInput);

  // Each stage checks its own enable flag (stage_process).
  if (forms.highpass(&engine->highpass) != 0) return -1;
  tap(ChainPosition::kHighPass);
  if (forms.dynamics(&engine->dynamics) != 0) return -1;
  tap(ChainPosition::kDynamics);
  if (forms.equalizer(&engine->equalizer) != 0) return -1;
  tap(ChainPosition::kEqualizer);
  if (forms.suppressor(&engine->suppressor) != 0) return -1;
  tap(ChainPosition::kSuppressor);
  if (forms.dither(&engine->dither) != 0) return -1;
  tap(ChainPosition::kDither);
  if (observer != nullptr) observer->on_frame_end(*engine);

  std::copy(engine->frame_buffer, engine->frame_buffer + n, output);
  return 0;
}

int engine_process_frame(Engine* engine, const int16_t* input, int16_t* output) {
  return engine_process_frame_with(engine, input, output, ENGINE_FAST);
}

}  // namespace halvern
