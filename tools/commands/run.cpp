// halvern run INPUT OUTPUT TUNING: one recording through the engine, from and to the audio files
// engineers have, with the signal at every position of the chain (--trace), the statistics
// (--stats) and a summary on screen.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "fixedpoint/diagnostics.h"
#include "tools/io/audio_io.h"
#include "tools/commands/commands.h"
#include "tools/commands/common.h"
#include "tools/running/frame_state.h"
#include "tools/running/run_job.h"
#include "tools/io/safe_file.h"
#include "tools/running/stats.h"
#include "tools/io/tuning_file.h"
#include "tuning/tuning.h"

namespace halvern::tools {

namespace {

struct RunSettings {
  std::string input;
  std::string output;
  std::string tuning;
  ReadOptions read;  // --resample, --channel, --pad
  std::string stages;
  std::string trace;
  std::string stats;
  bool quiet = false;
};

// The trace: the signal at every position of the chain, one file each in the output's format,
// and frames.csv with every stage's state at the end of each frame.
class TraceWriter : public EngineObserver {
 public:
  TraceWriter(const std::string& folder, const AudioFormat& format) {
    for (int p = 0; p < CHAIN_POSITION_COUNT; ++p) {
      const std::string path = signal_path(folder, static_cast<ChainPosition>(p), format);
      signals_.push_back(std::make_unique<AudioWriter>(path, format));
    }
    csv_file_ = std::make_unique<SafeFile>(frames_path(folder));
    csv_ = frames_csv_header();
  }

  static std::string signal_path(const std::string& folder, ChainPosition p, const AudioFormat& format) {
    return (std::filesystem::path(folder) /
            (std::to_string(static_cast<int>(p)) + "_" + position_name(p) + format.extension))
        .string();
  }
  static std::string frames_path(const std::string& folder) {
    return (std::filesystem::path(folder) / "frames.csv").string();
  }

  void on_signal(ChainPosition position, const int16_t* frame, int n) override {
    signals_[static_cast<size_t>(position)]->write(frame, static_cast<size_t>(n));
  }

  void on_frame_end(const Engine& engine) override {
    csv_ += frames_csv_row(capture_frame_state(engine, frame_++));
    if (csv_.size() > (1 << 16)) flush_csv();
  }

  void commit() {
    for (auto& writer : signals_) writer->commit();
    flush_csv();
    csv_file_->commit();
  }

 private:
  void flush_csv() {
    csv_file_->write(csv_.data(), csv_.size());
    csv_.clear();
  }

