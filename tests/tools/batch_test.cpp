// halvern batch as a user runs it: outputs equal to separate runs of halvern run, a failing job
// reported while the others go on, a batch killed and resumed, and the GNU parallel recipe whose
// shard summaries merge to the summary of one batch.

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/tools/tool_test.h"

namespace {

using namespace halvern::testing;
using Json = nlohmann::json;

class Batch : public ToolTest {
 protected:
  // Four tunings: all stages, dynamics only, another equalizer tap, a lower suppressor threshold.
  void write_tunings() {
    write_file(path("all.txt"), tuning_with({}));
    write_file(path("dyn.txt"), tuning_with({{0, 2}}));
    write_file(path("eq.txt"), tuning_with({{30, 1200}}));
    write_file(path("sup.txt"), tuning_with({{70, 2}}));
  }
  const std::vector<std::string> tunings_ = {"all.txt", "dyn.txt", "eq.txt", "sup.txt"};

  // "<prefix><i><suffix>", put together without the temporaries g++ 12 warns about.
  static std::string numbered(const char* prefix, int i, const char* suffix) {
    std::string name = prefix;
    name += std::to_string(i);
    name += suffix;
    return name;
  }

  // Input i: a slice of the example, 20 frames and i samples more.
  std::string input(int i) const {
    return speech_.substr(static_cast<size_t>(i) * 12800, 2 * (6400 + static_cast<size_t>(i)));
  }
};

TEST_F(Batch, FortyJobsEqualSeparateRunsAndAFailureDoesNotStopThem) {
  write_tunings();
  std::string manifest = "name,input,tuning,output\n";
  for (int i = 0; i < 10; ++i) {
    const std::string in = i == 3 ? "in, 3.pcm" : numbered("in", i, ".pcm");
    write_file(path(in), input(i));
    for (const std::string& t : tunings_) {
      const std::string job = numbered("j", i, "_") + t.substr(0, t.size() - 4);
      const std::string in_field = job == "j5_eq" ? "missing.pcm" : in;
      manifest += job + ",\"" + in_field + "\"," + t + ",out/" + job + ".pcm\n";
    }
  }
  write_file(path("jobs.csv"), manifest);

  const Result r = halvern("batch jobs.csv -j 2 -o summary.csv");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("j5_eq"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("missing.pcm"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("1 of 40 jobs failed"), std::string::npos) << r.err;

  const Json summary = Json::parse(halvern("batch --merge summary.csv --json").out)["jobs"];
  ASSERT_EQ(summary.size(), 40u);
  int compared = 0;
  for (int i = 0; i < 10; ++i) {
    const std::string in = i == 3 ? "'in, 3.pcm'" : numbered("in", i, ".pcm");
    for (const std::string& t : tunings_) {
      const std::string job = numbered("j", i, "_") + t.substr(0, t.size() - 4);
      const Json& row = summary[static_cast<size_t>(compared++)];
      ASSERT_EQ(row["name"], job);
      if (job == "j5_eq") {
        EXPECT_EQ(row["status"], "failed");
        EXPECT_FALSE(fs::exists(path("out/j5_eq.pcm")));
        continue;
      }
      ASSERT_EQ(row["status"], "ok") << row.dump();
      ASSERT_EQ(halvern("run -q " + in + " single.pcm " + t + " --stats single.json").status, 0);
      EXPECT_EQ(read_file(path("out/" + job + ".pcm")), read_file(path("single.pcm"))) << job;
      if (i == 3) {  // the statistics are those of halvern run --stats
        const Json stats = Json::parse(read_file(path("single.json")));
        EXPECT_EQ(row["frames"], stats["frames"]);
        EXPECT_EQ(row["dropped_samples"], 3);
        const Json& positions = stats["positions"];
        EXPECT_EQ(row["dither.rms_dbfs"],
                  positions.contains("dither") ? positions["dither"]["rms_dbfs"] : Json(nullptr));
        EXPECT_EQ(row["input.peak_dbfs"], positions["input"]["peak_dbfs"]);
      }
    }
  }
  for (const auto& entry : fs::directory_iterator(path("out"))) {
    EXPECT_EQ(entry.path().filename().string().front(), 'j') << "left behind: " << entry.path();
  }

  // A manifest error names its line, and nothing runs.
  write_file(path("bad.csv"), "input,tuning,output\nin0.pcm,all.txt,x.pcm\n\nin1.pcm,all.txt\n");
  const Result bad = halvern("batch bad.csv");
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("bad.csv:4: 2 fields"), std::string::npos) << bad.err;
  EXPECT_FALSE(fs::exists(path("x.pcm")));
}

// halvern batch started in the test's folder with these arguments; returns its process.
pid_t start_batch(const fs::path& dir, std::vector<std::string> args) {
  const pid_t child = fork();
  if (child == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    std::vector<char*> argv = {const_cast<char*>(HALVERN), const_cast<char*>("batch")};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(HALVERN, argv.data());
    _exit(127);
  }
  return child;
}

// SIGKILL for a running process; true when it was still running (it did not end on its own).
bool kill_process(pid_t child) {
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

TEST_F(Batch, KilledAndResumedLeavesNoTruncatedOutput) {
  // 24 jobs of 10 s of audio each, one at a time: killed when the second is written (the first
  // job's row is then in the journal).
  constexpr int JOBS = 24;
  std::string longer;
  while (longer.size() < 2 * 16000 * 10) longer += speech_;
  write_file(path("long.pcm"), longer);
  write_file(path("t.txt"), tuning_with({}));
  std::string manifest = "input,tuning,output\n";
  for (int i = 0; i < JOBS; ++i) manifest += numbered("long.pcm,t.txt,out/o", i, ".pcm\n");
  write_file(path("jobs.csv"), manifest);
  const std::string expected = sim(longer, tuning_with({}));

  // The summary of the batch run without interruption, and how long it takes.
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(halvern("batch jobs.csv -j 1 -q -o clean.csv").status, 0);
  const auto uninterrupted = std::chrono::steady_clock::now() - started;
  const std::string clean_summary = read_file(path("clean.csv"));
  fs::remove_all(path("out"));

  const pid_t child = start_batch(dir_, {"jobs.csv", "-j", "1", "-q", "-o", "summary.csv"});
  ASSERT_GE(child, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!fs::exists(path("out/o1.pcm")) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  kill_process(child);
  EXPECT_FALSE(fs::exists(path("summary.csv")));

  int complete = 0;
  for (int i = 0; i < JOBS; ++i) {
    const fs::path out = path(numbered("out/o", i, ".pcm"));
    if (!fs::exists(out)) continue;
    ++complete;
    EXPECT_EQ(read_file(out), expected) << out;  // never a truncated file under the final name
  }
  EXPECT_GE(complete, 1);
  EXPECT_LT(complete, JOBS) << "the batch ended before it could be killed";

  const Result resumed = halvern("batch jobs.csv -j 2 --resume -o summary.csv");
  EXPECT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_NE(resumed.err.find("complete, skipped o0.pcm"), std::string::npos) << resumed.err;
  for (int i = 0; i < JOBS; ++i) {
    EXPECT_EQ(read_file(path(numbered("out/o", i, ".pcm"))), expected) << i;
  }
  for (const auto& entry : fs::directory_iterator(path("out"))) {
    EXPECT_NE(entry.path().filename().string().front(), '.') << "left behind: " << entry.path();
  }
  // Every job is the same run: the rows kept from before the kill and the rows of the jobs run
  // after it differ only in the job's number and output.
  const Json summary = Json::parse(halvern("batch --merge summary.csv --json").out)["jobs"];
  ASSERT_EQ(summary.size(), static_cast<size_t>(JOBS));
  for (int i = 0; i < JOBS; ++i) {
    Json row = summary[static_cast<size_t>(i)];
    EXPECT_EQ(row["job"], i + 1);
    EXPECT_EQ(row["output"], numbered("out/o", i, ".pcm"));
    for (const char* key : {"job", "name", "output"}) row.erase(key);
    EXPECT_EQ(row, [&] {
      Json first = summary[0];
      for (const char* key : {"job", "name", "output"}) first.erase(key);
      return first;
    }()) << i;
  }
  EXPECT_EQ(read_file(path("summary.csv")), clean_summary);

  // Killed at random moments (HALVERN_BATCH_KILLS of them, 3 by default), each time resumed: no
  // output and no summary is ever partial under its name, and the summary is that of the batch
  // run without interruption. A run that ends before its kill starts the batch afresh.
  const char* wanted = std::getenv("HALVERN_BATCH_KILLS");
  const int kills = wanted != nullptr ? std::atoi(wanted) : 3;
  const char* seed_text = std::getenv("HALVERN_BATCH_KILL_SEED");
  const unsigned seed =
      seed_text != nullptr ? static_cast<unsigned>(std::atol(seed_text)) : std::random_device{}();
  SCOPED_TRACE("HALVERN_BATCH_KILL_SEED=" + std::to_string(seed));
  std::mt19937 random(seed);
  const auto span = std::chrono::duration_cast<std::chrono::microseconds>(uninterrupted);
  // The moments span the uninterrupted batch's time; shorter after a batch that ended before its
  // kill (the machine became faster than when it was timed).
  long long longest = span.count() * 11 / 10;
  fs::remove_all(path("out"));
  fs::remove(path("summary.csv"));
  int landed = 0;
  int restarts = 0;
  while (landed < kills) {
    const pid_t run =
        start_batch(dir_, {"jobs.csv", "-j", "1", "-q", "--resume", "-o", "summary.csv"});
    ASSERT_GE(run, 0);
    std::uniform_int_distribution<long long> moment(0, longest);
    std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
    const bool killed = kill_process(run);
    landed += killed ? 1 : 0;
    for (int i = 0; i < JOBS; ++i) {
      const fs::path out = path(numbered("out/o", i, ".pcm"));
      if (fs::exists(out)) {
        ASSERT_EQ(read_file(out), expected) << out << " after kill " << landed;
      }
    }
    if (fs::exists(path("summary.csv"))) {
      ASSERT_EQ(read_file(path("summary.csv")), clean_summary) << "after kill " << landed;
    }
    if (!killed) {  // the batch was complete: again from nothing
      ASSERT_TRUE(fs::exists(path("summary.csv")));
      fs::remove_all(path("out"));
      fs::remove(path("summary.csv"));
      ++restarts;
      longest = longest * 9 / 10;
    }
  }
  const Result last = halvern("batch jobs.csv -j 1 -q --resume -o summary.csv");
  EXPECT_EQ(last.status, 0) << last.err;
  EXPECT_EQ(read_file(path("summary.csv")), clean_summary);
  for (int i = 0; i < JOBS; ++i) {
    EXPECT_EQ(read_file(path(numbered("out/o", i, ".pcm"))), expected) << i;
  }
  for (const auto& entry : fs::directory_iterator(dir_)) {
    EXPECT_NE(entry.path().filename().string().front(), '.') << "left behind: " << entry.path();
  }
  std::printf(
      "%d kills at random moments (%d batches complete before their kill), %lld ms "
      "uninterrupted, HALVERN_BATCH_KILL_SEED=%u: no partial file, the same summary\n",
      landed, restarts, static_cast<long long>(span.count() / 1000), seed);
}

TEST_F(Batch, GnuParallelShardsMergeToOneBatchAndTheRegressionWorkflow) {
  if (std::system("parallel --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no GNU parallel";
  write_tunings();
  std::string inputs;
  for (int i = 0; i < 3; ++i) {
    write_file(path(numbered("in", i, ".pcm")), input(i));
    inputs += numbered(" in", i, ".pcm");
  }
  const std::string grid = "batch --grid" + inputs + " --tunings all.txt dyn.txt eq.txt sup.txt";
  ASSERT_EQ(halvern(grid + " --out one -o one.csv").status, 0);

  // The README's recipe, with three local shards.
  const Result shards =
      shell("parallel", "--will-cite '" HALVERN "' " + grid +
                            " --out sharded --shard {}/3 -q -o part{}.csv ::: 1 2 3");
  ASSERT_EQ(shards.status, 0) << shards.err;
  ASSERT_EQ(halvern("batch --merge part3.csv part1.csv part2.csv -o merged.csv").status, 0);
  std::string expected = read_file(path("one.csv"));
  for (size_t at; (at = expected.find("one/")) != std::string::npos;)
    expected.replace(at, 4, "sharded/");
  EXPECT_EQ(read_file(path("merged.csv")), expected);
  // A shard left out is named.
  const Result partial = halvern("batch --merge part1.csv part3.csv -o partial.csv");
  EXPECT_EQ(partial.status, 1);
  EXPECT_NE(partial.err.find("missing from the summaries: shard 2/3 (jobs 5-8)"), std::string::npos)
      << partial.err;

  // After a change to one tuning, the batch against the reference set names what changed.
  write_file(path("eq.txt"), tuning_with({{30, 900}}));
  const Result after = halvern(grid + " --out after -q --compare-with one -o after.csv --json");
  EXPECT_EQ(after.status, 1);
  EXPECT_NE(after.err.find("3 differ from one"), std::string::npos) << after.err;
  const Json after_summary = Json::parse(read_file(path("after.csv")));
  for (const Json& row : after_summary["jobs"]) {
    const bool changed = row["tuning"] == "eq.txt";
    EXPECT_EQ(row["compare"], changed ? "different" : "identical") << row.dump();
  }
}

TEST_F(Batch, MergeNamesTheLastShardMissingAndRefusesPartsOfAnotherBatch) {
  write_tunings();
  std::string manifest = "input,tuning,output\n";
  for (int i = 0; i < 7; ++i) {
    write_file(path(numbered("in", i, ".pcm")), input(i));
    manifest += numbered("in", i, ".pcm,") + tunings_[static_cast<size_t>(i) % 4] +
                numbered(",out/o", i, ".pcm\n");
  }
  write_file(path("jobs.csv"), manifest);
  ASSERT_EQ(halvern("batch jobs.csv -q -o one.csv").status, 0);
  for (int k = 1; k <= 3; ++k) {
    ASSERT_EQ(halvern("batch jobs.csv -q --shard " + std::to_string(k) + "/3" +
                      numbered(" -o part", k, ".csv"))
                  .status,
              0);
  }
  // Each shard's summary says which shard of what it is; the JSON one too.
  EXPECT_EQ(read_file(path("part3.csv")).substr(0, 27), "# shard 3/3 of 7 jobs, plan");
  ASSERT_EQ(halvern("batch jobs.csv -q --shard 2/3 --json -o part2.json").status, 0);
  const Json facts = Json::parse(read_file(path("part2.json")))["shard"];
  EXPECT_EQ(facts["k"], 2);
  EXPECT_EQ(facts["n"], 3);
  EXPECT_EQ(facts["jobs"], 7);

  ASSERT_EQ(halvern("batch --merge part2.csv part3.csv part1.csv -o merged.csv").status, 0);
  EXPECT_EQ(read_file(path("merged.csv")), read_file(path("one.csv")));
  // Without the last shard nothing in the rows tells that jobs 5 to 7 were ever planned.
  const Result partial = halvern("batch --merge part1.csv part2.csv -o partial.csv");
  EXPECT_EQ(partial.status, 1);
  EXPECT_NE(partial.err.find("shard 3/3 (jobs 5-7)"), std::string::npos) << partial.err;

  // Shards of another manifest, or of another N, are refused.
  write_file(path("other.csv"), manifest + "in0.pcm,eq.txt,out/extra.pcm\n");
  ASSERT_EQ(halvern("batch other.csv -q --shard 3/3 -o other3.csv").status, 0);
  const Result other = halvern("batch --merge part1.csv part2.csv other3.csv -o x.csv");
  EXPECT_EQ(other.status, 2);
  EXPECT_NE(other.err.find("their manifests (or grids) differ"), std::string::npos) << other.err;
  ASSERT_EQ(halvern("batch jobs.csv -q --shard 2/2 -o half2.csv").status, 0);
  const Result n = halvern("batch --merge part1.csv half2.csv -o x.csv");
  EXPECT_EQ(n.status, 2);
  EXPECT_NE(n.err.find("the numbers of shards differ"), std::string::npos) << n.err;
  EXPECT_FALSE(fs::exists(path("x.csv")));
}

TEST_F(Batch, CompareWithTakesEachOutputsReferenceByItsPathBelowTheOutputRoot) {
  write_tunings();
  write_file(path("in0.pcm"), input(0));
  write_file(path("in1.pcm"), input(1));
  // Two outputs named x.pcm in two folders, from different inputs and tunings.
  const auto manifest = [](const std::string& root) {
    return "input,tuning,output\nin0.pcm,all.txt," + root + "/a/x.pcm\nin1.pcm,dyn.txt," + root +
           "/b/x.pcm\n";
  };
  write_file(path("ref.csv"), manifest("ref"));
  write_file(path("new.csv"), manifest("new/run"));
  ASSERT_EQ(halvern("batch ref.csv -q -o ref-summary.csv").status, 0);
  const Result same = halvern("batch new.csv -q --compare-with ref --json -o new.json");
  EXPECT_EQ(same.status, 0) << same.err;
  const Json rows = Json::parse(read_file(path("new.json")))["jobs"];
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["reference"], "ref/a/x.pcm");
  EXPECT_EQ(rows[1]["reference"], "ref/b/x.pcm");
  EXPECT_EQ(rows[1]["compare"], "identical");
}

}  // namespace
