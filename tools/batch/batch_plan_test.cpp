// The plan of a batch: manifests read with their faults named by line, shards cut without gaps,
// and the summaries of shards merged back into one.
#include "tools/batch/batch_plan.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tools/batch/batch_summary.h"

namespace halvern::tools {
namespace {

namespace fs = std::filesystem;

class Manifest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("halvern_plan_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // The plan of a manifest holding text, or the message of its ToolError.
  std::string plan(const std::string& text, std::vector<BatchJob>* jobs = nullptr) {
    std::ofstream(dir_ / "m.csv", std::ios::binary) << text;
    try {
      const std::vector<BatchJob> planned = plan_from_manifest(dir_ / "m.csv");
      if (jobs != nullptr) *jobs = planned;
      return "";
    } catch (const ToolError& e) {
      return e.what();
    }
  }
  fs::path dir_;
};

TEST_F(Manifest, ColumnsInAnyOrderPathsFromTheManifestsFolder) {
  std::vector<BatchJob> jobs;
  ASSERT_EQ(
      plan("output,name,tuning,input\no1.wav,,t.txt,in.wav\nsub/o2.wav,second,t.txt,/abs.wav\n",
           &jobs),
      "");
  ASSERT_EQ(jobs.size(), 2u);
  EXPECT_EQ(jobs[0].input, dir_ / "in.wav");
  EXPECT_EQ(jobs[0].name, "o1.wav");  // no name: the output's
  EXPECT_EQ(jobs[0].line, 2);
  EXPECT_EQ(jobs[1].input, fs::path("/abs.wav"));
  EXPECT_EQ(jobs[1].output, dir_ / "sub/o2.wav");
  EXPECT_EQ(jobs[1].name, "second");
  EXPECT_EQ(jobs[1].index, 2);
}

TEST_F(Manifest, FaultsNameTheLine) {
  const std::string m = (dir_ / "m.csv").string();
  EXPECT_EQ(plan(""), m + ": the manifest is empty: its first line names the columns "
                          "input,tuning,output[,name]");
  EXPECT_EQ(plan("input,tuning,size\n").rfind(m + ":1: unknown column 'size'", 0), 0u);
  EXPECT_EQ(plan("input,tuning,output\na,b,c\na,b\n").rfind(m + ":3: 2 fields", 0), 0u);
  EXPECT_EQ(plan("input,tuning,output\na,,c\n"), m + ":2: the tuning is empty");
  // Two jobs writing one file, and an output that another job reads.
  EXPECT_NE(plan("input,tuning,output\na,t,o\nb,t,o\n"), "");
  EXPECT_NE(plan("input,tuning,output\na,t,o\no,t,p\n"), "");
}

TEST(Shard, PartsCoverEveryJobOnceAndDifferByOneAtMost) {
  std::vector<BatchJob> jobs(10);
  for (int i = 0; i < 10; ++i) jobs[static_cast<size_t>(i)].index = i + 1;
  int next = 1;
  for (int k = 1; k <= 4; ++k) {
    const std::vector<BatchJob> part = shard_jobs(jobs, parse_shard(std::to_string(k) + "/4"));
    EXPECT_TRUE(part.size() == 2 || part.size() == 3) << k;
    for (const BatchJob& job : part) EXPECT_EQ(job.index, next++);
  }
  EXPECT_EQ(next, 11);
  EXPECT_TRUE(shard_jobs(jobs, parse_shard("7/12")).size() <= 1);
  for (const char* bad : {"0/4", "5/4", "1/0", "1", "1/4x", "a/b", "/4", "-1/4", ""}) {
    EXPECT_THROW(parse_shard(bad), ToolError) << bad;
  }
}

TEST(Summary, ShardsMergeInJobOrderNamingMissingAndTwiceRunJobs) {
  const std::vector<std::string> columns = {"job", "name"};
  const SummaryTable one{columns, {{"3", "c"}, {"1", "a"}}, {}};
  const SummaryTable two{columns, {{"5", "e"}}, {}};
  std::string missing;
  const SummaryTable merged = merge_summaries({two, one}, {"two.csv", "one.csv"}, &missing);
  EXPECT_EQ(merged.columns, columns);
  ASSERT_EQ(merged.rows.size(), 3u);
  EXPECT_EQ(merged.rows[0][1], "a");
  EXPECT_EQ(merged.rows[2][1], "e");
  EXPECT_EQ(missing, "2 4");
  EXPECT_THROW(merge_summaries({one, one}, {"a.csv", "b.csv"}, &missing), ToolError);
  const SummaryTable other{{"job", "other"}, {}, {}};
  EXPECT_THROW(merge_summaries({one, other}, {"a.csv", "b.csv"}, &missing), ToolError);
}

}  // namespace
}  // namespace halvern::tools
