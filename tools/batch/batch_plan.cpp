#include "tools/batch/batch_plan.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "tools/io/csv.h"

namespace halvern::tools {
namespace {

namespace fs = std::filesystem;

// The path a job refers to, for telling whether two jobs touch the same file.
std::string file_key(const fs::path& path) {
  std::error_code error;
  const fs::path canonical = fs::weakly_canonical(path, error);
  return (error ? path.lexically_normal() : canonical).string();
}

std::string where(const BatchJob& job, const std::string& source) {
  return job.line > 0 ? source + ":" + std::to_string(job.line) : "job '" + job.name + "'";
}

// No two jobs write one file, and no job writes a file that a job reads: jobs run at once.
std::string check_outputs(const std::vector<BatchJob>& jobs, const std::string& source) {
  std::map<std::string, const BatchJob*> writers;
  for (const BatchJob& job : jobs) {
    const auto [at, fresh] = writers.emplace(file_key(job.output), &job);
    if (!fresh) {
      return where(job, source) + ": output '" + job.output.string() +
             "' is already the output of " + where(*at->second, source) +
             ": give each job its own output";
    }
  }
  for (const BatchJob& job : jobs) {
    for (const fs::path* read : {&job.input, &job.tuning}) {
      const auto found = writers.find(file_key(*read));
      if (found != writers.end()) {
        return where(job, source) + ": '" + read->string() +
               "' is read by this job and written by " + where(*found->second, source) +
               ": an output may not be an input or a tuning";
      }
    }
  }
  return {};
}

// Sets every job's relative_output: its output's path below the output root, which is root when
// given (a grid's --out) and otherwise the deepest folder that holds every output.
void set_relative_outputs(std::vector<BatchJob>* jobs, const fs::path& root) {
  std::vector<fs::path> absolute;
  for (const BatchJob& job : *jobs) {
    absolute.push_back(fs::absolute(job.output).lexically_normal());
  }
  fs::path output_root;
  if (!root.empty()) {
    output_root = fs::absolute(root).lexically_normal();
  } else if (!absolute.empty()) {
    output_root = absolute.front().parent_path();
    for (const fs::path& output : absolute) {
      fs::path common;
      auto a = output_root.begin();
      for (auto b = output.begin();
           a != output_root.end() && b != output.end() && std::next(b) != output.end() && *a == *b;
           ++a, ++b) {
        common /= *a;
      }
      output_root = common;
    }
  }
  for (size_t i = 0; i < jobs->size(); ++i) {
    (*jobs)[i].relative_output = absolute[i].lexically_relative(output_root);
  }
}

// The columns of a manifest, by their place in its header line.
struct ManifestColumns {
  std::optional<size_t> input, tuning, output, name;
};

// The manifest's records; throws ToolError when it cannot be read or parsed, or is empty.
CsvTable read_manifest(const fs::path& manifest) {
  const std::string source = manifest.string();
  std::ifstream file(manifest, std::ios::binary);
  if (!file) {
    throw ToolError(source + ": cannot open the manifest");
  }
  const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  if (file.bad()) {
    throw ToolError(source + ": cannot read the manifest");
  }
  CsvTable table = csv_parse(text);
  if (!table.error.empty()) {
    throw ToolError(source + ":" + std::to_string(table.error_line) + ": " + table.error);
  }
  if (table.records.empty()) {
    throw ToolError(source +
                    ": the manifest is empty: its first line names the columns "
                    "input,tuning,output[,name]");
  }
  return table;
}

// The columns the header names; throws ToolError for an unknown, doubled or missing column.
ManifestColumns manifest_columns(const CsvRecord& header, const std::string& source) {
  ManifestColumns columns;
  for (size_t c = 0; c < header.fields.size(); ++c) {
    const std::string& column = header.fields[c];
    std::optional<size_t>* slot = column == "input"    ? &columns.input
                                  : column == "tuning" ? &columns.tuning
                                  : column == "output" ? &columns.output
                                  : column == "name"   ? &columns.name
                                                       : nullptr;
    const std::string at = source + ":" + std::to_string(header.line) + ": ";
    if (slot == nullptr) {
      throw ToolError(at + "unknown column '" + column +
                      "': the columns are input, tuning, output and optionally name");
    }
    if (slot->has_value()) {
      throw ToolError(at + "column '" + column + "' appears twice");
    }
    *slot = c;
  }
  if (!columns.input || !columns.tuning || !columns.output) {
    throw ToolError(source + ":" + std::to_string(header.line) +
                    ": the first line must name the columns input, tuning and output (and "
                    "optionally name), for example: input,tuning,output");
  }
  return columns;
}

}  // namespace

std::vector<BatchJob> plan_from_manifest(const fs::path& manifest) {
  std::vector<BatchJob> plan;
  const std::string source = manifest.string();
  const CsvTable table = read_manifest(manifest);
  const CsvRecord& header = table.records.front();
  const auto [input, tuning, output, name] = manifest_columns(header, source);
  const fs::path base = manifest.parent_path();
  for (size_t r = 1; r < table.records.size(); ++r) {
    const CsvRecord& record = table.records[r];
    const std::string at = source + ":" + std::to_string(record.line) + ": ";
    if (record.fields.size() != header.fields.size()) {
      throw ToolError(at + std::to_string(record.fields.size()) + " fields where the header has " +
                      std::to_string(header.fields.size()) +
                      " (a path holding a comma must be in double quotes)");
    }
    for (const std::optional<size_t>& column : {input, tuning, output}) {
      if (record.fields[*column].empty()) {
        throw ToolError(at + "the " + header.fields[*column] + " is empty");
      }
    }
    BatchJob job;
    job.index = static_cast<int>(plan.size()) + 1;
    job.line = record.line;
    job.input = base / record.fields[*input];
    job.tuning = base / record.fields[*tuning];
    job.output = base / record.fields[*output];
    job.name = name && !record.fields[*name].empty() ? record.fields[*name]
                                                     : job.output.filename().string();
    plan.push_back(std::move(job));
  }
  const std::string clash = check_outputs(plan, source);
  if (!clash.empty()) throw ToolError(clash);
  set_relative_outputs(&plan, {});
  return plan;
}

std::vector<BatchJob> plan_from_grid(const std::vector<fs::path>& inputs,
                                     const std::vector<fs::path>& tunings,
                                     const fs::path& out_dir) {
  std::vector<BatchJob> plan;
  for (const fs::path& input : inputs) {
    for (const fs::path& tuning : tunings) {
      BatchJob job;
      job.index = static_cast<int>(plan.size()) + 1;
      job.name = input.stem().string() + "__" + tuning.stem().string();
      job.input = input;
      job.tuning = tuning;
      job.output = out_dir / (job.name + input.extension().string());
      plan.push_back(std::move(job));
    }
  }
  const std::string clash = check_outputs(plan, "--grid");
  if (!clash.empty()) throw ToolError(clash);
  set_relative_outputs(&plan, out_dir);
  return plan;
}

Shard parse_shard(const std::string& text) {
  Shard shard;
  const size_t slash = text.find('/');
  size_t used_k = 0;
  size_t used_n = 0;
  try {
    if (slash == std::string::npos) throw std::invalid_argument("no slash");
    shard.k = std::stoi(text.substr(0, slash), &used_k);
    shard.n = std::stoi(text.substr(slash + 1), &used_n);
  } catch (const std::exception&) {
    used_k = 0;
  }
  if (used_k == 0 || slash == std::string::npos || used_k != slash ||
      used_n != text.size() - slash - 1 || shard.n < 1 || shard.k < 1 || shard.k > shard.n) {
    throw ToolError("--shard '" + text + "': expected K/N with 1 <= K <= N, for example 2/8");
  }
  return shard;
}

std::pair<size_t, size_t> shard_range(size_t total, Shard shard) {
  return {total * static_cast<size_t>(shard.k - 1) / static_cast<size_t>(shard.n),
          total * static_cast<size_t>(shard.k) / static_cast<size_t>(shard.n)};
}

std::string plan_fingerprint(const std::vector<BatchJob>& jobs) {
  // FNV-1a, 64 bits, over the fields of every job, each ended by a zero byte.
  uint64_t hash = 0xcbf29ce484222325ULL;
  const auto add = [&hash](const std::string& text) {
    for (const char c : text + '\0') {
      hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    }
  };
  for (const BatchJob& job : jobs) {
    add(std::to_string(job.index));
    add(job.input.string());
    add(job.tuning.string());
    add(job.output.string());
  }
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return hex;
}

std::vector<BatchJob> shard_jobs(const std::vector<BatchJob>& jobs, Shard shard) {
  const auto [begin, end] = shard_range(jobs.size(), shard);
  return {jobs.begin() + static_cast<std::ptrdiff_t>(begin),
          jobs.begin() + static_cast<std::ptrdiff_t>(end)};
}

}  // namespace halvern::tools
