// halvern run INPUT OUTPUT TUNING: one recording through the engine, from and to the audio files
// engineers have, with the signal at every position of the chain (--trace), the statistics
// (--stats) and a summary on screen.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "fixedpoint/diagnostics.h"
#include "tools/commands/commands.h"
#include "tools/commands/common.h"
#include "tools/commands/interrupts.h"
#include "tools/io/audio_io.h"
#include "tools/io/safe_file.h"
#include "tools/review/tuning_gate.h"
#include "tools/running/run_job.h"
#include "tools/running/stats.h"
#include "tools/running/trace.h"
#include "tuning/tuning.h"

namespace halvern::tools {

namespace {

struct RunSettings {
  std::string input;
  std::string output;
  std::string tuning;
  ReadOptions read;  // --resample, --channel, --pad
  std::optional<std::string> stages;
  std::string trace;
  std::string stats;
  bool quiet = false;
  bool allow_tuning_errors = false;
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
    const double left =
        done > 0 ? elapsed * static_cast<double>(total - done) / static_cast<double>(done) : 0;
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

// "halvern run IN TUNING OUT": the output is a tuning file and the tuning is none (missing, or a
// recording).
void refuse_swapped_arguments(const RunSettings& s) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(s.output, error)) return;
  const TuningReview output = review_tuning(s.output);
  if (!output.readable || output.count(Severity::kError) > 0) return;
  const bool tuning_missing = !std::filesystem::exists(s.tuning, error);
  if (!tuning_missing && review_tuning(s.tuning).count(Severity::kError) == 0) return;
  throw ToolError((tuning_missing ? "the tuning file " + s.tuning + " does not exist"
                                  : s.tuning + " is not a tuning file") +
                  ", and " + s.output +
                  " (given as the output) is one: the arguments are in "
                  "the wrong order; write halvern run " +
                  s.input + " " + s.tuning + " " + s.output + " (INPUT OUTPUT TUNING)");
}

// The output paths refused (ToolError) when they would overwrite the input or the tuning or
// cannot be written; the output's format.
AudioFormat check_run_outputs(const RunSettings& s) {
  refuse_overwrite(s, s.output);
  check_output_path(s.output);
  if (!s.stats.empty()) {
    refuse_overwrite(s, s.stats);
    check_output_path(s.stats);
  }
  const AudioFormat format = format_for_path(s.output);
  if (!s.trace.empty()) {
    for (const std::string& path : TraceWriter::paths(s.trace, format)) refuse_overwrite(s, path);
  }
  return format;
}

// What the run noticed, on standard error: the input's notes, a lossy output, the engine's
// messages and the samples past the last frame.
void print_run_notes(const RunSettings& s, const AudioFormat& format, const AudioInput& audio,
                     const JobResult& result) {
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
}

// The summary of a run: what went in and out, the stages and the statistics.
void print_run_summary(const RunSettings& s, const AudioInput& audio, int16_t mask,
                       const RunStats& stats) {
  std::FILE* console = s.output == "-" ? stderr : stdout;
  std::fprintf(console, "%s -> %s\ninput:  %s\nstages: %s%s\n%s", s.input.c_str(), s.output.c_str(),
               audio.description.c_str(), stage_names(mask).c_str(),
               s.stages ? " (--stages)" : " (slot 0)", stats_summary(stats).c_str());
  if (std::fflush(console) != 0) throw ToolError("cannot write the summary", EXIT_TROUBLE);
}

int run(const RunSettings& s) {
  // Everything that can be refused is checked before any output is created.
  JobOptions options;
  if (s.stages) options.stage_mask = stages_option(*s.stages);
  refuse_swapped_arguments(s);
  const TuningSlots slots = judged_tuning(s.tuning, s.allow_tuning_errors).slots;
  const AudioFormat format = check_run_outputs(s);
  AudioReader reader(s.input, s.read);  // refuses an input it cannot use

  // The outputs are created (under temporary names) before the work, so that a path that cannot
  // be written is reported at once, as a usage error.
  TemporaryFiles* temporaries = interrupt_temporaries();
  std::unique_ptr<SafeFile> stats_file;
  if (!s.stats.empty()) stats_file = std::make_unique<SafeFile>(s.stats, temporaries);
  AudioWriter output(s.output, format, temporaries);
  std::unique_ptr<TraceWriter> trace;
  if (!s.trace.empty()) trace = std::make_unique<TraceWriter>(s.trace, format, temporaries);

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
    print_run_notes(s, format, audio, result);
    output.commit();
    const int16_t mask = options.stage_mask.value_or(slots[STAGE_MASK_SLOT]);
    if (trace) trace->commit({s.input, s.tuning, stage_names(mask), result.stats.frames});
    if (stats_file) {
      const std::string text = stats_to_json(result.stats).dump(2) + "\n";
      stats_file->write(text.data(), text.size());
      stats_file->commit();
    }

    if (!s.quiet) print_run_summary(s, audio, mask, result.stats);
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
      "run",
      "run a recording (WAV, FLAC, Ogg, ... or raw .pcm) through the engine with a tuning file");
  sub->add_option("INPUT", settings->input,
                  "the recording: WAV, FLAC, Ogg, AIFF and the other common formats, .pcm/.raw for "
                  "headerless 16-bit 16 kHz mono, - for raw on standard input")
      ->type_name("FILE")
      ->required();
  sub->add_option(
         "OUTPUT", settings->output,
         "the processed recording, in the format of its extension; - for raw on standard output")
      ->type_name("FILE")
      ->required();
  sub->add_option("TUNING", settings->tuning, "the tuning file")->type_name("FILE")->required();
  add_read_options(sub, &settings->read, "the recording", true);
  sub->add_option(
         "--stages", settings->stages,
         "the stages to run, replacing slot 0: a list of " + stage_keys(", ") + ", or none")
      ->type_name("LIST");
  sub->add_option("--trace", settings->trace,
                  "write the signal at every position of the chain, frames.csv and trace.json to "
                  "this folder (an earlier trace there is replaced)")
      ->type_name("FOLDER");
  sub->add_option("--stats", settings->stats, "write the statistics to this JSON file")
      ->type_name("FILE");
  add_quiet_option(sub, &settings->quiet, "no progress bar and no summary");
  add_allow_tuning_errors_option(sub, &settings->allow_tuning_errors);
  sub->callback([settings, status] { *status = run(*settings); });
}

}  // namespace halvern::tools
