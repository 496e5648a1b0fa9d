#include "tools/running/trace.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "tools/io/tool_error.h"
#include "tools/running/frame_state.h"
#include "tools/running/stats.h"

namespace halvern::tools {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

std::string position_stem(int p) {
  return std::to_string(p) + "_" + position_name(static_cast<ChainPosition>(p));
}

// A position's file of a trace in any format: "<position>_<name>.<extension>".
bool is_position_file(const fs::path& name) {
  if (!name.has_extension() || name.extension() == ".") return false;
  for (int p = 0; p < CHAIN_POSITION_COUNT; ++p) {
    if (name.stem() == position_stem(p)) return true;
  }
  return false;
}

bool is_trace_name(const std::string& name) {
  return name == TRACE_INDEX_NAME || name == TRACE_FRAMES_NAME || is_position_file(name);
}

// What a killed run left: ".<trace file name>.partial-XXXXXX".
bool is_trace_leftover(const std::string& name) {
  const size_t at = name.rfind(".partial-");
  return name.size() > 1 && name[0] == '.' && at != std::string::npos && at > 1 &&
         is_trace_name(name.substr(1, at - 1));
}

// The entries of folder that are no part of any trace, at most a few named.
std::string foreign_entries(const fs::path& folder) {
  std::vector<std::string> names;
  size_t count = 0;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    const bool ours = (entry.is_regular_file(error) || entry.is_symlink(error)) &&
                      (is_trace_name(name) || is_trace_leftover(name));
    if (ours) continue;
    if (++count <= 3) names.push_back(name);
  }
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  if (count > names.size()) text += " and " + std::to_string(count - names.size()) + " more";
  return text;
}

}  // namespace

TraceWriter::TraceWriter(const std::string& folder, const AudioFormat& format,
                         TemporaryFiles* temporaries)
    : folder_(folder), format_(format), temporaries_(temporaries) {
  std::error_code error;
  if (fs::exists(folder, error) && !fs::is_directory(folder, error)) {
    throw ToolError("cannot write the trace to " + folder + ": it is a file, not a folder");
  }
  fs::create_directories(folder, error);
  if (error) throw ToolError("cannot create the trace folder " + folder + ": " + error.message());
  const std::string foreign = foreign_entries(folder);
  if (!foreign.empty()) {
    throw ToolError("the trace folder " + folder + " holds files that are no trace (" + foreign +
                    "): give an empty or new folder, or the folder of an earlier --trace, "
                    "which is replaced");
  }
  const std::vector<std::string> files = paths(folder, format);
  for (int p = 0; p < CHAIN_POSITION_COUNT; ++p) {
    signals_.push_back(
        std::make_unique<AudioWriter>(files[static_cast<size_t>(p)], format, temporaries));
  }
  csv_file_ = std::make_unique<SafeFile>(files[CHAIN_POSITION_COUNT], temporaries);
  csv_ = frames_csv_header();
}

TraceWriter::~TraceWriter() = default;

std::vector<std::string> TraceWriter::paths(const std::string& folder, const AudioFormat& format) {
  std::vector<std::string> files;
  for (int p = 0; p < CHAIN_POSITION_COUNT; ++p) {
    files.push_back((fs::path(folder) / (position_stem(p) + format.extension)).string());
  }
  files.push_back((fs::path(folder) / TRACE_FRAMES_NAME).string());
  files.push_back((fs::path(folder) / TRACE_INDEX_NAME).string());
  return files;
}

void TraceWriter::on_signal(ChainPosition position, const int16_t* frame, int n) {
  signals_[static_cast<size_t>(position)]->write(frame, static_cast<size_t>(n));
}

void TraceWriter::on_frame_end(const Engine& engine) {
  csv_ += frames_csv_row(capture_frame_state(engine, frame_++));
  if (csv_.size() > (1 << 16)) flush_csv();
}

void TraceWriter::flush_csv() {
  csv_file_->write(csv_.data(), csv_.size());
  csv_.clear();
}

