// The journal of a batch: each job's summary row appended as the job finishes, so that a batch
// killed before its summary still gives --resume the figures of its finished jobs, and so that
// the summary is written from it in job order at the end without the rows held in memory. It is
// ".<summary name>.rows" beside the summary (CSV: the summary's header, then rows in the order
// the jobs finished), or an anonymous temporary file for a summary to standard output. Memory
// holds only where each row lies in the file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace halvern::tools {

class SafeFile;
class TemporaryFiles;

class RowJournal {
 public:
  // An earlier row worth resuming from, given the header of its file: the key it is found by
  // again (the job's output) with its cells made those of the current columns, or nothing.
  using Resumable = std::function<std::optional<std::string>(const std::vector<std::string>& header,
                                                             std::vector<std::string>* cells)>;

  // The journal of the summary (empty: standard output) for jobs at positions [0, positions).
  RowJournal(const std::string& summary, size_t positions);
  ~RowJournal();
  RowJournal(const RowJournal&) = delete;
  RowJournal& operator=(const RowJournal&) = delete;

  // ".<summary name>.rows" beside the summary.
  static std::string path_for(const std::string& summary);
  const std::string& path() const { return path_; }

  // Starts the journal with the header `columns`, and with the earlier rows that `resumable`
  // keeps from the journal and then the summary of an earlier run (files read row by row; a row
  // cut short by a kill ends the file's reading). The new journal is written whole under a
  // temporary name first, so that a kill meanwhile loses none of them. Throws ToolError.
  // The temporary name is told to temporaries, when given.
  void start(const std::vector<std::string>& columns, const std::string& summary,
             const Resumable& resumable, TemporaryFiles* temporaries = nullptr);
  // The cells of the earlier row kept under key, if any.
  std::optional<std::vector<std::string>> previous(const std::string& key) const;

  // Appends the row of the job at position (thread-safe). Throws ToolError.
  void add(size_t position, const std::vector<std::string>& cells);
  // The rows added, by position: each(cells) from the first position to the last that has one.
  void each_in_order(const std::function<void(const std::vector<std::string>&)>& each) const;
  // Removes the journal, once the summary is written.
  void remove();

 private:
  struct Span {
    uint64_t offset = 0;
    uint32_t length = 0;  // 0: no row
  };
  void keep_previous(const std::string& file, const Resumable& resumable, SafeFile* out);
  std::vector<std::string> read(Span span) const;
  void write_at(const std::string& line, uint64_t offset) const;

  std::string path_;  // empty for an anonymous journal
  int fd_ = -1;
  std::FILE* anonymous_ = nullptr;
  std::vector<Span> spans_;
  std::map<std::string, Span> previous_;
  uint64_t end_ = 0;
  mutable std::mutex mutex_;
};

}  // namespace halvern::tools