  std::vector<std::unique_ptr<AudioWriter>> signals_;
  std::unique_ptr<SafeFile> csv_file_;
  std::string csv_;
  int64_t frame_ = 0;
};

// "[#####-----]  50%  2240x real time  0:05 left" on standard error, at most ten times a second.
class ProgressBar {
 public:
  void update(int64_t done, int64_t total) {
    const auto now = std::chrono::steady_clock::now();
    if (done < total && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    const double fraction = total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 1;
    const double speed = elapsed > 0 ? static_cast<double>(done) * 0.02 / elapsed : 0;
    const double left = done > 0 ? elapsed * static_cast<double>(total - done) / static_cast<double>(done) : 0;
    constexpr int WIDTH = 30;
    const int filled = static_cast<int>(fraction * WIDTH);
    std::fprintf(stderr, "\r[%s%s] %3d%%  %6.0fx real time  %d:%02d left ",
                 std::string(static_cast<size_t>(filled), '#').c_str(),
                 std::string(static_cast<size_t>(WIDTH - filled), '-').c_str(),
                 static_cast<int>(fraction * 100), speed, static_cast<int>(left) / 60,
                 static_cast<int>(left) % 60);
    shown_ = true;
  }
  void clear() {
    if (shown_) std::fprintf(stderr, "\r%*s\r", 79, "");
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_ = start_;  // the first line after 100 ms
  bool shown_ = false;
};

std::string stage_names(int16_t mask) {
  std::string names;
  for (const StageInfo& s : STAGE_TABLE) {
    if ((mask & s.bit) != 0) names += (names.empty() ? "" : ",") + std::string(s.key);
  }
  return names.empty() ? "none" : names;
}

// Refuses an output that would replace the input recording or the tuning file.
void refuse_overwrite(const RunSettings& s, const std::string& output) {
  for (const std::string* input : {&s.input, &s.tuning}) {
    if (same_file(output, *input)) {
      throw ToolError("refusing to write " + output + ": it is the " +
                       (input == &s.input ? "input recording" : "tuning file") +
                       "; choose another output path");
    }
  }
}

int run(const RunSettings& s) {
  // Everything that can be refused is checked before any output is created.
  JobOptions options;
  if (!s.stages.empty()) {
    try {
      options.stage_mask = parse_stage_list(s.stages);
    } catch (const std::invalid_argument& e) {
      throw ToolError(e.what());
    }
  }
  const TuningSlots slots = read_tuning_file(s.tuning);
  refuse_overwrite(s, s.output);
  if (!s.stats.empty()) refuse_overwrite(s, s.stats);
  const AudioFormat format = format_for_path(s.output);
  if (!s.trace.empty()) {
    std::error_code error;
    std::filesystem::create_directories(s.trace, error);
    if (error) throw ToolError("cannot create the trace folder " + s.trace + ": " + error.message());
    for (int p = 0; p < CHAIN_POSITION_COUNT; ++p) {
      refuse_overwrite(s, TraceWriter::signal_path(s.trace, static_cast<ChainPosition>(p), format));
    }
    refuse_overwrite(s, TraceWriter::frames_path(s.trace));
  }
  AudioReader reader(s.input, s.read);  // refuses an input it cannot use

  // The outputs are created (under temporary names) before the work, so that a path that cannot
  // be written is reported at once, as a usage error.
  AudioWriter output(s.output, format);
  std::unique_ptr<TraceWriter> trace;
  if (!s.trace.empty()) trace = std::make_unique<TraceWriter>(s.trace, format);
  options.observer = trace.get();
  ProgressBar bar;
  try {
    if (!s.quiet && isatty(STDERR_FILENO) != 0) {
      options.progress = [&bar](int64_t done, int64_t total) { bar.update(done, total); };
    }
    JobResult result;
    try {
      // Read, run and written in blocks: a read or a write that fails part-way is a ToolError
      // (status 2), as one refused at once.
      result = run_stream(reader, slots, options, [&output](std::span<const int16_t> block) {
        output.write(block.data(), block.size());
      });
    } catch (const ArithmeticFault& fault) {
      bar.clear();
      std::string message = fault.what();
      while (!message.empty() && message.back() == '\n') message.pop_back();
      throw ToolError(s.tuning + ": the engine stopped: " + message, EXIT_FINDING);
    }
    bar.clear();
    const AudioInput& audio = reader.info();
    for (const std::string& note : audio.notes) std::fprintf(stderr, "note: %s\n", note.c_str());
    if (format.lossy) {
      std::fprintf(
          stderr,
          "note: %s is %s, a lossy format: it does not hold the engine's samples bit for bit\n",
          s.output.c_str(), format.name.c_str());
    }
    for (const std::string& message : result.diagnostics) {
      std::fprintf(stderr, "engine: %s%s", message.c_str(), message.ends_with('\n') ? "" : "\n");
    }
    if (const std::string note = dropped_note(result.stats); !note.empty()) {
      std::fprintf(stderr, "note: %s\n", note.c_str());
    }
    output.commit();
    if (trace) trace->commit();
    if (!s.stats.empty()) write_text_file(s.stats, stats_to_json(result.stats).dump(2) + "\n");

    if (!s.quiet) {
      std::FILE* console = s.output == "-" ? stderr : stdout;
      const int16_t mask = options.stage_mask.value_or(slots[STAGE_MASK_SLOT]);
      std::fprintf(console, "%s -> %s\ninput:  %s\nstages: %s%s\n%s", s.input.c_str(),
                   s.output.c_str(), audio.description.c_str(), stage_names(mask).c_str(),
                   options.stage_mask ? " (--stages)" : " (slot 0)",
                   stats_summary(result.stats).c_str());
      if (std::fflush(console) != 0) throw ToolError("cannot write the summary", EXIT_TROUBLE);
    }
  } catch (const ToolError&) {
    bar.clear();
    throw;  // a write that failed: nothing half-written is left behind
  }
  return 0;
}

}  // namespace

void add_run_command(CLI::App& app, int* status) {
  auto settings = std::make_shared<RunSettings>();
  CLI::App* sub = app.add_subcommand(
      "run", "run a recording (WAV, FLAC, ... or raw .pcm) through the engine with a tuning file");
  sub->add_option("INPUT", settings->input,
                  "the recording: any format libsndfile reads, .pcm/.raw for headerless 16-bit "
                  "16 kHz mono, - for raw on standard input")
      ->required();
  sub->add_option("OUTPUT", settings->output,
                  "the processed recording, in the format of its extension; - for raw on standard output")
      ->required();
  sub->add_option("TUNING", settings->tuning, "the tuning file")->required()->check(CLI::ExistingFile);
  add_read_options(sub, &settings->read, "the recording", true);
  sub->add_option("--stages", settings->stages,
                  "the stages to run, replacing slot 0: a list of " + stage_keys(", ") + ", or none");
  sub->add_option("--trace", settings->trace,
                  "write the signal at every position of the chain and frames.csv to this folder");
  sub->add_option("--stats", settings->stats, "write the statistics to this JSON file");
  add_quiet_option(sub, &settings->quiet, "no progress bar and no summary");
  sub->callback([settings, status] { *status = run(*settings); });
}

}  // namespace halvern::tools
