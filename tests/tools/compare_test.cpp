// halvern compare as a user runs it: the exact first differing sample, a lag found within +-2000
// samples, and the first position and frame where two traces of halvern run part.

#include <cmath>
#include <random>

#include <nlohmann/json.hpp>

#include "tests/tools/tool_test.h"

namespace {

using namespace halvern::testing;
using Json = nlohmann::json;

std::vector<int16_t> noise(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> sample(-8000, 8000);
  std::vector<int16_t> s(n);
  for (auto& x : s) x = static_cast<int16_t>(sample(rng));
  return s;
}

class Compare : public ToolTest {};

TEST_F(Compare, NamesTheOneChangedSample) {
  const std::vector<int16_t> a = noise(16000, 1);
  std::vector<int16_t> b = a;
  b[4320] = static_cast<int16_t>(b[4320] + 3);
  write_file(path("a.pcm"), bytes_of(a));
  write_file(path("b.pcm"), bytes_of(b));

  EXPECT_EQ(halvern("compare a.pcm a.pcm").status, 0);
  const Result r = halvern("compare a.pcm b.pcm --json");
  ASSERT_EQ(r.status, 1) << r.err;
  const Json j = Json::parse(r.out);
  EXPECT_FALSE(j["identical"]);
  EXPECT_EQ(j["first_difference"]["sample"], 4320);
  EXPECT_EQ(j["first_difference"]["frame"], 4320 / 320);
  EXPECT_EQ(j["first_difference"]["a"], a[4320]);
  EXPECT_EQ(j["differing_samples"], 1);
  EXPECT_EQ(j["differing_frames"], 1);
  EXPECT_EQ(j["max_difference"], 3);
  double energy = 0;
  for (const int16_t x : a) energy += static_cast<double>(x) * x;
  EXPECT_NEAR(j["signal_to_difference_db"].get<double>(), 10 * std::log10(energy / 9), 1e-9);
  // The text names the same sample; within the tolerance the two are the same.
  EXPECT_NE(halvern("compare a.pcm b.pcm").out.find("sample 4320 (frame 13, 0.270000 s)"),
            std::string::npos);
  EXPECT_EQ(halvern("compare a.pcm b.pcm --tolerance 3").status, 0);
  // A shorter copy is different, and a missing file is an error.
  write_file(path("short.pcm"), bytes_of(a).substr(0, 2 * 15000));
  EXPECT_EQ(halvern("compare a.pcm short.pcm").status, 1);
  const Result missing = halvern("compare a.pcm nothere.pcm");
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("nothere.pcm"), std::string::npos);
}

TEST_F(Compare, FindsLagsUpToTwoThousandSamples) {
  const std::vector<int16_t> speech = samples_of(speech_.substr(0, 2 * 64000));
  const std::vector<int16_t> a(speech.begin() + 4000, speech.begin() + 52000);
  for (const int lag : {2000, -2000, 737, 0}) {
    // b[i + lag] = a[i]: b is the same recording, starting lag samples earlier or later.
    const std::vector<int16_t> b(speech.begin() + 4000 - lag, speech.begin() + 52000 - lag);
    write_file(path("a.pcm"), bytes_of(a));
    write_file(path("b.pcm"), bytes_of(b));
    const Result r = halvern("compare a.pcm b.pcm --delay auto --json");
    ASSERT_EQ(r.status, 0) << lag << r.out << r.err;
    const Json j = Json::parse(r.out);
    EXPECT_EQ(j["lag"], lag);
    EXPECT_EQ(j["compared_samples"], 48000 - std::abs(lag));
    // The lag given by hand gives the same verdict; without it they differ.
    EXPECT_EQ(halvern("compare a.pcm b.pcm --delay " + std::to_string(lag)).status, 0);
    if (lag != 0) {
      EXPECT_EQ(halvern("compare a.pcm b.pcm").status, 1);
    }
  }
}

TEST_F(Compare, TracesPartAtTheChangedStage) {
  // Silence for 5 frames, then speech; two tunings that differ in one equalizer tap.
  write_file(path("in.pcm"), std::string(2 * 320 * 5, '\0') + speech_.substr(0, 2 * 320 * 40));
  write_file(path("t1.txt"), tuning_with({}));
  write_file(path("t2.txt"), tuning_with({{30, 1200}}));
  ASSERT_EQ(halvern("run -q in.pcm o1.pcm t1.txt --trace tr1").status, 0);
  ASSERT_EQ(halvern("run -q in.pcm o2.pcm t2.txt --trace tr2").status, 0);

  // Where the equalizer outputs first differ, found here sample by sample.
  const std::vector<int16_t> e1 = samples_of(read_file(path("tr1/3_equalizer.pcm")));
  const std::vector<int16_t> e2 = samples_of(read_file(path("tr2/3_equalizer.pcm")));
  ASSERT_EQ(e1.size(), e2.size());
  size_t first = 0;
  while (first < e1.size() && e1[first] == e2[first]) ++first;
  ASSERT_LT(first, e1.size());

  const Result r = halvern("compare --trace-a tr1 --trace-b tr2 --json");
  ASSERT_EQ(r.status, 1) << r.err;
  const Json j = Json::parse(r.out);
  EXPECT_EQ(j["part"]["position"], 3);
  EXPECT_EQ(j["part"]["name"], "equalizer");
  EXPECT_EQ(j["part"]["frame"], first / 320);
  EXPECT_GE(first / 320, 5u);
  for (int p = 0; p < 3; ++p) EXPECT_TRUE(j["positions"][p]["identical"]) << p;
  EXPECT_EQ(j["positions"][3]["first_sample"], first);
  EXPECT_NE(halvern("compare --trace-a tr1 --trace-b tr2").out.find("at position 3 (equalizer)"),
            std::string::npos);
  EXPECT_EQ(halvern("compare --trace-a tr1 --trace-b tr1").status, 0);
}

}  // namespace
