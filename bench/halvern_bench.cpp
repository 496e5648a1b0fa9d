// halvern-bench: time per 20 ms frame of each stage alone and of the whole chain, on the speech
// example and on full-scale white noise (where saturation is frequent). The counter
// "x_realtime" is 20 ms divided by the time per frame. Also the time `halvern check` and
// `halvern explain` take for one tuning file, beyond starting the program.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "tools/review/tuning_review.h"
#include "tests/matrix/signal_matrix.h"

namespace {

using namespace halvern;

const std::vector<MatrixSignal>& signals() {
  static const std::vector<MatrixSignal> all =
      matrix_signals(HALVERN_SOURCE_DIR "/examples/speech_howl.pcm", 300);
  return all;
}

const std::vector<int16_t>& signal(const std::string& name) {
  for (const MatrixSignal& s : signals()) {
    if (s.name == name) return s.samples;
  }
  static const std::vector<int16_t> none;
  return none;
}

void run_frames(benchmark::State& state, int16_t mask, const std::string& signal_name) {
  const std::vector<int16_t>& input = signal(signal_name);
  if (input.empty()) {
    state.SkipWithError("signal missing");
    return;
  }
  TuningSlots slots = example_tuning();
  slots[STAGE_MASK_SLOT] = mask;
  auto engine = std::make_unique<Engine>();
  int16_t in[FRAME_CAPACITY] = {};
  int16_t out[FRAME_CAPACITY] = {};
  engine_reset(engine.get());
  engine_bind(engine.get(), in, out);
  engine_set_stage_mask(engine.get(), mask);
  engine_configure(engine.get(), slots);
  const size_t frames = input.size() / FRAME_LENGTH;
  size_t frame = 0;
  for (auto _ : state) {
    std::copy_n(input.begin() + static_cast<ptrdiff_t>(frame * FRAME_LENGTH), FRAME_LENGTH, in);
    engine_process_frame(engine.get(), in, out);
    benchmark::DoNotOptimize(out);
    frame = frame + 1 == frames ? 0 : frame + 1;
  }
  state.counters["x_realtime"] = benchmark::Counter(
      0.020 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// The review of a tuning file: loading with positions, the findings, configure and the derived
// settings; with the JSON of explain --json when json is set.
void review_file(benchmark::State& state, bool json) {
  for (auto _ : state) {
    const tools::TuningReview review = tools::review_tuning(HALVERN_SOURCE_DIR "/examples/tuning.txt");
    if (json) {
      const std::string text = tools::explain_json(review).dump(2);
      benchmark::DoNotOptimize(text.data());
    }
    benchmark::DoNotOptimize(review.diagnostics.data());
  }
}

void register_all() {
  benchmark::RegisterBenchmark("tuning/check/example", [](benchmark::State& s) { review_file(s, false); })
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("tuning/explain_json/example", [](benchmark::State& s) { review_file(s, true); })
      ->Unit(benchmark::kMicrosecond);
  std::vector<std::pair<std::string, int16_t>> stages;
  for (const StageInfo& s : STAGE_TABLE) stages.emplace_back(s.trace_name, s.bit);
  stages.emplace_back("all", ALL_STAGES_MASK);
  for (const char* signal_name : {"speech", "noise_0"}) {
    for (const auto& [stage, mask] : stages) {
      const std::string name = std::string("frame/") + stage + "/" +
                               (std::string(signal_name) == "speech" ? "speech" : "full_scale_noise");
      benchmark::RegisterBenchmark(name.c_str(), [mask = mask, signal_name](benchmark::State& s) {
        run_frames(s, mask, signal_name);
      })->Unit(benchmark::kNanosecond);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  register_all();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