void TraceWriter::commit(const TraceRun& run) {
  // The earlier index goes first: a folder caught between two traces has none, and is no trace.
  const fs::path index = fs::path(folder_) / TRACE_INDEX_NAME;
  std::error_code error;
  fs::remove(index, error);
  if (error) throw ToolError("cannot replace " + index.string() + ": " + error.message());
  for (auto& writer : signals_) writer->commit();
  flush_csv();
  csv_file_->commit();

  const std::vector<std::string> files = paths(folder_, format_);
  for (const auto& entry : fs::directory_iterator(folder_, error)) {
    const std::string name = entry.path().filename().string();
    const bool current = std::any_of(files.begin(), files.end(), [&](const std::string& f) {
      return fs::path(f).filename() == name;
    });
    if (!current && (is_trace_name(name) || is_trace_leftover(name))) {
      fs::remove(entry.path(), error);
    }
  }

  Json j;
  j["format"] = format_.name;
  j["extension"] = format_.extension;
  j["frames"] = run.frames;
  j["input"] = run.input;
  j["tuning"] = run.tuning;
  j["stages"] = run.stages;
  Json positions = Json::array();
  for (int p = 0; p < CHAIN_POSITION_COUNT; ++p) {
    positions.push_back({{"position", p},
                         {"name", position_name(static_cast<ChainPosition>(p))},
                         {"file", fs::path(files[static_cast<size_t>(p)]).filename().string()}});
  }
  j["positions"] = positions;
  j["frames_file"] = TRACE_FRAMES_NAME;
  write_text_file(index.string(), j.dump(2) + "\n", temporaries_);
}

TraceFiles read_trace(const std::string& folder) {
  const fs::path dir(folder);
  std::error_code error;
  if (!fs::is_directory(dir, error)) {
    throw ToolError(folder + " is no folder: give the folder of halvern run --trace");
  }
  const fs::path index_path = dir / TRACE_INDEX_NAME;
  if (!fs::exists(index_path, error)) {
    throw ToolError(folder + " has no " + std::string(TRACE_INDEX_NAME) +
                    ": it holds no complete trace (a run that did not finish, or files of "
                    "another kind); run halvern run --trace again into it");
  }
  Json j;
  try {
    std::ifstream f(index_path, std::ios::binary);
    j = Json::parse(f);
    TraceFiles trace;
    trace.frames_count = j.at("frames").get<int64_t>();
    const Json& positions = j.at("positions");
    if (!positions.is_array() || positions.size() != static_cast<size_t>(CHAIN_POSITION_COUNT)) {
      throw ToolError(index_path.string() + " does not list every position of the chain");
    }
    std::vector<std::string> listed = {TRACE_INDEX_NAME, j.at("frames_file").get<std::string>()};
    for (const Json& p : positions) {
      const std::string name = p.at("file").get<std::string>();
      if (fs::path(name).filename() != name) {
        throw ToolError(index_path.string() + ": '" + name + "' is not a file of the folder");
      }
      listed.push_back(name);
      trace.signals.push_back((dir / name).string());
    }
    trace.frames = (dir / listed[1]).string();
    for (size_t i = 1; i < listed.size(); ++i) {
      if (!fs::is_regular_file(dir / listed[i], error)) {
        throw ToolError(folder + " is an incomplete trace: " + listed[i] +
                        " is missing; run "
                        "halvern run --trace again into it");
      }
    }
    for (const auto& entry : fs::directory_iterator(dir, error)) {
      const std::string name = entry.path().filename().string();
      if ((is_trace_name(name) || is_trace_leftover(name)) &&
          std::find(listed.begin(), listed.end(), name) == listed.end()) {
        throw ToolError(folder + " mixes files of several traces (" + name +
                        " is not part of "
                        "the one its " +
                        TRACE_INDEX_NAME +
                        " lists); run halvern run --trace "
                        "again into an empty folder");
      }
    }
    return trace;
  } catch (const nlohmann::json::exception& e) {
    throw ToolError(index_path.string() + " cannot be read as a trace index (" + e.what() +
                    "); run halvern run --trace again into it");
  }
}

}  // namespace halvern::tools
