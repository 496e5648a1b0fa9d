#include "tools/report/report_page.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "tools/io/audio_io.h"
#include "tools/io/safe_file.h"
#include "tools/running/frame_state.h"
#include "tools/running/stats.h"

namespace halvern::tools {

namespace {

// A figure in dB for the page: null for silence (-infinity), rounded to 0.001 dB.
nlohmann::ordered_json db_value(double db) {
  if (!std::isfinite(db)) return nullptr;
  return std::round(db * 1000.0) / 1000.0;
}

nlohmann::ordered_json db_array(const std::vector<double>& values) {
  auto a = nlohmann::ordered_json::array();
  for (double v : values) a.push_back(db_value(v));
  return a;
}

bool is_full_scale(int16_t v) { return v == 32767 || v == -32768; }

// Writes text to path under a temporary name, in pieces, renamed when complete.
class PageWriter {
 public:
  PageWriter(const std::string& path, TemporaryFiles* temporaries) : file_(path, temporaries) {}
  void put(std::string_view s) {
    file_.write(s.data(), s.size());
    bytes_ += s.size();
  }
  uint64_t commit() {
    file_.commit();
    return bytes_;
  }

 private:
  SafeFile file_;
  uint64_t bytes_ = 0;
};

// JSON inside a script element: "</" would end the element, so it becomes "<\/" (the same
// string to JSON.parse).
std::string script_safe(std::string json) {
  size_t at = 0;
  while ((at = json.find("</", at)) != std::string::npos) {
    json.replace(at, 2, "<\\/");
    at += 3;
  }
  return json;
}

std::string html_escape(std::string_view s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

std::vector<ReportSignal> report_signals(int16_t stage_mask) {
  std::vector<ReportSignal> signals{{ChainPosition::kInput, "input", "Input"}};
  for (const StageInfo& s : STAGE_TABLE) {
    if ((stage_mask & s.bit) != 0) {
      const ChainPosition p = chain_position(s);
      signals.push_back({p, position_name(p), "after " + std::string(s.label)});
    }
  }
  if (signals.size() > 1) {
    signals.back().label = "Output (" + signals.back().label + ")";
  } else {
    signals.push_back({CHAIN_OUTPUT, position_name(CHAIN_OUTPUT), "Output (no stage on)"});
  }
  return signals;
}

nlohmann::ordered_json trace_json(const JobResult& run, const std::vector<ReportSignal>& signals) {
  nlohmann::ordered_json t;
  const size_t frames = run.frames.size();
  auto time = nlohmann::ordered_json::array();
  auto level = nlohmann::ordered_json::array();
  auto gain = nlohmann::ordered_json::array();
  auto compander = nlohmann::ordered_json::array();
  auto limiter = nlohmann::ordered_json::array();
  auto band_level = nlohmann::ordered_json::array();
  auto band_mark = nlohmann::ordered_json::array();
  constexpr double FRAME_SECONDS = FRAME_LENGTH / 16000.0;
  for (const FrameState& s : run.frames) {
    time.push_back(std::round((static_cast<double>(s.frame) + 0.5) * FRAME_SECONDS * 1e4) / 1e4);
    level.push_back(db_value(q7_db(s.dyn_level)));
    gain.push_back(db_value(q15_db(s.dyn_gain) + q11_db(s.dyn_makeup)));
    compander.push_back(db_value(q15_db(s.comp_gain)));
    limiter.push_back(db_value(q15_db(s.limiter_gain)));
    band_level.push_back(s.band_level);
    band_mark.push_back(s.band_mark);
  }
  t["time_s"] = std::move(time);
  t["dynamics_level_db"] = std::move(level);
  t["dynamics_gain_db"] = std::move(gain);
  t["compander_gain_db"] = std::move(compander);
  t["limiter_gain_db"] = std::move(limiter);
  t["band_level"] = std::move(band_level);
  t["band_mark"] = std::move(band_mark);

  // Clipped samples: per frame for every signal offered, and one marker for each frame in which
  // any of them clips.
  nlohmann::ordered_json clipped;
  std::vector<int> any(frames, 0);
  for (const ReportSignal& sig : signals) {
    const std::vector<int16_t>& x = run.signals[static_cast<size_t>(sig.position)];
    std::vector<int> per_frame(frames, 0);
    for (size_t f = 0; f < frames && (f + 1) * FRAME_LENGTH <= x.size(); ++f) {
      per_frame[f] = static_cast<int>(
          std::count_if(x.begin() + static_cast<long>(f * FRAME_LENGTH),
                        x.begin() + static_cast<long>((f + 1) * FRAME_LENGTH), is_full_scale));
      any[f] += per_frame[f];
    }
    clipped[sig.key] = per_frame;
  }
  t["clipped"] = std::move(clipped);
  auto clips = nlohmann::ordered_json::array();
  for (size_t f = 0; f < frames; ++f) {
    if (any[f] > 0) {
      clips.push_back(
          {{"frame", f},
           {"time_s", std::round((static_cast<double>(f) + 0.5) * FRAME_SECONDS * 1e4) / 1e4},
           {"samples", any[f]}});
    }
  }
  t["clips"] = std::move(clips);
  return t;
}

namespace {

nlohmann::ordered_json level_curve_json(const std::optional<LevelCurve>& c) {
  if (!c) return nullptr;
  return {{"in_db", db_array(c->in_db)}, {"out_db", db_array(c->out_db)}};
}

nlohmann::ordered_json response_json(const MagnitudeResponse& r) {
  auto hz = nlohmann::ordered_json::array();
  for (double f : r.hz) hz.push_back(std::round(f * 100.0) / 100.0);
  return {{"hz", hz}, {"gain_db", db_array(r.gain_db)}};
}

}  // namespace

nlohmann::ordered_json curves_json(const TuningCurves& c) {
  nlohmann::ordered_json j;
  j["dynamics"] = level_curve_json(c.dynamics);
  j["compander_limiter"] = level_curve_json(c.compander_limiter);
  j["highpass"] = response_json(c.highpass);
  j["fir"] = response_json(c.fir);
  auto bands = nlohmann::ordered_json::array();
  for (const SuppressorBandCurve& b : c.suppressor.bands) {
    bands.push_back({{"first_hz", b.first_hz},
                     {"last_hz", b.last_hz},
                     {"threshold", b.threshold},
                     {"threshold_db", db_value(b.threshold_db)}});
  }
  j["suppressor"] = {{"bands", bands},
                     {"mark1_gain_db", db_value(c.suppressor.mark1_gain_db)},
                     {"mark2_gain_db", db_value(c.suppressor.mark2_gain_db)},
                     {"rest_gain_db", db_value(c.suppressor.rest_gain_db)}};
  if (!c.error.empty()) j["error"] = c.error;
  return j;
}

nlohmann::ordered_json report_json(const ReportContent& c, const std::string& audio_folder) {
  const JobResult& run = *c.run;
  nlohmann::ordered_json j;
  j["schema"] = 1;
  j["title"] = std::filesystem::path(c.input_path).filename().string() + " with " +
               std::filesystem::path(c.tuning_path).filename().string();
  j["program"] = c.program;
  j["created"] = c.created;
  j["files"] = {{"input", c.input_path},
                {"input_format", c.input_description},
                {"tuning", c.tuning_path},
                {"report", c.report_path}};
  j["sample_rate"] = ENGINE_SAMPLE_RATE;
  j["frame_length"] = FRAME_LENGTH;
  j["frames"] = run.stats.frames;
  j["samples"] = run.stats.samples;
  j["duration_s"] = run.stats.audio_seconds();
  auto stages = nlohmann::ordered_json::array();
  for (const StageInfo& s : STAGE_TABLE) {
    stages.push_back(
        {{"key", s.trace_name}, {"name", s.label}, {"enabled", (c.stage_mask & s.bit) != 0}});
  }
  j["stages"] = std::move(stages);
  auto findings = nlohmann::ordered_json::array();
  for (const ReportFinding& f : c.findings)
    findings.push_back({{"severity", f.severity}, {"text", f.text}});
  j["diagnostics"] = std::move(findings);
  j["notes"] = c.notes;

  const std::vector<ReportSignal> signals = report_signals(c.stage_mask);
  auto sigs = nlohmann::ordered_json::array();
  for (const ReportSignal& s : signals) {
    nlohmann::ordered_json o = {{"key", s.key},
                                {"label", s.label},
                                {"samples", run.signals[static_cast<size_t>(s.position)].size()}};
    if (!audio_folder.empty()) {
      o["folder"] = audio_folder;
      o["script"] = s.key + ".js";
      o["wav"] = s.key + ".wav";
    }
    sigs.push_back(std::move(o));
  }
  j["signals"] = std::move(sigs);
  j["trace"] = trace_json(run, signals);
  j["curves"] = curves_json(*c.curves);
  j["statistics"] = stats_to_json(run.stats);
  j["explained"] = c.explained;
  return j;
}

std::string base64(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  // EVP_EncodeBlock takes an int length: encode in pieces of a multiple of 3 bytes.
  constexpr size_t PIECE = 3 << 20;
  size_t written = 0;
  for (size_t at = 0; at < bytes.size(); at += PIECE) {
    const size_t n = std::min(PIECE, bytes.size() - at);
    written += static_cast<size_t>(EVP_EncodeBlock(
        reinterpret_cast<unsigned char*>(out.data() + written),
        reinterpret_cast<const unsigned char*>(bytes.data() + at), static_cast<int>(n)));
  }
  out.resize(written);
  return out;
}

std::string audio_folder_for(const std::string& report_path) {
  const std::filesystem::path p(report_path);
  return p.stem().string() + "_audio";
}

namespace {
std::filesystem::path beside_folder(const std::string& report_path) {
  return std::filesystem::path(report_path).parent_path() / audio_folder_for(report_path);
}
}  // namespace

std::vector<std::string> beside_files(const std::string& report_path, int16_t stage_mask) {
  std::vector<std::string> files;
  for (const ReportSignal& s : report_signals(stage_mask)) {
    for (const char* extension : {".wav", ".js"}) {
      files.push_back((beside_folder(report_path) / (s.key + extension)).string());
    }
  }
  return files;
}

uint64_t write_report(const ReportContent& content, AudioPlacement placement,
                      std::string_view script, std::string_view style,
                      TemporaryFiles* temporaries) {
  const std::vector<ReportSignal> signals = report_signals(content.stage_mask);
  const JobResult& run = *content.run;
  std::string folder;
  if (placement == AudioPlacement::kBeside) {
    folder = audio_folder_for(content.report_path);
    const std::filesystem::path dir = beside_folder(content.report_path);
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error)
      throw ToolError("cannot create the audio folder " + dir.string() + ": " + error.message());
    for (const ReportSignal& s : signals) {
      const std::vector<int16_t>& x = run.signals[static_cast<size_t>(s.position)];
      const std::string wav = wav_bytes(x);
      write_text_file((dir / (s.key + ".wav")).string(), wav, temporaries);
      write_text_file((dir / (s.key + ".js")).string(),
                      "window.halvernAudio(\"" + s.key + "\", \"" + base64(wav) + "\");\n",
                      temporaries);
    }
  }

  PageWriter page(content.report_path, temporaries);
  const nlohmann::ordered_json data = report_json(content, folder);
  page.put(
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      "<meta name=\"generator\" content=\"");
  page.put(html_escape(content.program));
  page.put("\">\n<title>halvern report: ");
  page.put(html_escape(data["title"].get<std::string>()));
  page.put("</title>\n<style>\n");
  page.put(style);
  page.put(
      "\n</style>\n</head>\n<body>\n<div id=\"app\"></div>\n"
      "<script type=\"application/json\" id=\"halvern-data\">");
  page.put(
      script_safe(data.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)));
  page.put("</script>\n");
  if (placement == AudioPlacement::kEmbedded) {
    for (const ReportSignal& s : signals) {
      page.put("<script type=\"text/plain\" id=\"halvern-audio-" + s.key + "\">");
      page.put(base64(wav_bytes(run.signals[static_cast<size_t>(s.position)])));
      page.put("</script>\n");
    }
  }
  page.put("<script>\n");
  page.put(script);
  page.put("\n</script>\n</body>\n</html>\n");
  return page.commit();
}

}  // namespace halvern::tools
