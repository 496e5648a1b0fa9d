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

  // Runs the program with the given argument string (shell words) in the folder, standard input
  // from stdin_from; standard output and error are caught.
  Result run_program(const std::string& program, const std::string& args,
                     const std::string& stdin_from = "/dev/null") const {
    const std::string command = "cd '" + dir_.string() + "' && '" + program + "' " + args + " <" +
                                stdin_from + " >stdout.txt 2>stderr.txt";
    const int raw = std::system(command.c_str());
    Result r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(path("stdout.txt")),
             read_file(path("stderr.txt"))};
    fs::remove(path("stdout.txt"));
    fs::remove(path("stderr.txt"));
    return r;
  }

  fs::path dir_;
};

}  // namespace halvern::testing
