// halvern report INPUT TUNING [-o report.html]: one self-contained page to see and hear what a
// tuning does to a recording: players for every position of the chain, the stages' state frame
// by frame, the curves of the tuning measured on the stages, the statistics and the settings.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "fixedpoint/diagnostics.h"
#include "tools/commands/commands.h"
#include "tools/commands/common.h"
#include "tools/commands/interrupts.h"
#include "tools/io/audio_io.h"
#include "tools/report/report_bundle.h"
#include "tools/report/report_page.h"
#include "tools/review/curves.h"
#include "tools/review/tuning_gate.h"
#include "tools/review/tuning_review.h"
#include "tools/running/run_job.h"
#include "tools/running/stats.h"

namespace halvern::tools {

namespace {

struct ReportSettings {
  std::string input;
  std::string tuning;
  std::string output = "report.html";
  bool audio_beside = false;
  ReadOptions read;  // --resample, --channel, --pad
  double from = 0;   // --from, seconds
  double to = -1;    // --to, seconds; -1: the end
  bool quiet = false;
  bool allow_tuning_errors = false;
};

constexpr const char* NO_REPORT =
    "this program was built without the report page, which needs Node.js and npm "
    "at build time.\nInstall them (Debian: sudo apt-get install -y nodejs npm), then reconfigure "
    "and rebuild:\n  cmake -S . -B build -DHALVERN_REPORT=ON && cmake --build build -j2";

// Past this size an embedded page is better written with --audio-beside (see the README).
constexpr uint64_t LARGE_PAGE = 25'000'000;
// The page holds every frame's state (about 130 bytes of it a frame) and, embedded, every signal
// offered (853 bytes a frame each, in base64). Past LARGEST_PAGE a browser takes minutes to open
// it, if it can; with the audio beside, the page stays small but opening still decodes whole
// signals and the report holds all of them in memory, so it covers at most LONGEST_BESIDE.
constexpr int64_t LARGEST_PAGE = 200'000'000;
constexpr int64_t TRACE_BYTES_PER_FRAME = 130;
constexpr int64_t AUDIO_BYTES_PER_FRAME = (2 * FRAME_LENGTH + 2) / 3 * 4;
constexpr int64_t LONGEST_BESIDE = 3600;  // seconds

const char* severity_name(Severity s) {
  switch (s) {
    case Severity::kError: return "error";
    case Severity::kWarning: return "warning";
    case Severity::kNote: return "note";
  }
  return "note";
}

std::string utc_now() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M UTC", &tm);
  return buffer;
}

// One line on standard error that says what is being done, kept up to date on a terminal.
class Steps {
 public:
  explicit Steps(bool show) : show_(show && isatty(STDERR_FILENO) != 0) {}
  void say(const std::string& text) {
    if (!show_) return;
    std::fprintf(stderr, "\r%-70s", text.c_str());
    shown_ = true;
  }
  void done() {
    if (shown_) std::fprintf(stderr, "\r%70s\r", "");
    shown_ = false;
  }

