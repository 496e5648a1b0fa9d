// What the end-to-end tests of the halvern toolkit share: files as bytes and samples, the example
// tuning with slots changed, and a fixture that runs the programs in a fresh folder as a user
// does. The test's CMake target defines HALVERN, HALVERN_SIM and HALVERN_SOURCE_DIR.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/program_folder.h"

namespace halvern::testing {

namespace fs = std::filesystem;

inline std::vector<int16_t> samples_of(const std::string& bytes) {
  std::vector<int16_t> s(bytes.size() / 2);
  for (size_t i = 0; i < s.size(); ++i) {
    s[i] = static_cast<int16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  return s;
}

inline std::string bytes_of(const std::vector<int16_t>& s) {
  std::string b(2 * s.size(), '\0');
  for (size_t i = 0; i < s.size(); ++i) {
    b[2 * i] = static_cast<char>(s[i] & 0xff);
    b[2 * i + 1] = static_cast<char>((s[i] >> 8) & 0xff);
  }
  return b;
}

// The example tuning with some slots changed (slot index, value).
inline std::string tuning_with(const std::vector<std::pair<int, int>>& changes) {
  std::istringstream example(read_file(fs::path(HALVERN_SOURCE_DIR) / "examples/tuning.txt"));
  std::vector<std::pair<std::string, int>> slots;
  std::string name;
  int value = 0;
  while (example >> name >> value) slots.emplace_back(name, value);
  for (const auto& [slot, v] : changes) slots[static_cast<size_t>(slot)].second = v;
  std::string text;
  for (const auto& [n, v] : slots) text += n + " " + std::to_string(v) + "\n";
  return text;
}

// A fresh folder per test, the example recording, and the programs run in that folder.
class ToolTest : public halvern::testing::ProgramFolder {
 protected:
  void SetUp() override {
    ProgramFolder::SetUp();
    speech_ = read_file(fs::path(HALVERN_SOURCE_DIR) / "examples/speech_howl.pcm");
  }

  // Runs a command line (shell words) in the test's folder.
  Result shell(const std::string& program, const std::string& args,
               const std::string& stdin_from = "/dev/null") const {
    return run_program(program, args, stdin_from);
  }
  Result halvern(const std::string& args, const std::string& stdin_from = "/dev/null") const {
    return shell(HALVERN, args, stdin_from);
  }
  // halvern-sim's output bytes for in.pcm-like input and a tuning text.
  std::string sim(const std::string& input, const std::string& tuning) const {
    write_file(path("sim_in.pcm"), input);
    write_file(path("sim_t.txt"), tuning);
    EXPECT_EQ(shell(HALVERN_SIM, "sim_in.pcm sim_out.pcm sim_t.txt").status, 0);
    return read_file(path("sim_out.pcm"));
  }

  std::string speech_;
};

}  // namespace halvern::testing
