#include "tools/batch/batch_summary.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>

#include "tools/batch/batch_plan.h"
#include "tools/io/csv.h"

namespace halvern::tools {
namespace {

using Json = nlohmann::ordered_json;

const std::vector<std::string> JOB_COLUMNS = {"job",    "name",   "input", "tuning",
                                              "output", "status", "error"};
const std::vector<std::string> COMPARE_COLUMNS = {
    "reference", "compare", "first_difference", "differing_samples", "max_difference", "sdr_db"};
// Timings differ from run to run: not in the summary.
bool is_timing(const std::string& key) {
  return key == "wall_seconds" || key == "speed_x_real_time";
}

// Each leaf of the statistics document as (column, cell): nested keys joined by '.', the
// "positions." level left out, an array as its numbers separated by spaces, null as empty.
void flatten(const Json& j, const std::string& prefix,
             std::vector<std::pair<std::string, std::string>>* out) {
  for (const auto& [key, value] : j.items()) {
    if (is_timing(key)) continue;
    const std::string column = prefix.empty() && key == "positions" ? ""
                               : prefix.empty()                     ? key
                                                                    : prefix + "." + key;
    if (value.is_object()) {
      flatten(value, column, out);
    } else if (value.is_array()) {
      std::string cell;
      for (const Json& item : value) {
        if (!cell.empty()) cell += ' ';
        cell += item.dump();
      }
      out->emplace_back(column, cell);
    } else {
      out->emplace_back(column, value.is_null() ? "" : value.dump());
    }
  }
}

// The statistics columns: those of a run with every stage on (made once: they never change).
const std::vector<std::string>& stats_columns() {
  static const std::vector<std::string> COLUMNS = [] {
    RunStats all;
    for (PositionStats& p : all.positions) p.enabled = true;
    all.dynamics.enabled = all.limiter.enabled = all.suppressor.enabled = true;
    std::vector<std::pair<std::string, std::string>> cells;
    flatten(stats_to_json(all), "", &cells);
    std::vector<std::string> columns;
    for (auto& [column, cell] : cells) columns.push_back(column);
    return columns;
  }();
  return COLUMNS;
}

bool is_text_column(const std::string& column) {
  return std::find(JOB_COLUMNS.begin() + 1, JOB_COLUMNS.end(), column) != JOB_COLUMNS.end() ||
         column == "reference" || column == "compare" || column == TUNING_FINDINGS_COLUMN;
}

// A cell of a statistics column as JSON: null, a number, or an array of numbers.
Json cell_json(const std::string& cell) {
  if (cell.empty()) return nullptr;
  if (cell.find(' ') != std::string::npos) {
    Json array = Json::array();
    size_t at = 0;
    while (at < cell.size()) {
      const size_t space = std::min(cell.find(' ', at), cell.size());
      array.push_back(cell_json(cell.substr(at, space - at)));
      at = space + 1;
    }
    return array;
  }
  Json number = Json::parse(cell, nullptr, false);
  return number.is_number() ? number : Json(cell);
}

// A shard's first line of its CSV summary; empty for a summary that is not a shard's.
std::string shard_line(const ShardFacts& shard) {
  if (shard.k == 0) return "";
  return "# shard " + std::to_string(shard.k) + "/" + std::to_string(shard.n) + " of " +
         std::to_string(shard.total) + " jobs, plan " + shard.fingerprint + "\n";
}

// A row as its JSON object: numbers as numbers, empty cells as null.
Json row_json(const std::vector<std::string>& columns, const std::vector<std::string>& row) {
  Json job;
  for (size_t c = 0; c < columns.size() && c < row.size(); ++c) {
    const std::string& column = columns[c];
    job[column] = is_text_column(column) ? (row[c].empty() ? Json(nullptr) : Json(row[c]))
                                         : cell_json(row[c]);
  }
  return job;
}

}  // namespace

std::vector<std::string> summary_columns(bool with_compare) {
  std::vector<std::string> columns = JOB_COLUMNS;
  for (const std::string& column : stats_columns()) columns.push_back(column);
  if (with_compare) columns.insert(columns.end(), COMPARE_COLUMNS.begin(), COMPARE_COLUMNS.end());
  columns.emplace_back(TUNING_FINDINGS_COLUMN);
  return columns;
}

std::vector<std::string> stats_cells(const RunStats& stats) {
  const std::vector<std::string>& columns = stats_columns();
  std::vector<std::pair<std::string, std::string>> present;
  flatten(stats_to_json(stats), "", &present);
  std::vector<std::string> cells(columns.size());
  for (const auto& [column, cell] : present) {
    const auto at = std::find(columns.begin(), columns.end(), column);
    if (at != columns.end()) cells[static_cast<size_t>(at - columns.begin())] = cell;
  }
  return cells;
}

std::string summary_csv(const SummaryTable& table) {
  std::string text = shard_line(table.shard) + csv_line(table.columns);
  for (const auto& row : table.rows) text += csv_line(row);
  return text;
}

Json summary_json(const SummaryTable& table) {
  Json jobs = Json::array();
  for (const auto& row : table.rows) jobs.push_back(row_json(table.columns, row));
  if (table.shard.k == 0) return Json{{"jobs", jobs}};
  const ShardFacts& shard = table.shard;
  return Json{
      {"shard",
       {{"k", shard.k}, {"n", shard.n}, {"jobs", shard.total}, {"plan", shard.fingerprint}}},
      {"jobs", jobs}};
}

std::vector<std::string> BatchRow::cells() const {
  std::vector<std::string> cells = {
      std::to_string(job), name, input, tuning, output, status, error};
  const size_t stats_count = stats_columns().size();
  cells.insert(cells.end(), stats.begin(), stats.end());
  cells.resize(JOB_COLUMNS.size() + stats_count);
  if (comparison) {
    const RowComparison& c = *comparison;
    cells.insert(cells.end(), {c.reference, c.compare, c.first_difference, c.differing_samples,
                               c.max_difference, c.sdr_db});
  }
  cells.push_back(tuning_findings);
  return cells;
}

BatchRow BatchRow::from_cells(const std::vector<std::string>& cells, bool with_compare) {
  const size_t stats_count = stats_columns().size();
  const size_t compare_count = with_compare ? COMPARE_COLUMNS.size() : 0;
  if (cells.size() != JOB_COLUMNS.size() + stats_count + compare_count + 1) {
    throw ToolError(std::to_string(cells.size()) + " cells where a row has " +
                    std::to_string(JOB_COLUMNS.size() + stats_count + compare_count + 1));
  }
  BatchRow row;
  const auto [end, fault] =
      std::from_chars(cells[0].data(), cells[0].data() + cells[0].size(), row.job);
  if (fault != std::errc() || end != cells[0].data() + cells[0].size()) {
    throw ToolError("job '" + cells[0] + "' is not a number");
  }
  auto at = cells.begin() + 1;
  for (std::string* field :
       {&row.name, &row.input, &row.tuning, &row.output, &row.status, &row.error}) {
    *field = *at++;
  }
  row.stats.assign(at, at + static_cast<std::ptrdiff_t>(stats_count));
  at += static_cast<std::ptrdiff_t>(stats_count);
  if (with_compare) {
    RowComparison& c = row.comparison.emplace();
    for (std::string* field : {&c.reference, &c.compare, &c.first_difference, &c.differing_samples,
                               &c.max_difference, &c.sdr_db}) {
      *field = *at++;
    }
  }
  row.tuning_findings = *at;
  return row;
}

SummaryWriter::SummaryWriter(std::vector<std::string> columns, const ShardFacts& shard, bool json,
                             std::function<void(std::string_view)> out)
    : columns_(std::move(columns)), json_(json), out_(std::move(out)) {
  if (!json_) {
    out_(shard_line(shard) + csv_line(columns_));
    return;
  }
  // The document without rows, cut before its empty list of jobs.
  const std::string empty = summary_json(SummaryTable{{}, {}, shard}).dump(2);
  const size_t list = empty.rfind("[]");
  out_(std::string_view(empty).substr(0, list + 1));
  closing_ = empty.substr(list + 1) + "\n";
}

void SummaryWriter::add(const std::vector<std::string>& cells) {
  ++rows_;
  if (!json_) {
    out_(csv_line(cells));
    return;
  }
  // The row as dump(2) writes an element of the list: four spaces further in.
  std::string text = rows_ == 1 ? "\n    " : ",\n    ";
  for (const char c : row_json(columns_, cells).dump(2)) {
    text += c;
    if (c == '\n') text += "    ";
  }
  out_(text);
}

void SummaryWriter::finish() {
  if (json_) out_(rows_ == 0 ? closing_ : "\n  " + closing_);
}

BatchRow BatchRow::from_columns(const std::vector<std::string>& columns,
                                std::vector<std::string> cells) {
  for (const bool with_compare : {false, true}) {
    const std::vector<std::string> current = summary_columns(with_compare);
    const bool older = columns.size() + 1 == current.size() &&
                       std::equal(columns.begin(), columns.end(), current.begin());
    if (columns != current && !older) continue;
    cells.resize(current.size());
    return from_cells(cells, with_compare);
  }
  throw ToolError("not the columns of a batch summary");
}

SummaryTable read_summary(const std::string& path) {
  SummaryTable table;
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    throw ToolError(path + ": cannot open the summary");
  }
  std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  int skipped = 0;  // lines before the header
  if (text.starts_with("#")) {
    const size_t end = std::min(text.find('\n'), text.size());
    const std::string line = text.substr(0, end);
    ShardFacts& shard = table.shard;
    char fingerprint[17] = "";
    unsigned long long total = 0;
    int used = 0;
    if (std::sscanf(line.c_str(), "# shard %d/%d of %llu jobs, plan %16[0-9a-f]%n", &shard.k,
                    &shard.n, &total, fingerprint, &used) != 4 ||
        static_cast<size_t>(used) != line.size() || shard.k < 1 || shard.k > shard.n) {
      throw ToolError(
          path + ":1: not a shard's first line (# shard K/N of TOTAL jobs, plan HEX): " + line);
    }
    shard.total = static_cast<size_t>(total);
    shard.fingerprint = fingerprint;
    text.erase(0, std::min(end + 1, text.size()));
    skipped = 1;
  }
  CsvTable csv = csv_parse(text);
  if (!csv.error.empty()) {
    throw ToolError(path + ":" + std::to_string(csv.error_line + skipped) + ": " + csv.error);
  }
  for (CsvRecord& record : csv.records) record.line += skipped;
  if (csv.records.empty() || csv.records.front().fields.empty() ||
      csv.records.front().fields.front() != "job") {
    throw ToolError(path +
                    ":1: not a batch summary: its first line must start with the column job");
  }
  table.columns = csv.records.front().fields;
  table.rows.clear();
  for (size_t r = 1; r < csv.records.size(); ++r) {
    const CsvRecord& record = csv.records[r];
    if (record.fields.size() != table.columns.size()) {
      throw ToolError(path + ":" + std::to_string(record.line) + ": " +
                      std::to_string(record.fields.size()) + " fields where the header has " +
                      std::to_string(table.columns.size()));
    }
    table.rows.push_back(record.fields);
  }
  return table;
}