 private:
  bool show_;
  bool shown_ = false;
};

std::string clock_text(int64_t samples) {
  const int64_t seconds = (samples + ENGINE_SAMPLE_RATE / 2) / ENGINE_SAMPLE_RATE;
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  return text;
}

// The samples the report covers: the whole input or the excerpt of --from and --to, read in
// blocks and refused (ToolError) past most samples, before the rest is read.
AudioInput read_report_input(const ReportSettings& s, int64_t most) {
  AudioReader reader(s.input, s.read);
  const int64_t first = std::llround(s.from * ENGINE_SAMPLE_RATE);
  const int64_t end =
      s.to < 0 ? std::numeric_limits<int64_t>::max() : std::llround(s.to * ENGINE_SAMPLE_RATE);
  std::vector<int16_t> samples;
  std::vector<int16_t> block(16384);
  int64_t at = 0;  // samples of the input read
  for (size_t n = 0; at < end && (n = reader.read(block.data(), block.size())) > 0;
       at += static_cast<int64_t>(n)) {
    const int64_t from = std::clamp<int64_t>(first - at, 0, static_cast<int64_t>(n));
    const int64_t to = std::clamp<int64_t>(end - at, 0, static_cast<int64_t>(n));
    samples.insert(samples.end(), block.begin() + from, block.begin() + std::max(from, to));
    if (static_cast<int64_t>(samples.size()) <= most) continue;
    const int64_t expected = reader.expected_samples();
    const bool excerpt = s.from > 0 || s.to >= 0;
    const std::string name = (excerpt ? "the excerpt of " : "") +
                             (s.input == "-" ? std::string("standard input") : s.input);
    const std::string length = !excerpt && expected > most
                                   ? name + " is " + clock_text(expected) + " long, and "
                                   : name + " is too long: ";
    if (s.audio_beside) {
      throw ToolError(length + "a report covers at most " + clock_text(most) +
                      " (it holds every signal of the chain in memory, and the page decodes "
                      "whole signals): report an excerpt with --from and --to (seconds), or run "
                      "it with halvern run --trace and --stats");
    }
    throw ToolError(length + "a page with the audio in it covers at most " + clock_text(most) +
                    " (" + std::to_string(LARGEST_PAGE / 1'000'000) +
                    " MB; larger pages take minutes to open, if they open): write the audio "
                    "beside the page with --audio-beside, or report an excerpt with --from and "
                    "--to (seconds)");
  }
  if (first > 0 && at <= first) {
    char text[64];
    std::snprintf(text, sizeof text, " ends at %.3f s, before --from %g",
                  static_cast<double>(at) / ENGINE_SAMPLE_RATE, s.from);
    throw ToolError(s.input + text);
  }
  AudioInput audio = reader.info();
  audio.samples = std::move(samples);
  if (first > 0 || s.to >= 0) {
    char note[160];
    std::snprintf(note, sizeof note,
                  "%s: the excerpt from %.3f s to %.3f s; the engine starts afresh at its start "
                  "and the page counts time from there",
                  s.input.c_str(), static_cast<double>(first) / ENGINE_SAMPLE_RATE,
                  static_cast<double>(first + static_cast<int64_t>(audio.samples.size())) /
                      ENGINE_SAMPLE_RATE);
    audio.notes.push_back(note);
  }
  return audio;
}

// Refuses (ToolError) an output that is the input or the tuning, an empty excerpt, and an
// output folder that cannot be written, before anything is read.
void check_report_paths(const ReportSettings& s, const TuningReview& review) {
  std::vector<std::string> outputs{s.output};
  if (s.audio_beside) {
    const auto files = beside_files(s.output, review.slots[STAGE_MASK_SLOT]);
    outputs.insert(outputs.end(), files.begin(), files.end());
  }
  for (const std::string& output : outputs) {
    for (const std::string* path : {&s.input, &s.tuning}) {
      if (same_file(output, *path)) {
        throw ToolError("refusing to write " + output + ": it is the " +
                            (path == &s.input ? "input recording" : "tuning file") +
                            "; choose another path with -o",
                        EXIT_TROUBLE);
      }
    }
  }
  if (s.to >= 0 && s.to <= s.from) throw ToolError("--to must come after --from", EXIT_TROUBLE);
  check_output_path(s.output);
}

// The most samples the report covers.
int64_t longest_report(const ReportSettings& s, const TuningReview& review) {
  const auto signals = static_cast<int64_t>(report_signals(review.slots[STAGE_MASK_SLOT]).size());
  const int64_t page_frames =
      LARGEST_PAGE / (TRACE_BYTES_PER_FRAME + AUDIO_BYTES_PER_FRAME * signals);
  return s.audio_beside ? LONGEST_BESIDE * ENGINE_SAMPLE_RATE : page_frames * FRAME_LENGTH;
}

// Runs the engine over the report's samples, keeping every signal and frame; prints the notes
// of the run as halvern run does. Throws ToolError when the engine stops or there is no frame.
JobResult run_for_report(const ReportSettings& s, const TuningReview& review,
                         const AudioInput& audio, Steps& steps) {
  JobOptions options;
  options.keep_signals = true;
  options.keep_frames = true;
  options.progress = [&steps](int64_t done, int64_t total) {
    steps.say("running the engine: " + std::to_string(total > 0 ? done * 100 / total : 100) + "%");
  };
  JobResult run;
  try {
    run = run_job(audio.samples, review.slots, options);
  } catch (const ArithmeticFault& fault) {
    steps.done();
    std::string why;
    for (const Diagnostic& d : review.diagnostics) {
      if (d.severity == Severity::kError) why += "\n  " + format_diagnostic(s.tuning, d);
    }
    std::string what = fault.what();
    while (!what.empty() && what.back() == '\n') what.pop_back();
    throw ToolError(s.tuning + ": the engine stopped: " + what + why, EXIT_FINDING);
  }
  steps.done();
  if (run.stats.frames == 0) {
    throw ToolError(
        s.input + " holds no complete 20 ms frame (320 samples at 16 kHz): nothing to report",
        EXIT_TROUBLE);
  }
  for (const std::string& message : run.diagnostics) {
    std::fprintf(stderr, "engine: %s%s", message.c_str(), message.ends_with('\n') ? "" : "\n");
  }
  return run;
}

// What the page shows, but the curves and the run, which the caller keeps.
ReportContent report_content(const ReportSettings& s, const TuningReview& review,
                             const AudioInput& audio, const std::string& dropped) {
  ReportContent content;
  content.input_path = s.input;
  content.input_description = audio.description;
  content.tuning_path = s.tuning;
  content.report_path = s.output;
  content.created = utc_now();
  content.program = std::string("halvern ") + HALVERN_VERSION;
  content.stage_mask = review.slots[STAGE_MASK_SLOT];
  content.explained = explain_json(review);
  for (const Diagnostic& d : review.diagnostics) {
    content.findings.push_back({severity_name(d.severity), format_diagnostic(s.tuning, d)});
  }
  content.notes = audio.notes;  // each names its file
  if (!dropped.empty()) content.notes.push_back(s.input + ": " + dropped);
  return content;
}

int report(const ReportSettings& s) {
  if (!report_bundle_available()) throw ToolError(NO_REPORT, EXIT_TROUBLE);
  const TuningReview review = judged_tuning(s.tuning, s.allow_tuning_errors);
  check_report_paths(s, review);
  const AudioInput audio = read_report_input(s, longest_report(s, review));
  for (const std::string& note : audio.notes) std::fprintf(stderr, "note: %s\n", note.c_str());

  Steps steps(!s.quiet);
  const JobResult run = run_for_report(s, review, audio, steps);
  const std::string dropped = dropped_note(run.stats);
  if (!dropped.empty()) std::fprintf(stderr, "note: %s: %s\n", s.input.c_str(), dropped.c_str());
  steps.say("measuring the curves of the tuning");
  const TuningCurves curves = tuning_curves(review.slots);
  ReportContent content = report_content(s, review, audio, dropped);
  content.run = &run;
  content.curves = &curves;
  for (const std::string& message : run.diagnostics) content.notes.push_back("engine: " + message);

  steps.say("writing " + s.output);
  uint64_t bytes = 0;
  try {
    bytes =
        write_report(content, s.audio_beside ? AudioPlacement::kBeside : AudioPlacement::kEmbedded,
                     report_script(), report_style(), interrupt_temporaries());
  } catch (const ToolError&) {
    steps.done();
    throw;
  }
  steps.done();
  if (!s.quiet) {
    std::printf("wrote %s (%.1f MB, %.1f s of audio, %zu findings)%s\n", s.output.c_str(),
                static_cast<double>(bytes) / 1e6, run.stats.audio_seconds(),
                content.findings.size(),
                s.audio_beside ? (", audio in " + audio_folder_for(s.output) + "/").c_str() : "");
    if (!s.audio_beside && bytes > LARGE_PAGE) {
      std::printf(
          "note: the page is large to mail or open in an editor; --audio-beside writes the audio "
          "beside it and keeps the page small\n");
    }
    if (std::fflush(stdout) != 0) throw ToolError("cannot write to standard output", EXIT_TROUBLE);
  }
  return 0;
}

}  // namespace

