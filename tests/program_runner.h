// Running a program as a user does, for the end-to-end tests: in a folder, with standard input
// from a file, capturing standard output, standard error and the exit status.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace halvern::testing {

struct Result {
  int status;
  std::string out;
  std::string err;
};

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

inline void write_file(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f << bytes;
}

// Runs 'program' followed by args (shell words) in dir, standard input from stdin_from.
inline Result run_program(const std::filesystem::path& dir, const std::string& program,
                          const std::string& args, const std::string& stdin_from = "/dev/null") {
  const std::string command = "cd '" + dir.string() + "' && '" + program + "' " + args + " <" +
                              stdin_from + " >stdout.txt 2>stderr.txt";
  const int raw = std::system(command.c_str());
  Result r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(dir / "stdout.txt"),
           read_file(dir / "stderr.txt")};
  std::filesystem::remove(dir / "stdout.txt");
  std::filesystem::remove(dir / "stderr.txt");
  return r;
}

}  // namespace halvern::testing
