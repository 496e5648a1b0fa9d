// Long recordings: halvern run's memory stays that of a short one and its output is still
// halvern-sim's; halvern report refuses a page too large and reports an excerpt instead.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/tools/tool_test.h"

namespace {

using namespace halvern::testing;

class LongRun : public halvern::testing::ToolTest {
 protected:
  // Runs halvern with args in the test's folder; its peak resident memory in KiB (-1: failed).
  long peak_kib(const std::vector<std::string>& args) const {
    const pid_t pid = fork();
    if (pid == 0) {
      if (chdir(dir_.c_str()) != 0 || std::freopen("/dev/null", "w", stdout) == nullptr) _exit(127);
      std::vector<char*> argv{const_cast<char*>(HALVERN)};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(HALVERN, argv.data());
      _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
      return -1;
    }
    return usage.ru_maxrss;
  }
};

TEST_F(LongRun, ThirtyMinutesInConstantMemoryAndHalvernSimSamples) {
  // 36 minutes: the example 360 times (69 MB, more than the limit itself), high-pass and dynamics
  // on to keep the test short.
  {
    std::ofstream f(path("long.pcm"), std::ios::binary);
    for (int i = 0; i < 360; ++i) f << speech_;
  }
  const std::string tuning = tuning_with({{0, 3}});
  write_file(path("t.txt"), tuning);
  const long kib = peak_kib({"run", "long.pcm", "out.pcm", "t.txt", "--stats", "s.json"});
  ASSERT_GT(kib, 0);
  if (std::getenv("HALVERN_SANITIZED") == nullptr) {
    EXPECT_LT(kib, 64 * 1024) << "peak resident memory " << kib << " KiB";
  }
  const nlohmann::json stats = nlohmann::json::parse(read_file(path("s.json")));
  EXPECT_EQ(stats["frames"].get<int64_t>(), 360 * 300);

  ASSERT_EQ(shell(HALVERN_SIM, "long.pcm sim.pcm t.txt").status, 0);
  EXPECT_TRUE(read_file(path("out.pcm")) == read_file(path("sim.pcm")));
}

TEST_F(LongRun, ReportRefusesATooLargePageAndReportsAnExcerpt) {
  {
    std::ofstream f(path("long.pcm"), std::ios::binary);
    for (int i = 0; i < 140; ++i) f << speech_;  // 14 minutes
  }
  write_file(path("t.txt"), tuning_with({}));
  const Result whole = halvern("report long.pcm t.txt -o r.html");
  if (whole.err.find("built without the report page") != std::string::npos)
    GTEST_SKIP() << whole.err;
  EXPECT_EQ(whole.status, 2);
  EXPECT_NE(whole.err.find("long.pcm is 0:14:00 long"), std::string::npos) << whole.err;
  EXPECT_NE(whole.err.find("--audio-beside"), std::string::npos) << whole.err;
  EXPECT_NE(whole.err.find("--from and --to"), std::string::npos) << whole.err;
  EXPECT_FALSE(fs::exists(path("r.html")));

  // 30 s from 61 s on: the statistics of halvern run on those samples alone.
  const Result excerpt = halvern("report long.pcm t.txt -o r.html --from 61 --to 91");
  ASSERT_EQ(excerpt.status, 0) << excerpt.err;
  const std::string page = read_file(path("r.html"));
  const std::string open = "<script type=\"application/json\" id=\"halvern-data\">";
  const size_t at = page.find(open) + open.size();
  ASSERT_NE(at, std::string::npos + open.size());
  const nlohmann::json data =
      nlohmann::json::parse(page.substr(at, page.find("</script>", at) - at));
  EXPECT_EQ(data["frames"].get<int64_t>(), 1500);
  const std::string samples = read_file(path("long.pcm")).substr(2 * 61 * 16000, 2 * 30 * 16000);
  write_file(path("part.pcm"), samples);
  ASSERT_EQ(halvern("run part.pcm out.pcm t.txt -q --stats s.json").status, 0);
  nlohmann::json expected = nlohmann::json::parse(read_file(path("s.json")));
  nlohmann::json got = data["statistics"];
  for (nlohmann::json* j : {&expected, &got}) {
    j->erase("wall_seconds");
    j->erase("speed_x_real_time");
  }
  EXPECT_EQ(got, expected);
}

}  // namespace
