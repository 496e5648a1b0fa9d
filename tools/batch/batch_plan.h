// The jobs of a batch: read from a manifest or made as the cross product of inputs and tunings,
// checked before anything runs, and cut into shards.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tools/io/tool_error.h"

namespace halvern::tools {

struct BatchJob {
  int index = 0;  // place in the whole batch, from 1; a shard keeps the indexes of the batch
  int line = 0;   // manifest line of the job, 0 for a grid
  std::string name;
  std::filesystem::path input;
  std::filesystem::path tuning;
  std::filesystem::path output;
  // The output's path below the plan's output root, where --compare-with finds its reference.
  // The output root is --out for a grid; for a manifest, the deepest folder holding every output
  // (made absolute). It is the same for every shard of the plan.
  std::filesystem::path relative_output;
};

// The manifest is CSV with a header line naming the columns input, tuning and output (any order)
// and optionally name. Relative paths are taken from the manifest's folder. A job without a name
// is named after its output file. The plans throw ToolError naming the file and line of a fault.
std::vector<BatchJob> plan_from_manifest(const std::filesystem::path& manifest);

// Every input with every tuning, input by input; job "<input stem>__<tuning stem>" writes
// out_dir/<job name><input extension>.
std::vector<BatchJob> plan_from_grid(const std::vector<std::filesystem::path>& inputs,
                                     const std::vector<std::filesystem::path>& tunings,
                                     const std::filesystem::path& out_dir);

struct Shard {
  int k = 1;  // from 1 to n
  int n = 1;
};

// "K/N" with 1 <= K <= N; throws ToolError otherwise.
Shard parse_shard(const std::string& text);

// The jobs [first, last) of the k-th shard of `total` jobs, counting from 0.
std::pair<size_t, size_t> shard_range(size_t total, Shard shard);

// A hash of every job's index, input, tuning and output (16 hex digits): the shards of one
// plan share it, the shards of another manifest or grid do not.
std::string plan_fingerprint(const std::vector<BatchJob>& jobs);

// The k-th of n consecutive parts of the jobs, whose sizes differ by at most one.
std::vector<BatchJob> shard_jobs(const std::vector<BatchJob>& jobs, Shard shard);

}  // namespace halvern::tools
