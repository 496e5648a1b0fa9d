// halvern-bench: time per 20 ms frame of each stage alone and of the whole chain, on the speech
// example and on full-scale white noise (where saturation is frequent). The counter
// "x_realtime" is 20 ms divided by the time per frame. Also the time `halvern check` and
// `halvern explain` take for one tuning file, beyond starting the program, and the closed loop of
// `halvern loop` with a 0.5 s feedback path: one whole run over the example and its tail, and the
// search of --find-msg over a 10 s source (x_realtime: audio seconds of all its runs per second).

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "tests/matrix/signal_matrix.h"
#include "tools/loop/loop_search.h"
#include "tools/review/tuning_review.h"

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
  state.counters["x_realtime"] = benchmark::Counter(0.020 * static_cast<double>(state.iterations()),
                                                    benchmark::Counter::kIsRate);
}

// The review of a tuning file: loading with positions, the findings, configure and the derived
// settings; with the JSON of explain --json when json is set.
void review_file(benchmark::State& state, bool json) {
  for (auto _ : state) {
    const tools::TuningReview review =
        tools::review_tuning(HALVERN_SOURCE_DIR "/examples/tuning.txt");
    if (json) {
      const std::string text = tools::explain_json(review).dump(2);
      benchmark::DoNotOptimize(text.data());
    }
    benchmark::DoNotOptimize(review.diagnostics.data());
  }
}

// The example with the loop's path of a 0.5 s room.
struct LoopBench {
  std::vector<int16_t> source;
  TuningSlots slots = example_tuning();
  std::vector<double> taps = tools::synthetic_room({0.5, 0.002, 1});
  tools::PartitionedPath path{taps};
};

void loop_run(benchmark::State& state, int16_t mask) {
  LoopBench b;
  b.source = signal("speech");
  tools::LoopSettings settings;
  settings.gain_db = -6;
  settings.stage_mask = mask;
  settings.tail_frames = tools::default_tail_frames(b.taps.size());
  int64_t frames = 0;
  for (auto _ : state) {
    const tools::LoopRun run = tools::run_loop(b.path, b.source, b.slots, settings);
    frames += run.summary.frames;
    benchmark::DoNotOptimize(run.output.data());
  }
  state.counters["x_realtime"] =
      benchmark::Counter(0.020 * static_cast<double>(frames), benchmark::Counter::kIsRate);
}

void loop_find_msg(benchmark::State& state) {
  LoopBench b;
  const std::vector<int16_t>& speech = signal("speech");
  while (b.source.size() < 10 * 16000) {
    b.source.insert(b.source.end(), speech.begin(), speech.end());
  }
  b.source.resize(10 * 16000);
  const tools::NyquistResult nyquist = tools::nyquist_msg(b.taps);
  const tools::LoopInputs inputs{&b.path, &b.source, &b.slots,
                                 tools::default_tail_frames(b.taps.size())};
  double audio = 0;
  for (auto _ : state) {
    const tools::LoopMeasurement m = tools::measure_loop(inputs, nyquist, 31, -30, 30);
    audio += m.runs * 0.020 * static_cast<double>(m.lsd_run.frames);
    benchmark::DoNotOptimize(m.asg_db);
  }
  state.counters["x_realtime"] = benchmark::Counter(audio, benchmark::Counter::kIsRate);
}

void register_all() {
  benchmark::RegisterBenchmark("loop/run/room_0.5s/none", [](benchmark::State& s) {
    loop_run(s, 0);
  })->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("loop/run/room_0.5s/all", [](benchmark::State& s) {
    loop_run(s, 31);
  })->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("loop/find_msg/room_0.5s/10s", loop_find_msg)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("tuning/check/example", [](benchmark::State& s) {
    review_file(s, false);
  })->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("tuning/explain_json/example", [](benchmark::State& s) {
    review_file(s, true);
  })->Unit(benchmark::kMicrosecond);
  std::vector<std::pair<std::string, int16_t>> stages;
  for (const StageInfo& s : STAGE_TABLE) stages.emplace_back(s.trace_name, s.bit);
  stages.emplace_back("all", ALL_STAGES_MASK);
  for (const char* signal_name : {"speech", "noise_0"}) {
    for (const auto& [stage, mask] : stages) {
      const std::string name =
          std::string("frame/") + stage + "/" +
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
