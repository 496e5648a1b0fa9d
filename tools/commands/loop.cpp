// halvern loop SOURCE TUNING: the engine in a closed acoustic loop, its loudspeaker heard again by
// its microphone through a feedback path; one run at a gain, the maximum stable gain with and
// without the peak suppressor (--find-msg), or a range of gains (--sweep).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "fixedpoint/diagnostics.h"
#include "tools/commands/commands.h"
#include "tools/commands/common.h"
#include "tools/commands/interrupts.h"
#include "tools/io/audio_io.h"
#include "tools/io/csv.h"
#include "tools/loop/loop_search.h"
#include "tools/review/tuning_gate.h"
#include "tools/running/run_job.h"

namespace halvern::tools {

namespace {

using Json = nlohmann::ordered_json;

constexpr double GAIN_LIMIT_DB = 100;
constexpr double TAIL_MAX_S = 60;
constexpr size_t SWEEP_MAX_POINTS = 1000;

struct LoopOptions {
  std::string source;
  std::string tuning;
  ReadOptions read;
  std::string path_file;
  std::string room;
  std::string save_path;
  std::optional<std::string> stages;
  double gain_db = 0;
  std::optional<double> tail_s;
  std::string mic;
  std::string speaker;
  bool find_msg = false;
  double min_gain_db = -30;
  double max_gain_db = 30;
  std::string sweep;
  bool json = false;
  bool allow_tuning_errors = false;
};

// Everything the loop runs on, once read and checked.
struct Setup {
  std::string path_description;
  std::vector<double> path;
  TuningSlots slots{};
  int16_t stage_mask = 0;
  bool stages_given = false;
  std::vector<int16_t> source;  // whole frames
  int64_t tail_frames = 0;
};

Json number_json(double v) { return std::isfinite(v) ? Json(v) : Json(nullptr); }

// Two decimals, as the figures are printed and written (JSON keeps them so).
double two_decimals(double v) { return std::isfinite(v) ? std::round(v * 100) / 100 : v; }

std::string db_text(double db) {
  if (std::isnan(db)) return "-";
  if (std::isinf(db)) return db > 0 ? "inf" : "-inf";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", db);
  return text;
}

void refuse_overwrite(const LoopOptions& o, const std::string& output) {
  if (output.empty()) return;
  for (const std::string* input : {&o.source, &o.tuning, &o.path_file}) {
    if (!input->empty() && same_file(output, *input)) {
      throw ToolError("refusing to write " + output + ": it is an input of the loop (" + *input +
                      "); choose another output path");
    }
  }
}

// Refuses (ToolError) options that do not go together or lie out of range, before any work.
void check_loop_options(const LoopOptions& o) {
  if (o.path_file.empty() == o.room.empty()) {
    throw ToolError(
        std::string(o.room.empty() ? "give the feedback path" : "give one feedback path") +
        ": --path IR.wav or --room rt60=0.4,delay=2ms,seed=1");
  }
  const bool single = !o.find_msg && o.sweep.empty();
  if (!single && (!o.mic.empty() || !o.speaker.empty())) {
    throw ToolError(
        "--mic and --speaker write one run at --gain: leave out --find-msg and --sweep");
  }
  if (!o.mic.empty() && o.mic == o.speaker) {
    throw ToolError("--mic and --speaker name one file: give them two");
  }
  for (const double gain : {o.gain_db, o.min_gain_db, o.max_gain_db}) {
    if (!(std::fabs(gain) <= GAIN_LIMIT_DB)) {
      throw ToolError("gains lie between -100 and 100 dB: " + db_text(gain) + " is out of range");
    }
  }
  if (!(o.min_gain_db + MSG_STEP_DB <= o.max_gain_db)) {
    throw ToolError("--min-gain must lie at least 0.1 dB below --max-gain");
  }
  for (const std::string* output : {&o.mic, &o.speaker, &o.save_path}) refuse_overwrite(o, *output);
  for (const std::string* output : {&o.mic, &o.speaker}) {
    if (!output->empty()) format_for_path(*output);
  }
  if (!o.save_path.empty() && !o.save_path.ends_with(".wav")) {
    throw ToolError("--save-path " + o.save_path + ": the path is written as WAV; name it .wav");
  }
}

// The feedback path of --room or --path, described; written to --save-path when given.
void read_feedback_path(const LoopOptions& o, Setup* setup) {
  Setup& s = *setup;
  if (!o.room.empty()) {
    try {
      const RoomSpec room = parse_room_spec(o.room);
      s.path = synthetic_room(room);
      char text[160];
      std::snprintf(text, sizeof text, "room rt60=%g s, delay=%g ms, seed=%llu", room.rt60_s,
                    room.delay_s * 1000, static_cast<unsigned long long>(room.seed));
      s.path_description = text;
    } catch (const std::invalid_argument& e) {
      throw ToolError(e.what());
    }
  } else {
    ImpulseResponse response = read_impulse_response(o.path_file, PATH_MAX_TAPS);
    s.path = std::move(response.samples);
    s.path_description = o.path_file + " (" + response.description + ")";
  }
  s.path_description += ", " + std::to_string(s.path.size()) + " taps";
  if (!o.save_path.empty()) write_impulse_response(o.save_path, s.path, interrupt_temporaries());
}

// The source recording's whole frames (a partial last frame is left out, with a note).
std::vector<int16_t> read_loop_source(const LoopOptions& o) {
  AudioInput audio = read_audio(o.source, o.read);
  for (const std::string& note : audio.notes) std::fprintf(stderr, "note: %s\n", note.c_str());
  const size_t partial = audio.samples.size() % FRAME_LENGTH;
  if (partial != 0) {
    std::fprintf(stderr,
                 "note: the last %zu sample%s (a partial frame) %s left out, as halvern-sim does; "
                 "--pad keeps %s\n",
                 partial, partial == 1 ? "" : "s", partial == 1 ? "is" : "are",
                 partial == 1 ? "it" : "them");
    audio.samples.resize(audio.samples.size() - partial);
  }
  if (audio.samples.empty()) throw ToolError(o.source + " holds less than one frame (320 samples)");
  return std::move(audio.samples);
}

Setup prepare(const LoopOptions& o) {
  check_loop_options(o);
  Setup s;
  s.slots = judged_tuning(o.tuning, o.allow_tuning_errors).slots;
  s.stages_given = o.stages.has_value();
  s.stage_mask = s.stages_given ? stages_option(*o.stages) : s.slots[STAGE_MASK_SLOT];
  read_feedback_path(o, &s);
  s.source = read_loop_source(o);

  if (o.tail_s) {
    if (!(*o.tail_s >= 0.6 && *o.tail_s <= TAIL_MAX_S)) {
      throw ToolError(
          "--tail must lie between 0.6 s (the stability decision compares thirds of "
          "it in 100 ms windows) and 60 s");
    }
    s.tail_frames = static_cast<int64_t>(std::ceil(*o.tail_s * LOOP_RATE / FRAME_LENGTH - 1e-9));
  } else {
    s.tail_frames = default_tail_frames(s.path.size());
  }
  return s;
}

double seconds_of(int64_t frames) { return static_cast<double>(frames) * FRAME_LENGTH / LOOP_RATE; }

Json levels_json(const SignalLevels& l) {
  return {{"peak_dbfs", number_json(two_decimals(l.peak_dbfs))},
          {"rms_dbfs", number_json(two_decimals(l.rms_dbfs))}};
}

Json head_json(const LoopOptions& o, const Setup& s, const NyquistResult& nyquist) {
  Json j;
  j["source"] = o.source;
  j["tuning"] = o.tuning;
  j["path"] = s.path_description;
  j["stages"] = stage_names(s.stage_mask);
  j["tail_s"] = seconds_of(s.tail_frames);
  j["nyquist_msg_db"] = number_json(two_decimals(nyquist.msg_db));
  j["nyquist_frequency_hz"] =
      std::isfinite(nyquist.msg_db) ? Json(std::round(nyquist.frequency_hz)) : Json(nullptr);
  return j;
}

std::string head_text(const LoopOptions& o, const Setup& s, const NyquistResult& nyquist) {
  char tail[32];
  std::snprintf(tail, sizeof tail, "; tail %.2f s\n", seconds_of(s.tail_frames));
  std::string out = o.source + " with " + o.tuning + "\npath:   " + s.path_description +
                    "\nstages: " + stage_names(s.stage_mask) +
                    (s.stages_given ? " (--stages)" : " (slot 0)") + tail +
                    "Nyquist MSG of the bare path: ";
  if (std::isfinite(nyquist.msg_db)) {
    char msg[64];
    std::snprintf(msg, sizeof msg, "%.2f dB (at %.0f Hz)\n", nyquist.msg_db, nyquist.frequency_hz);
    return out + msg;
  }
  return out + "none: the path is silent\n";
}

std::string marks_text(const LoopSummary& r) {
  if (!r.suppressor_on) return "suppressor: off\n";
  std::string out = "suppressor: " + std::to_string(r.frames_marked) + " frames with a marked band";
  std::string bands;
  for (size_t b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) {
    if (r.band_marks[b] == 0) continue;
    bands += (bands.empty() ? "" : ", ") + std::to_string(750 + 500 * b) + " Hz " +
             std::to_string(r.band_marks[b]);
  }
  return out + (bands.empty() ? "" : "; frames marked per band (centre): " + bands) + "\n";
}

int single_run(const LoopOptions& o, const Setup& s, const PartitionedPath& path,
               const NyquistResult& nyquist) {
  LoopSettings settings;
  settings.gain_db = o.gain_db;
  settings.stage_mask = s.stage_mask;
  settings.tail_frames = s.tail_frames;
  // The outputs are created (under temporary names) first: a path that cannot be written is
  // reported before the work.
  std::unique_ptr<AudioWriter> mic;
  std::unique_ptr<AudioWriter> speaker;
  TemporaryFiles* temporaries = interrupt_temporaries();
  if (!o.mic.empty()) {
    mic = std::make_unique<AudioWriter>(o.mic, format_for_path(o.mic), temporaries);
  }
  if (!o.speaker.empty()) {
    speaker = std::make_unique<AudioWriter>(o.speaker, format_for_path(o.speaker), temporaries);
  }
  LoopRun run = run_loop(path, s.source, s.slots, settings);
  const LoopSummary& r = run.summary;
  for (const std::string& message : run.diagnostics) {
    std::fprintf(stderr, "engine: %s%s", message.c_str(), message.ends_with('\n') ? "" : "\n");
  }
  const SpectralDistance lsd = log_spectral_distance(s.source, run.output);
  if (mic) {
    mic->write(run.mic.data(), run.mic.size());
    mic->commit();
  }
  if (speaker) {
    const double g = std::pow(10.0, o.gain_db / 20);
    int64_t clipped = 0;
    std::vector<int16_t> samples(run.output.size());
    for (size_t i = 0; i < samples.size(); ++i) {
      const double v = std::round(g * run.output[i]);
      clipped += (v > 32767.0 || v < -32768.0) ? 1 : 0;
      samples[i] = static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
    }
    speaker->write(samples.data(), samples.size());
    speaker->commit();
    if (clipped > 0) {
      std::fprintf(stderr,
                   "note: %s: %lld samples of the loudspeaker signal clipped at full scale\n",
                   o.speaker.c_str(), static_cast<long long>(clipped));
    }
  }

  std::FILE* console = (o.mic == "-" || o.speaker == "-") ? stderr : stdout;
  if (o.json) {
    Json j = head_json(o, s, nyquist);
    j["gain_db"] = o.gain_db;
    j["howl"] = r.howl;
    j["howl_onset_s"] = r.howl ? Json(r.howl_onset_s) : Json(nullptr);
    j["levels"] = {{"source", levels_json(r.source)},
                   {"mic", levels_json(r.mic)},
                   {"speaker", levels_json(r.speaker)}};
    j["levels"]["mic"]["clipped_samples"] = r.mic_clipped;
    j["suppressor"] = {{"enabled", r.suppressor_on},
                       {"frames_marked", r.frames_marked},
                       {"band_marks", r.band_marks}};
    j["lsd_db"] = number_json(two_decimals(lsd.lsd_db));
    j["lsd_delay_samples"] = lsd.delay_samples;
    std::fprintf(console, "%s\n", j.dump(2).c_str());
  } else {
    std::string text = head_text(o, s, nyquist);
    char line[256];
    std::snprintf(
        line, sizeof line,
        "gain:   %s dB; %lld frames of source and %lld of tail (%.2f s); %.3f s, %.0fx real time\n",
        db_text(o.gain_db).c_str(), static_cast<long long>(r.source_frames),
        static_cast<long long>(r.frames - r.source_frames), seconds_of(r.frames), r.wall_seconds,
        r.wall_seconds > 0 ? seconds_of(r.frames) / r.wall_seconds : 0);
    text += line;
    if (r.howl) {
      std::snprintf(line, sizeof line, "howl:   yes, from %.2f s\n", r.howl_onset_s);
    } else {
      std::snprintf(line, sizeof line, "howl:   no, the tail dies away\n");
    }
    text += line;
    text += "position     peak dBFS  RMS dBFS\n";
    for (const auto& [name, l] :
         {std::pair{"source", r.source}, {"microphone", r.mic}, {"speaker", r.speaker}}) {
      std::snprintf(line, sizeof line, "%-12s %9s %9s\n", name, db_text(l.peak_dbfs).c_str(),
                    db_text(l.rms_dbfs).c_str());
      text += line;
    }
    std::snprintf(line, sizeof line, "microphone:  %lld samples clipped\n",
                  static_cast<long long>(r.mic_clipped));
    text += line;
    text += marks_text(r);
    std::snprintf(line, sizeof line,
                  "distortion: %s dB log-spectral distance, speaker against source (delay %lld "
                  "samples, level %s dB)\n",
                  db_text(lsd.lsd_db).c_str(), static_cast<long long>(lsd.delay_samples),
                  db_text(lsd.level_db).c_str());
    text += line;
    std::fputs(text.c_str(), console);
  }
  return std::fflush(console) == 0 ? 0 : 1;
}

std::string limit_text(const MsgSearch& m) {
  if (m.howls_at_min) return " (howls at --min-gain already: MSG is lower)";
  if (m.stable_at_max) return " (stable at --max-gain: MSG is higher)";
  return "";
}

Json limit_json(const MsgSearch& m) {
  if (m.howls_at_min) return "howls_at_min_gain";
  if (m.stable_at_max) return "stable_at_max_gain";
  return nullptr;
}

int find_msg(const LoopOptions& o, const Setup& s, const PartitionedPath& path,
             const NyquistResult& nyquist) {
  const LoopInputs inputs{&path, &s.source, &s.slots, s.tail_frames};
  const auto start = std::chrono::steady_clock::now();
  const LoopMeasurement m =
      measure_loop(inputs, nyquist, s.stage_mask, o.min_gain_db, o.max_gain_db);
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (o.json) {
    Json j = head_json(o, s, nyquist);
    j["min_gain_db"] = o.min_gain_db;
    j["max_gain_db"] = o.max_gain_db;
    j["msg_db"] = two_decimals(m.with_suppressor.msg_db);
    j["msg_limit"] = limit_json(m.with_suppressor);
    j["msg_without_suppressor_db"] = two_decimals(m.without_suppressor.msg_db);
    j["msg_without_suppressor_limit"] = limit_json(m.without_suppressor);
    j["asg_db"] = two_decimals(m.asg_db);
    j["suppressor_in_stages"] = m.suppressor_in_mask;
    j["lsd_gain_db"] = two_decimals(m.lsd_gain_db);
    j["lsd_db"] = number_json(two_decimals(m.lsd.lsd_db));
    j["lsd_without_suppressor_db"] = number_json(two_decimals(m.lsd_without_suppressor.lsd_db));
    j["lsd_howl"] = m.lsd_run.howl;
    j["runs"] = m.runs;
    std::printf("%s\n", j.dump(2).c_str());
  } else {
    std::string text = head_text(o, s, nyquist);
    char line[256];
    std::snprintf(line, sizeof line, "gains searched from %s to %s dB in 0.1 dB steps\n",
                  db_text(o.min_gain_db).c_str(), db_text(o.max_gain_db).c_str());
    text += line;
    if (!m.suppressor_in_mask)
      text += "the suppressor is not among the stages: both searches are one\n";
    std::snprintf(line, sizeof line, "MSG with the suppressor:     %7s dB%s\n",
                  db_text(m.with_suppressor.msg_db).c_str(), limit_text(m.with_suppressor).c_str());
    text += line;
    std::snprintf(line, sizeof line, "MSG without the suppressor:  %7s dB%s\n",
                  db_text(m.without_suppressor.msg_db).c_str(),
                  limit_text(m.without_suppressor).c_str());
    text += line;
    std::snprintf(line, sizeof line, "ASG (added stable gain):     %7s dB\n",
                  db_text(m.asg_db).c_str());
    text += line;
    std::snprintf(line, sizeof line,
                  "distortion at %s dB, 3 dB below the MSG without the suppressor:\n",
                  db_text(m.lsd_gain_db).c_str());
    text += line;
    std::snprintf(line, sizeof line, "LSD with the suppressor:     %7s dB%s\n",
                  db_text(m.lsd.lsd_db).c_str(), m.lsd_run.howl ? " (the loop howled)" : "");
    text += line;
    std::snprintf(line, sizeof line, "LSD without the suppressor:  %7s dB%s\n",
                  db_text(m.lsd_without_suppressor.lsd_db).c_str(),
                  m.lsd_run_without_suppressor.howl ? " (the loop howled)" : "");
    text += line;
    const double audio = static_cast<double>(m.runs) * seconds_of(m.lsd_run.frames);
    std::snprintf(line, sizeof line, "%d runs of %.2f s in %.2f s (%.0fx real time)\n", m.runs,
                  seconds_of(m.lsd_run.frames), wall, wall > 0 ? audio / wall : 0);
    text += line;
    std::fputs(text.c_str(), stdout);
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

std::vector<double> sweep_points(const std::string& text) {
  double v[3] = {};
  size_t at = 0;
  for (int i = 0; i < 3; ++i) {
    const size_t end = i < 2 ? text.find(':', at) : text.size();
    size_t used = 0;
    const std::string part = end == std::string::npos ? "" : text.substr(at, end - at);
    try {
      v[i] = std::stod(part, &used);
    } catch (const std::exception&) {
      used = std::string::npos;
    }
    if (end == std::string::npos || used != part.size() || !std::isfinite(v[i])) {
      throw ToolError("--sweep " + text + ": write MIN:MAX:STEP in dB, for example -10:10:0.5");
    }
    at = end + 1;
  }
  if (!(v[2] > 0) || v[1] < v[0] || std::fabs(v[0]) > GAIN_LIMIT_DB ||
      std::fabs(v[1]) > GAIN_LIMIT_DB) {
    throw ToolError("--sweep " + text + ": MIN <= MAX within -100..100 dB and STEP > 0");
  }
  const auto count = static_cast<size_t>(std::floor((v[1] - v[0]) / v[2] + 1e-9)) + 1;
  if (count > SWEEP_MAX_POINTS) {
    throw ToolError("--sweep " + text + ": " + std::to_string(count) +
                    " gains; at most 1000: take a larger step");
  }
  std::vector<double> gains(count);
  for (size_t i = 0; i < count; ++i) gains[i] = v[0] + static_cast<double>(i) * v[2];
  return gains;
}

int sweep(const LoopOptions& o, const Setup& s, const PartitionedPath& path,
          const NyquistResult& nyquist) {
  const std::vector<double> gains = sweep_points(o.sweep);
  const LoopInputs inputs{&path, &s.source, &s.slots, s.tail_frames};
  const std::vector<SweepPoint> points =
      sweep_gains(inputs, s.stage_mask, gains, std::max(1u, std::thread::hardware_concurrency()));
  if (o.json) {
    Json j = head_json(o, s, nyquist);
    Json rows = Json::array();
    for (const SweepPoint& p : points) {
      const LoopSummary& r = p.summary;
      rows.push_back({{"gain_db", two_decimals(r.gain_db)},
                      {"howl", r.howl},
                      {"howl_onset_s", r.howl ? Json(r.howl_onset_s) : Json(nullptr)},
                      {"speaker", levels_json(r.speaker)},
                      {"mic_clipped_samples", r.mic_clipped},
                      {"lsd_db", number_json(two_decimals(p.lsd.lsd_db))},
                      {"frames_marked", r.frames_marked},
                      {"band_marks", r.band_marks}});
    }
    j["rows"] = rows;
    std::printf("%s\n", j.dump(2).c_str());
  } else {
    std::vector<std::string> header = {
        "gain_db",          "howl",        "howl_onset_s", "speaker_peak_dbfs",
        "speaker_rms_dbfs", "mic_clipped", "lsd_db",       "frames_marked"};
    for (size_t b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) {
      header.push_back((b < 10 ? "band0" : "band") + std::to_string(b) + "_marks");
    }
    std::string text = csv_line(header);
    for (const SweepPoint& p : points) {
      const LoopSummary& r = p.summary;
      char onset[32] = "";
      if (r.howl) std::snprintf(onset, sizeof onset, "%.2f", r.howl_onset_s);
      std::vector<std::string> row = {db_text(r.gain_db),
                                      r.howl ? "1" : "0",
                                      onset,
                                      db_text(r.speaker.peak_dbfs),
                                      db_text(r.speaker.rms_dbfs),
                                      std::to_string(r.mic_clipped),
                                      db_text(p.lsd.lsd_db),
                                      std::to_string(r.frames_marked)};
      for (const int64_t marks : r.band_marks) row.push_back(std::to_string(marks));
      text += csv_line(row);
    }
    std::fputs(text.c_str(), stdout);
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

int run(const LoopOptions& o) {
  const Setup s = prepare(o);
  const PartitionedPath path(s.path);
  const NyquistResult nyquist = nyquist_msg(s.path);
  try {
    if (o.find_msg) return find_msg(o, s, path, nyquist);
    if (!o.sweep.empty()) return sweep(o, s, path, nyquist);
    return single_run(o, s, path, nyquist);
  } catch (const ArithmeticFault& fault) {
    std::string message = fault.what();
    while (!message.empty() && message.back() == '\n') message.pop_back();
    throw ToolError(o.tuning + ": the engine stopped: " + message, EXIT_FINDING);
  }
}

}  // namespace

void add_loop_command(CLI::App& app, int* status) {
  auto o = std::make_shared<LoopOptions>();
  CLI::App* sub = app.add_subcommand(
      "loop", "run the engine in a closed acoustic loop and measure its maximum stable gain");
  sub->add_option("SOURCE", o->source,
                  "the talker at the microphone: WAV, FLAC, Ogg, AIFF and the other common "
                  "formats, .pcm/.raw for headerless 16-bit 16 kHz mono, - for raw on standard "
                  "input")
      ->type_name("FILE")
      ->required();
  sub->add_option("TUNING", o->tuning, "the tuning file")->type_name("FILE")->required();
  add_read_options(sub, &o->read, "the source", true);
  sub->add_option("--path", o->path_file,
                  "the feedback path: a 16 kHz mono impulse response (float as it is, integers "
                  "scaled to +-1.0), used as given")
      ->type_name("FILE");
  sub->add_option("--room", o->room,
                  "a synthetic feedback path, e.g. rt60=0.4,delay=2ms,seed=1: decaying noise "
                  "after a delay, its largest magnitude response at 0 dB")
      ->type_name("KEY=VALUE,...");
  sub->add_option("--save-path", o->save_path,
                  "write the feedback path used to this file (WAV, 64-bit float)")
      ->type_name("FILE");
  sub->add_option(
         "--stages", o->stages,
         "the stages to run, replacing slot 0: a list of " + stage_keys(", ") + ", or none")
      ->type_name("LIST");
  sub->add_option("--gain", o->gain_db, "the loudspeaker's gain in dB (default 0)")
      ->type_name("DB");
  sub->add_option("--tail", o->tail_s,
                  "seconds of silence after the source (default: 2 s and four round trips of the "
                  "loop)")
      ->type_name("SECONDS");
  sub->add_option("--mic", o->mic,
                  "write the microphone signal to this file (any format run writes)")
      ->type_name("FILE");
  sub->add_option("--speaker", o->speaker,
                  "write the loudspeaker signal (gain x the engine's output) to this file")
      ->type_name("FILE");
  auto* find = sub->add_flag("--find-msg", o->find_msg,
                             "find the maximum stable gain with and without the peak suppressor, "
                             "and the distortion 3 dB below it");
  sub->add_option("--min-gain", o->min_gain_db,
                  "the lowest gain --find-msg tries, dB (default -30)")
      ->type_name("DB");
  sub->add_option("--max-gain", o->max_gain_db,
                  "the highest gain --find-msg tries, dB (default 30)")
      ->type_name("DB");
  sub->add_option("--sweep", o->sweep, "one run per gain MIN:MAX:STEP in dB, the figures as CSV")
      ->type_name("MIN:MAX:STEP")
      ->excludes(find);
  add_json_option(sub, &o->json, "print the figures as JSON");
  add_allow_tuning_errors_option(sub, &o->allow_tuning_errors);
  sub->callback([o, status] { *status = run(*o); });
}

}  // namespace halvern::tools
