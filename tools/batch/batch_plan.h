// The jobs of a batch: read from a manifest or made as the cross product of inputs and tunings,
// checked before anything runs, and cut into shards.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace halvern::tools {

struct BatchJob {
  int index = 0;  // place in the whole batch, from 1; a shard keeps the indexes of the batch
  int line = 0;   // manifest line of the job, 0 for a grid
  std::string name;
  std::filesystem::path input;
  std::filesystem::path tuning;
  std::filesystem::path output;
  // The output's path below the plan's output root (BatchPlan::output_root), where --compare-with
  // finds its reference.
  std::filesystem::path relative_output;
};

struct BatchPlan {
  std::vector<BatchJob> jobs;
  // The deepest folder holding every output: --out for a grid; for a manifest, the longest common
  // leading folder of all outputs (made absolute). The same for every shard of the plan.
  std::filesystem::path output_root;
  // A hash of every job's index, input, tuning and output (16 hex digits): shards of one plan
  // share it, shards of another manifest do not.
  std::string fingerprint;
  std::string error;  // empty when the plan is usable; otherwise names the file and line
};

// The manifest is CSV with a header line naming the columns input, tuning and output (any order)
// and optionally name. Relative paths are taken from the manifest's folder. A job without a name
// is named after its output file.
BatchPlan plan_from_manifest(const std::filesystem::path& manifest);

// Every input with every tuning, input by input; job "<input stem>__<tuning stem>" writes
// out_dir/<job name><input extension>.
BatchPlan plan_from_grid(const std::vector<std::filesystem::path>& inputs,
                         const std::vector<std::filesystem::path>& tunings,
                         const std::filesystem::path& out_dir);

struct Shard {
  int k = 1;  // from 1 to n
  int n = 1;
};

// "K/N" with 1 <= K <= N; false (and the reason in *error) otherwise.
bool parse_shard(const std::string& text, Shard* shard, std::string* error);

// The jobs [first, last) of the k-th shard of `total` jobs, counting from 0.
std::pair<size_t, size_t> shard_range(size_t total, Shard shard);

// The k-th of n consecutive parts of the jobs, whose sizes differ by at most one.
std::vector<BatchJob> shard_jobs(const std::vector<BatchJob>& jobs, Shard shard);

}  // namespace halvern::tools