void add_report_command(CLI::App& app, int* status) {
  auto settings = std::make_shared<ReportSettings>();
  CLI::App* sub = app.add_subcommand(
      "report",
      "write one self-contained HTML page that shows and plays what a tuning does to a recording");
  sub->add_option("INPUT", settings->input,
                  "the recording: WAV, FLAC, Ogg, AIFF and the other common formats, .pcm/.raw for "
                  "headerless 16-bit 16 kHz mono, - for raw on standard input")
      ->type_name("FILE")
      ->required();
  sub->add_option("TUNING", settings->tuning, "the tuning file")->type_name("FILE")->required();
  sub->add_option("-o,--output", settings->output, "the page to write (default: report.html)")
      ->type_name("FILE");
  sub->add_flag(
      "--audio-beside", settings->audio_beside,
      "write the audio into a folder beside the page instead of into it (for long recordings)");
  add_read_options(sub, &settings->read, "the recording", true);
  sub->add_option("--from", settings->from, "report the excerpt that starts here, in seconds")
      ->type_name("SECONDS")
      ->check(CLI::NonNegativeNumber.description(""));
  sub->add_option("--to", settings->to, "report the excerpt that ends here, in seconds")
      ->type_name("SECONDS")
      ->check(CLI::PositiveNumber.description(""));
  add_quiet_option(sub, &settings->quiet, "print nothing but errors");
  add_allow_tuning_errors_option(sub, &settings->allow_tuning_errors);
  sub->callback([settings, status] { *status = report(*settings); });
}

}  // namespace halvern::tools
