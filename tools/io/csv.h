// A small reader and writer of comma-separated values, enough for the batch manifest and the
// batch summaries: a comma between fields, a field in double quotes may hold commas, line breaks
// and doubled quotes (""), lines end in LF or CRLF, a byte-order mark at the start is skipped.
// Written here rather than taken from a library: the format is this small, and the reader has to
// name the line of every record for the messages.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace halvern::tools {

struct CsvRecord {
  int line = 0;                     // the line of the file where the record starts, from 1
  std::vector<std::string> fields;  // unquoted fields have their surrounding blanks removed
};

struct CsvTable {
  std::vector<CsvRecord> records;  // blank lines are not records
  std::string error;               // empty when the whole text was read
  int error_line = 0;              // where the error is, when there is one
};

CsvTable csv_parse(std::string_view text);

// The field as it goes into a CSV line: quoted when it holds a comma, a quote, a line break or
// surrounding blanks.
std::string csv_field(std::string_view value);

// The fields joined by commas, each through csv_field, with a final newline.
std::string csv_line(const std::vector<std::string>& fields);

}  // namespace halvern::tools
