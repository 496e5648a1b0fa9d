// The page of `halvern report`: one HTML file that holds the bundled page script and style, one
// JSON object with everything the page shows (web/SCHEMA.md), and the audio of each
// position of the chain, embedded as base64 WAV or written beside the page.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/io/safe_file.h"
#include "tools/review/curves.h"
#include "tools/running/run_job.h"
#include "tuning/tuning.h"

namespace halvern::tools {

// One finding about the tuning, as `halvern check` reports it.
struct ReportFinding {
  std::string severity;  // "error", "warning" or "note"
  std::string text;
};

// Everything the page is made from.
struct ReportContent {
  std::string input_path;
  std::string input_description;  // e.g. "WAV, 16-bit PCM, 16000 Hz, 1 channel"
  std::string tuning_path;
  std::string report_path;
  std::string created;  // the date and time the report was made
  std::string program;  // "halvern 1.1.0"
  int16_t stage_mask = 0;
  std::vector<ReportFinding> findings;
  nlohmann::json explained;  // `halvern explain --json` of the tuning: slots, stages' settings
  std::vector<std::string> notes;  // about the input (conversions) and the engine's messages
  const JobResult* run = nullptr;  // with keep_signals and keep_frames
  const TuningCurves* curves = nullptr;
};

// A position of the chain whose signal the page offers: the input and every enabled stage.
struct ReportSignal {
  ChainPosition position;
  std::string key;    // "input", "highpass", ...
  std::string label;  // "Input", "after high-pass", ..., "Output (after dither)"
};
std::vector<ReportSignal> report_signals(int16_t stage_mask);

// The JSON object of the page. audio_folder is empty when the audio is embedded, else the name
// of the folder beside the page that holds it.
nlohmann::ordered_json report_json(const ReportContent& content, const std::string& audio_folder);

// The page's frame-by-frame trace (dynamics, compander and limiter gains, the howl map, clipped
// samples of the signals) and the curves of the tuning, as report_json gives them under "trace"
// and "curves" (SCHEMA.md). The run has keep_frames and keep_signals.
nlohmann::ordered_json trace_json(const JobResult& run, const std::vector<ReportSignal>& signals);
nlohmann::ordered_json curves_json(const TuningCurves& curves);

// A 16-bit 16 kHz mono WAV file of the samples, in memory (libsndfile).
std::string wav_bytes(const std::vector<int16_t>& samples);

// Standard base64 with padding (OpenSSL).
std::string base64(std::string_view bytes);

// Where the audio goes.
enum class AudioPlacement { kEmbedded, kBeside };

// The folder beside the report that --audio-beside fills: report.html -> report_audio.
std::string audio_folder_for(const std::string& report_path);

// The files --audio-beside writes for a page at report_path (a WAV and a script per signal).
std::vector<std::string> beside_files(const std::string& report_path, int16_t stage_mask);

// Writes the page, and with kBeside the audio folder (a WAV and a script for each signal), each
// file under a temporary name renamed when complete. script and style are the page bundle.
// Returns the bytes of the page. Throws ToolError when a file cannot be written. The temporary
// names are told to temporaries, when given.
uint64_t write_report(const ReportContent& content, AudioPlacement placement,
                      std::string_view script, std::string_view style,
                      TemporaryFiles* temporaries = nullptr);

}  // namespace halvern::tools
