// Running a program of this project as a user runs it, in a temporary folder of the test's own.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace halvern::testing {

namespace fs = std::filesystem;

struct Result {
  int status;
  std::string out;
  std::string err;
};

inline std::string read_file(const fs::path& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

inline void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f << bytes;
}

// Runs 'program' followed by args (shell words) in dir, standard input from stdin_from;
// standard output and error are caught.
inline Result run_program(const fs::path& dir, const std::string& program, const std::string& args,
                          const std::string& stdin_from = "/dev/null") {
  const std::string command = "cd '" + dir.string() + "' && '" + program + "' " + args + " <" +
                              stdin_from + " >stdout.txt 2>stderr.txt";
  const int raw = std::system(command.c_str());
  Result r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(dir / "stdout.txt"),
           read_file(dir / "stderr.txt")};
  fs::remove(dir / "stdout.txt");
  fs::remove(dir / "stderr.txt");
  return r;
}

// A test with a fresh temporary folder, removed after it.
class ProgramFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/halvern-program-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path path(const std::string& name) const { return dir_ / name; }

  // Runs the program in the folder.
  Result run_program(const std::string& program, const std::string& args,
                     const std::string& stdin_from = "/dev/null") const {
    return halvern::testing::run_program(dir_, program, args, stdin_from);
  }

  fs::path dir_;
};

}  // namespace halvern::testing
