#include "tools/io/csv.h"

namespace halvern::tools {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string trimmed(std::string_view s) {
  size_t begin = 0;
  size_t end = s.size();
  while (begin < end && is_blank(s[begin])) ++begin;
  while (end > begin && is_blank(s[end - 1])) --end;
  return std::string(s.substr(begin, end - begin));
}

// The quoted field that starts at text[*j], up to the comma or line end after it (*j ends
// there); *line counts the newlines inside it. False, with the table's error set, when the field
// is never closed or text follows its closing quote.
bool read_quoted(std::string_view text, size_t* at, int* line, std::string* field,
                 CsvTable* table) {
  size_t& j = *at;
  const int opened = *line;
  ++j;
  for (;;) {
    if (j >= text.size()) {
      table->error = "a quoted field opened on line " + std::to_string(opened) +
                     " is never closed: end it with \"";
      table->error_line = opened;
      return false;
    }
    if (text[j] == '"') {
      if (j + 1 < text.size() && text[j + 1] == '"') {
        *field += '"';
        j += 2;
        continue;
      }
      ++j;
      break;
    }
    if (text[j] == '\n') ++*line;
    *field += text[j++];
  }
  while (j < text.size() && is_blank(text[j])) ++j;
  if (j < text.size() && text[j] == '\r') ++j;
  if (j < text.size() && text[j] != ',' && text[j] != '\n') {
    table->error = "text after a closing quote: a quote inside a quoted field is written \"\"";
    table->error_line = *line;
    return false;
  }
  return true;
}

}  // namespace

CsvTable csv_parse(std::string_view text) {
  CsvTable table;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  size_t i = 0;
  int line = 1;
  while (i < text.size()) {
    CsvRecord record;
    record.line = line;
    bool end_of_record = false;
    while (!end_of_record) {
      // One field: blanks, then either a quoted field or raw text up to a comma or line end.
      size_t j = i;
      while (j < text.size() && is_blank(text[j])) ++j;
      std::string field;
      if (j < text.size() && text[j] == '"') {
        if (!read_quoted(text, &j, &line, &field, &table)) return table;
      } else {
        size_t k = j;
        while (k < text.size() && text[k] != ',' && text[k] != '\n') ++k;
        std::string_view raw = text.substr(j, k - j);
        if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
        field = trimmed(raw);
        j = k;
      }
      record.fields.push_back(std::move(field));
      if (j < text.size() && text[j] == ',') {
        i = j + 1;
      } else {
        if (j < text.size()) ++line;  // the newline
        i = j + 1;
        end_of_record = true;
      }
    }
    const bool blank = record.fields.size() == 1 && record.fields[0].empty();
    if (!blank) table.records.push_back(std::move(record));
  }
  return table;
}

std::string csv_field(std::string_view value) {
  const bool quote = value.find_first_of(",\"\r\n") != std::string_view::npos ||
                     (!value.empty() && (is_blank(value.front()) || is_blank(value.back())));
  if (!quote) return std::string(value);
  std::string out = "\"";
  for (const char c : value) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

std::string csv_line(const std::vector<std::string>& fields) {
  std::string out;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out += ',';
    out += csv_field(fields[i]);
  }
  out += '\n';
  return out;
}

}  // namespace halvern::tools
