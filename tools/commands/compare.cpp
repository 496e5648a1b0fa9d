// halvern compare: whether two recordings, or two traces of the chain, are the same, and where
// they part.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "frame/stage_header.h"
#include "tools/commands/commands.h"
#include "tools/commands/common.h"
#include "tools/io/audio_io.h"
#include "tools/io/csv.h"
#include "tools/running/sample_compare.h"
#include "tools/running/stats.h"
#include "tools/running/trace.h"

namespace halvern::tools {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

struct CompareOptions {
  std::string a;
  std::string b;
  std::string delay = "0";  // "auto" or a number of samples
  int max_delay = 2000;
  int tolerance = 0;
  std::string trace_a;
  std::string trace_b;
  bool json = false;
  ReadOptions read = compare_read_options();  // --resample and --channel, for both recordings
};

Json db_json(double db) { return std::isfinite(db) ? Json(db) : Json(nullptr); }

std::string db_text(double db) {
  if (std::isinf(db)) return db > 0 ? "infinite" : "-infinite";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f dB", db);
  return text;
}

// ---- two recordings ----

struct FileComparison {
  SampleComparison c;
  bool estimated = false;
  double correlation = 0;
};

Json file_json(const CompareOptions& o, const FileComparison& f) {
  const SampleComparison& c = f.c;
  Json j;
  j["a"] = o.a;
  j["b"] = o.b;
  j["identical"] = c.identical;
  j["length_a"] = c.length_a;
  j["length_b"] = c.length_b;
  j["lag"] = c.lag;
  j["lag_estimated"] = f.estimated;
  if (f.estimated) j["lag_correlation"] = f.correlation;
  j["tolerance"] = o.tolerance;
  j["compared_samples"] = c.overlap;
  if (c.first >= 0) {
    j["first_difference"] = {{"sample", c.first},
                             {"frame", c.first / FRAME_LENGTH},
                             {"time_s", static_cast<double>(c.first) / ENGINE_SAMPLE_RATE},
                             {"a", c.first_a},
                             {"b", c.first_b}};
  } else {
    j["first_difference"] = nullptr;
  }
  j["differing_samples"] = c.differing_samples;
  j["differing_frames"] = c.differing_frames;
  j["max_difference"] = c.max_difference;
  j["signal_to_difference_db"] = db_json(c.signal_to_difference_db());
  return j;
}

std::string file_text(const CompareOptions& o, const FileComparison& f) {
  const SampleComparison& c = f.c;
  std::string text;
  char line[512];
  const auto add = [&](int n) {
    text.append(line, static_cast<size_t>(std::max(0, std::min<int>(n, sizeof line - 1))));
  };
  add(std::snprintf(line, sizeof line, "%s: %s and %s\n", c.identical ? "identical" : "different",
                    o.a.c_str(), o.b.c_str()));
  if (c.length_a != c.length_b) {
    add(std::snprintf(line, sizeof line, "  lengths:             %lld and %lld samples\n",
                      static_cast<long long>(c.length_a), static_cast<long long>(c.length_b)));
  }
  if (f.estimated || c.lag != 0) {
    add(std::snprintf(line, sizeof line, "  lag:                 %d samples (%s)%s\n", c.lag,
                      c.lag > 0   ? "b later"
                      : c.lag < 0 ? "b earlier"
                                  : "none",
                      f.estimated ? ", estimated" : ", as given"));
    if (f.estimated) {
      add(std::snprintf(line, sizeof line, "  lag correlation:     %.4f\n", f.correlation));
    }
  }
  add(std::snprintf(
      line, sizeof line, "  compared:            %lld samples%s\n",
      static_cast<long long>(c.overlap),
      o.tolerance > 0
          ? (", differences up to " + std::to_string(o.tolerance) + " count as equal").c_str()
          : ""));
  if (c.first >= 0) {
    add(std::snprintf(line, sizeof line,
                      "  first difference:    sample %lld (frame %lld, %.6f s): %d in a, %d in b\n",
                      static_cast<long long>(c.first),
                      static_cast<long long>(c.first / FRAME_LENGTH),
                      static_cast<double>(c.first) / ENGINE_SAMPLE_RATE, c.first_a, c.first_b));
    add(std::snprintf(line, sizeof line, "  differing:           %lld sample(s) in %lld frame(s)\n",
                      static_cast<long long>(c.differing_samples),
                      static_cast<long long>(c.differing_frames)));
  }
  if (c.max_difference > 0) {
    add(std::snprintf(line, sizeof line, "  largest difference:  %d\n  signal to difference: %s\n",
                      c.max_difference, db_text(c.signal_to_difference_db()).c_str()));
  }
  return text;
}

// count samples of path from sample skip on (fewer at its end), read in blocks.
std::vector<int16_t> read_excerpt(const std::string& path, const ReadOptions& options, int64_t skip,
                                  int64_t count) {
  AudioReader reader(path, options);
  std::vector<int16_t> skipped(16384);
  while (skip > 0) {
    const size_t n =
        reader.read(skipped.data(), static_cast<size_t>(std::min<int64_t>(skip, 16384)));
    if (n == 0) return {};
    skip -= static_cast<int64_t>(n);
  }
  std::vector<int16_t> excerpt(static_cast<size_t>(count));
  size_t have = 0;
  for (size_t n = 1; have < excerpt.size() && n > 0; have += n) {
    n = reader.read(excerpt.data() + have, excerpt.size() - have);
  }
  excerpt.resize(have);
  return excerpt;
}

// --delay auto on two files, as estimate_lag finds it, in blocks: a read once for its loudest
// excerpt, then that excerpt and the samples of b around it read again.
LagEstimate estimate_file_lag(const CompareOptions& o) {
  LoudestExcerpt loudest;
  {
    AudioReader a(o.a, o.read);
    std::vector<int16_t> block(16384);
    for (size_t n = 0; (n = a.read(block.data(), block.size())) > 0;) {
      loudest.add(std::span<const int16_t>(block).first(n));
    }
  }
  const int64_t start = loudest.start();
  const int64_t b_start = std::max<int64_t>(0, start - o.max_delay);
  const std::vector<int16_t> excerpt = read_excerpt(o.a, o.read, start, loudest.width());
  const std::vector<int16_t> region =
      read_excerpt(o.b, o.read, b_start, start + loudest.width() + o.max_delay - b_start);
  return lag_of_excerpt(excerpt, start, region, b_start, o.max_delay);
}

int compare_files(const CompareOptions& o) {
  FileComparison f;
  int lag = 0;
  if (o.delay != "auto") {
    size_t used = 0;
    try {
      lag = std::stoi(o.delay, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == 0 || used != o.delay.size()) {
      throw ToolError("--delay " + o.delay +
                      ": give auto or a number of samples (positive: b comes later)");
    }
  }
  if (o.delay == "auto" && (o.a == "-" || o.b == "-")) {
    // Standard input cannot be read twice: in memory.
    const AudioInput a = read_audio(o.a, o.read);
    const AudioInput b = read_audio(o.b, o.read);
    const LagEstimate estimate = estimate_lag(a.samples, b.samples, o.max_delay);
    f.estimated = true;
    f.correlation = estimate.correlation;
    f.c = compare_samples(a.samples, b.samples, estimate.lag, o.tolerance);
  } else {
    if (o.delay == "auto") {
      const LagEstimate estimate = estimate_file_lag(o);
      lag = estimate.lag;
      f.estimated = true;
      f.correlation = estimate.correlation;
    }
    AudioReader a(o.a, o.read);
    AudioReader b(o.b, o.read);
    f.c = compare_audio(a, b, lag, o.tolerance);
  }
  const std::string text = o.json ? file_json(o, f).dump(2) + "\n" : file_text(o, f);
  std::fputs(text.c_str(), stdout);
  return f.c.identical ? 0 : 1;
}

// ---- two traces ----

struct PositionDifference {
  SampleComparison c;
  std::string file_a;
  std::string file_b;
};

// The first frame where frames.csv of the two traces differ, with the first column that differs.
struct StateDifference {
  bool present = false;  // both traces have frames.csv
  long long frame = -1;  // -1 when the rows are the same
  std::string column;
};

// The next record of frames.csv, read a line at a time (its fields hold no line breaks); false
// at the end.
bool next_record(std::istream& in, std::vector<std::string>* fields) {
  std::string line;
  while (std::getline(in, line)) {
    CsvTable table = csv_parse(line);
    if (table.records.empty()) continue;  // a blank line
    *fields = std::move(table.records[0].fields);
    return true;
  }
  return false;
}

StateDifference compare_frame_states(const fs::path& a, const fs::path& b) {
  StateDifference d;
  if (!fs::exists(a) || !fs::exists(b)) return d;
  d.present = true;
  std::ifstream file_a(a, std::ios::binary);
  std::ifstream file_b(b, std::ios::binary);
  std::vector<std::string> header;  // of a
  std::vector<std::string> fa;
  std::vector<std::string> fb;
  next_record(file_a, &header);
  next_record(file_b, &fb);
  for (long long frame = 0;; ++frame) {
    const bool more_a = next_record(file_a, &fa);
    const bool more_b = next_record(file_b, &fb);
    if (!more_a && !more_b) return d;
    if (!more_a || !more_b) {
      d.frame = frame;
      d.column = "(one trace ends)";
      return d;
    }
    if (fa == fb) continue;
    d.frame = frame;
    for (size_t c = 0; c < std::max(fa.size(), fb.size()); ++c) {
      if (c >= fa.size() || c >= fb.size() || fa[c] != fb[c]) {
        d.column = c < header.size() ? header[c] : "column " + std::to_string(c + 1);
        break;
      }
    }
    return d;
  }
}

// Two traces compared position by position and in their frame states.
struct TraceComparison {
  std::vector<PositionDifference> positions;
  // Where the traces part: the earliest frame at which a position differs, and the first position
  // of the chain that differs in that frame (the engine runs frame by frame through the chain).
  std::optional<std::pair<long long, int>> part;
  StateDifference state;
  bool identical() const { return !part && state.frame < 0; }
};

TraceComparison compare_trace_folders(const CompareOptions& o) {
  TraceComparison t;
  const TraceFiles trace_a = read_trace(o.trace_a);
  const TraceFiles trace_b = read_trace(o.trace_b);
  for (int p = 0; p < CHAIN_POSITION_COUNT; ++p) {
    PositionDifference d;
    d.file_a = trace_a.signals[static_cast<size_t>(p)];
    d.file_b = trace_b.signals[static_cast<size_t>(p)];
    AudioReader a(d.file_a);
    AudioReader b(d.file_b);
    d.c = compare_audio(a, b, 0, o.tolerance);
    long long frame = -1;
    if (d.c.first >= 0) {
      frame = d.c.first / FRAME_LENGTH;
    } else if (d.c.length_a != d.c.length_b) {
      frame = std::min(d.c.length_a, d.c.length_b) / FRAME_LENGTH;
    }
    if (frame >= 0 && (!t.part || frame < t.part->first)) t.part = std::make_pair(frame, p);
    t.positions.push_back(std::move(d));
  }
  t.state = compare_frame_states(trace_a.frames, trace_b.frames);
  return t;
}

Json trace_comparison_json(const CompareOptions& o, const TraceComparison& t) {
  Json j;
  j["trace_a"] = o.trace_a;
  j["trace_b"] = o.trace_b;
  j["identical"] = t.identical();
  Json list = Json::array();
  for (int p = 0; p < CHAIN_POSITION_COUNT; ++p) {
    const SampleComparison& c = t.positions[static_cast<size_t>(p)].c;
    Json e;
    e["position"] = p;
    e["name"] = position_name(static_cast<ChainPosition>(p));
    e["identical"] = c.identical;
    e["first_sample"] = c.first >= 0 ? Json(c.first) : Json(nullptr);
    e["first_frame"] = c.first >= 0 ? Json(c.first / FRAME_LENGTH) : Json(nullptr);
    e["differing_samples"] = c.differing_samples;
    e["differing_frames"] = c.differing_frames;
    e["max_difference"] = c.max_difference;
    e["length_a"] = c.length_a;
    e["length_b"] = c.length_b;
    list.push_back(e);
  }
  j["positions"] = list;
  j["part"] = t.part ? Json{{"frame", t.part->first},
                            {"position", t.part->second},
                            {"name", position_name(static_cast<ChainPosition>(t.part->second))}}
                     : Json(nullptr);
  const StateDifference& state = t.state;
  j["state"] =
      !state.present ? Json(nullptr)
      : state.frame < 0
          ? Json{{"identical", true}}
          : Json{{"identical", false}, {"first_frame", state.frame}, {"column", state.column}};
  return j;
}

void print_trace_comparison(const CompareOptions& o, const TraceComparison& t) {
  std::printf("%s: traces %s and %s\n", t.identical() ? "identical" : "different",
              o.trace_a.c_str(), o.trace_b.c_str());
  for (int p = 0; p < CHAIN_POSITION_COUNT; ++p) {
    const SampleComparison& c = t.positions[static_cast<size_t>(p)].c;
    std::printf("  %d %-11s", p, position_name(static_cast<ChainPosition>(p)));
    if (c.identical) {
      std::printf("identical\n");
    } else if (c.first >= 0) {
      std::printf(
          "differs from frame %lld (sample %lld), %lld samples in %lld frames, largest %d\n",
          static_cast<long long>(c.first / FRAME_LENGTH), static_cast<long long>(c.first),
          static_cast<long long>(c.differing_samples), static_cast<long long>(c.differing_frames),
          c.max_difference);
    } else {
      std::printf("lengths differ: %lld and %lld samples\n", static_cast<long long>(c.length_a),
                  static_cast<long long>(c.length_b));
    }
  }
  if (t.state.frame >= 0) {
    std::printf("  stage state (frames.csv) first differs at frame %lld, in %s\n", t.state.frame,
                t.state.column.c_str());
  }
  if (t.part) {
    std::printf("The traces part at frame %lld (%.2f s), at position %d (%s).\n", t.part->first,
                static_cast<double>(t.part->first) * FRAME_LENGTH / ENGINE_SAMPLE_RATE,
                t.part->second, position_name(static_cast<ChainPosition>(t.part->second)));
  }
}

int compare_traces(const CompareOptions& o) {
  const TraceComparison t = compare_trace_folders(o);
  if (o.json) {
    std::printf("%s\n", trace_comparison_json(o, t).dump(2).c_str());
  } else {
    print_trace_comparison(o, t);
  }
  return t.identical() ? 0 : 1;
}

int compare_command(const CompareOptions& o) {
  const bool files = !o.a.empty() || !o.b.empty();
  const bool traces = !o.trace_a.empty() || !o.trace_b.empty();
  if ((files && (o.a.empty() || o.b.empty())) ||
      (traces && (o.trace_a.empty() || o.trace_b.empty())) || files == traces) {
    throw ToolError(
        "give two recordings (halvern compare A B) or two traces "
        "(--trace-a DIR --trace-b DIR)");
  }
  return files ? compare_files(o) : compare_traces(o);
}

}  // namespace

void add_compare_command(CLI::App& app, int* status) {
  auto options = std::make_shared<CompareOptions>();
  CLI::App* sub = app.add_subcommand(
      "compare",
      "tell whether two recordings (or two traces) are the same, and where they differ; "
      "exit status 0 identical, 1 different, 2 error");
  sub->add_option("a", options->a, "the first recording (the reference)")->type_name("FILE");
  sub->add_option("b", options->b, "the second recording")->type_name("FILE");
  sub->add_option("--delay", options->delay,
                  "lag of b behind a in samples (negative: b earlier), or auto to estimate it")
      ->type_name("N|auto")
      ->default_str("0");
  sub->add_option("--max-delay", options->max_delay,
                  "largest lag --delay auto searches, in samples")
      ->type_name("N")
      ->check(CLI::Range(0, 160000).description(""))
      ->default_str("2000");
  sub->add_option("--tolerance", options->tolerance, "differences up to N count as equal")
      ->type_name("N")
      ->check(CLI::Range(0, 65535).description(""));
  sub->add_option("--trace-a", options->trace_a, "a trace folder written by halvern run --trace")
      ->type_name("FOLDER");
  sub->add_option("--trace-b", options->trace_b, "the trace folder to compare it with")
      ->type_name("FOLDER");
  add_json_option(sub, &options->json, "the figures as JSON");
  add_read_options(sub, &options->read, "recordings", false);
  sub->callback([options, status] { *status = compare_command(*options); });
}

}  // namespace halvern::tools
