// The trace of one run: the signal at every position of the chain, one file each in the output's
// format ("<position>_<name><extension>"), frames.csv with every stage's state at the end of each
// frame, and trace.json, the index that says which files make the trace and of what run. A trace
// folder holds one run's files only: a run replaces a previous trace wholly and refuses a folder
// that holds anything else; the index is written last, so a folder without it is no complete trace.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/observer.h"
#include "tools/io/audio_io.h"
#include "tools/io/safe_file.h"

namespace halvern::tools {

inline constexpr const char* TRACE_INDEX_NAME = "trace.json";
inline constexpr const char* TRACE_FRAMES_NAME = "frames.csv";

// What the index records of the run besides the files.
struct TraceRun {
  std::string input;
  std::string tuning;
  std::string stages;  // the stages that ran, e.g. "hp,dyn,eq" or "none"
  int64_t frames = 0;
};

class TraceWriter : public EngineObserver {
 public:
  // Creates the folder when it is missing and the files under temporary names (told to
  // temporaries). Throws ToolError when the folder holds files other than a trace's.
  TraceWriter(const std::string& folder, const AudioFormat& format,
              TemporaryFiles* temporaries = nullptr);
  ~TraceWriter() override;

  // The paths the trace will have: every position's file, frames.csv and the index.
  static std::vector<std::string> paths(const std::string& folder, const AudioFormat& format);

  void on_signal(ChainPosition position, const int16_t* frame, int n) override;
  void on_frame_end(const Engine& engine) override;

  // Gives the files their names, removes what an earlier trace left that is not part of this one
  // and writes the index last. Throws ToolError.
  void commit(const TraceRun& run);

 private:
  void flush_csv();

  std::string folder_;
  AudioFormat format_;
  TemporaryFiles* temporaries_;
  std::vector<std::unique_ptr<AudioWriter>> signals_;
  std::unique_ptr<SafeFile> csv_file_;
  std::string csv_;
  int64_t frame_ = 0;
};

// A complete trace as its index lists it.
struct TraceFiles {
  std::vector<std::string> signals;  // one path per chain position
  std::string frames;                // frames.csv
  int64_t frames_count = 0;
};

// Reads the index of the trace in folder and checks that the folder holds that trace and no
// other: every file present, none of another run. Throws ToolError saying what is wrong.
TraceFiles read_trace(const std::string& folder);

}  // namespace halvern::tools