namespace {

// Throws ToolError when part p cannot be merged with the first: one a shard's summary and the
// other not, shards of another batch, or other columns.
void check_part(const std::vector<SummaryTable>& parts, const std::vector<std::string>& names,
                size_t p) {
  const ShardFacts& first = parts.front().shard;
  const ShardFacts& shard = parts[p].shard;
  if ((shard.k == 0) != (first.k == 0)) {
    throw ToolError(names[shard.k == 0 ? p : 0] +
                    " is not a shard's summary (no '# shard K/N' line), " +
                    names[shard.k == 0 ? 0 : p] + " is: merge the summaries of --shard runs only");
  }
  if (shard.k > 0 && (shard.n != first.n || shard.total != first.total ||
                      shard.fingerprint != first.fingerprint)) {
    const auto facts = [](const ShardFacts& s) {
      return "shard " + std::to_string(s.k) + "/" + std::to_string(s.n) + " of " +
             std::to_string(s.total) + " jobs, plan " + s.fingerprint;
    };
    throw ToolError(names[p] + " (" + facts(shard) + ") and " + names.front() + " (" +
                    facts(first) + ") are not shards of one batch: " +
                    (shard.n != first.n ? "the numbers of shards differ"
                                        : "their manifests (or grids) differ") +
                    "; merge the shards of one run of one manifest");
  }
  if (parts[p].columns != parts.front().columns) {
    throw ToolError(names[p] + ": its columns differ from those of " + names.front() +
                    ": summaries of one batch (same options) merge");
  }
}

using RowsByJob = std::map<long long, std::pair<const std::vector<std::string>*, size_t>>;

// What the shards of the first part's batch leave missing: whole shards, or jobs of a shard.
std::string missing_from_shards(const ShardFacts& first, const std::vector<bool>& shard_seen,
                                const RowsByJob& by_job) {
  std::string missing;
  for (int k = 1; k <= first.n; ++k) {
    const auto [begin, end] = shard_range(first.total, Shard{k, first.n});
    if (begin == end) continue;
    if (shard_seen[static_cast<size_t>(k)]) {
      for (size_t job = begin + 1; job <= end; ++job) {
        if (by_job.count(static_cast<long long>(job)) > 0) continue;
        if (!missing.empty()) missing += ", ";
        missing += "job " + std::to_string(job);
      }
      continue;
    }
    if (!missing.empty()) missing += ", ";
    missing += "shard " + std::to_string(k) + "/" + std::to_string(first.n) + " (job" +
               (end - begin > 1 ? "s " + std::to_string(begin + 1) + "-" : " ") +
               std::to_string(end) + ")";
  }
  return missing;
}

// The jobs between 1 and the last one that no summary has.
std::string missing_between(const RowsByJob& by_job) {
  std::string missing;
  long long expected = 1;
  for (const auto& [job, entry] : by_job) {
    for (; expected < job; ++expected) {
      if (!missing.empty()) missing += ' ';
      missing += std::to_string(expected);
    }
    expected = job + 1;
  }
  return missing;
}

}  // namespace

