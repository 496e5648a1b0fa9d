#include "tools/batch/row_journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "tools/io/csv.h"
#include "tools/io/safe_file.h"
#include "tools/io/tool_error.h"

namespace halvern::tools {
namespace {

namespace fs = std::filesystem;

// The next CSV record of the stream as its text: whole lines, up to one that ends outside quotes.
// False at the end, and for a record cut short (its last line without a line break).
bool next_record(std::istream& in, std::string* text) {
  text->clear();
  size_t quotes = 0;
  std::string line;
  while (std::getline(in, line)) {
    if (in.eof()) return false;  // no line break: cut short
    for (const char c : line) quotes += c == '"' ? 1 : 0;
    *text += line;
    *text += '\n';
    if (quotes % 2 == 0) return true;
  }
  return false;
}

// The fields of one record's text; empty for a blank line or a record that does not parse.
std::vector<std::string> record_fields(const std::string& text) {
  CsvTable table = csv_parse(text);
  if (!table.error.empty() || table.records.size() != 1) return {};
  return std::move(table.records.front().fields);
}

}  // namespace

RowJournal::RowJournal(const std::string& summary, size_t positions)
    : path_(summary.empty() ? "" : path_for(summary)), spans_(positions) {}

RowJournal::~RowJournal() {
  if (anonymous_ != nullptr) {
    std::fclose(anonymous_);
  } else if (fd_ >= 0) {
    ::close(fd_);
  }
}

std::string RowJournal::path_for(const std::string& summary) {
  const fs::path path(summary);
  std::string name = ".";  // put together without the temporaries g++ 12 warns about
  name += path.filename().string();
  name += ".rows";
  return (path.parent_path() / name).string();
}

void RowJournal::start(const std::vector<std::string>& columns, const std::string& summary,
                       const Resumable& resumable, TemporaryFiles* temporaries) {
  const std::string header = csv_line(columns);
  if (path_.empty()) {
    anonymous_ = std::tmpfile();
    if (anonymous_ == nullptr) {
      throw ToolError(std::string("cannot create a temporary file for the summary's rows: ") +
                      std::strerror(errno));
    }
    fd_ = fileno(anonymous_);
    write_at(header, 0);
    end_ = header.size();
    return;
  }
  {
    SafeFile out(path_, temporaries);
    out.write(header.data(), header.size());
    end_ = header.size();
    if (resumable) {
      keep_previous(path_, resumable, &out);
      keep_previous(summary, resumable, &out);
    }
    out.commit();
  }
  fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
  if (fd_ < 0) throw ToolError(path_ + ": cannot open the journal: " + std::strerror(errno));
}

// Copies the rows of an earlier file that resumable keeps, each key once, the first kept.
void RowJournal::keep_previous(const std::string& file, const Resumable& resumable, SafeFile* out) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return;
  if (in.peek() == '#') {  // a shard's first line
    std::string line;
    std::getline(in, line);
  }
  std::string text;
  std::vector<std::string> header;
  while (header.empty() && next_record(in, &text)) header = record_fields(text);
  while (next_record(in, &text)) {
    std::vector<std::string> cells = record_fields(text);
    if (cells.size() != header.size()) {
      if (cells.empty() && text.find_first_not_of(" \t\r\n") == std::string::npos) continue;
      return;  // a row cut short: what follows is not trusted
    }
    const std::optional<std::string> key = resumable(header, &cells);
    if (!key || previous_.count(*key) != 0) continue;
    const std::string line = csv_line(cells);
    previous_[*key] = {end_, static_cast<uint32_t>(line.size())};
    out->write(line.data(), line.size());
    end_ += line.size();
  }
}

std::optional<std::vector<std::string>> RowJournal::previous(const std::string& key) const {
  const auto found = previous_.find(key);
  if (found == previous_.end()) return std::nullopt;
  return read(found->second);
}

void RowJournal::add(size_t position, const std::vector<std::string>& cells) {
  const std::string line = csv_line(cells);
  const std::lock_guard<std::mutex> lock(mutex_);
  write_at(line, end_);
  spans_.at(position) = {end_, static_cast<uint32_t>(line.size())};
  end_ += line.size();
}

void RowJournal::each_in_order(
    const std::function<void(const std::vector<std::string>&)>& each) const {
  for (const Span& span : spans_) {
    if (span.length > 0) each(read(span));
  }
}

void RowJournal::remove() {
  if (path_.empty() || fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  std::error_code ignored;
  fs::remove(path_, ignored);
}

std::vector<std::string> RowJournal::read(Span span) const {
  std::string text(span.length, '\0');
  size_t have = 0;
  while (have < text.size()) {
    const ssize_t got = ::pread(fd_, text.data() + have, text.size() - have,
                                static_cast<off_t>(span.offset + have));
    if (got <= 0) {
      throw ToolError((path_.empty() ? "the summary's rows" : path_) +
                      ": cannot read the journal back: " +
                      (got < 0 ? std::strerror(errno) : "the file is shorter than written"));
    }
    have += static_cast<size_t>(got);
  }
  return record_fields(text);
}

void RowJournal::write_at(const std::string& line, uint64_t offset) const {
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t put =
        ::pwrite(fd_, line.data() + done, line.size() - done, static_cast<off_t>(offset + done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      throw ToolError((path_.empty() ? "the summary's rows" : path_) +
                      ": cannot write the journal of finished jobs: " + std::strerror(errno));
    }
    done += static_cast<size_t>(put);
  }
}

}  // namespace halvern::tools
