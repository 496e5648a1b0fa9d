// The engine's output over the whole test matrix, frozen: any change of a single output bit for
// any signal and tuning fails this test. The hashes were recorded from the straightforward
// implementation, before any optimisation. Built twice: golden_test runs the engine of the build
// (the reference engine in the reference engine build), golden_reference_test always the
// reference engine.

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/matrix/signal_matrix.h"

namespace halvern {
namespace {

std::vector<std::string> read_lines(const std::string& path) {
  std::ifstream f(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(f, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

TEST(Golden, MatrixOutputsAreUnchanged) {
  const std::vector<std::string> expected =
      read_lines(HALVERN_SOURCE_DIR "/tests/golden/hashes.txt");
  ASSERT_FALSE(expected.empty());
  const std::vector<std::string> actual =
      matrix_report(HALVERN_SOURCE_DIR "/examples/speech_howl.pcm", 40);
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < actual.size(); ++i) EXPECT_EQ(actual[i], expected[i]);
}

}  // namespace
}  // namespace halvern