SummaryTable merge_summaries(const std::vector<SummaryTable>& parts,
                             const std::vector<std::string>& names, std::string* missing) {
  SummaryTable merged;
  merged.columns = parts.empty() ? std::vector<std::string>{} : parts.front().columns;
  missing->clear();
  const ShardFacts& first = parts.empty() ? merged.shard : parts.front().shard;
  std::vector<bool> shard_seen(static_cast<size_t>(first.n) + 1, false);
  RowsByJob by_job;
  for (size_t p = 0; p < parts.size(); ++p) {
    check_part(parts, names, p);
    if (parts[p].shard.k > 0) shard_seen[static_cast<size_t>(parts[p].shard.k)] = true;
    for (const auto& row : parts[p].rows) {
      long long job = 0;
      try {
        job = std::stoll(row.front());
      } catch (const std::exception&) {
        throw ToolError(names[p] + ": job '" + row.front() + "' is not a number");
      }
      const auto [at, fresh] = by_job.emplace(job, std::make_pair(&row, p));
      if (!fresh) {
        throw ToolError("job " + row.front() + " is in both " + names[at->second.second] + " and " +
                        names[p] +
                        ": each shard must run a different part (--shard K/N, one K each)");
      }
    }
  }
  for (const auto& [job, entry] : by_job) merged.rows.push_back(*entry.first);
  *missing = first.k > 0 ? missing_from_shards(first, shard_seen, by_job) : missing_between(by_job);
  return merged;
}

}  // namespace halvern::tools
