// halvern-matrix: prints the hash of the engine's output for every signal and tuning of the
// test matrix, one line each. Used to record the golden hashes and to compare builds.
//
//   halvern-matrix speech.pcm [frames]

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/matrix/signal_matrix.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: halvern-matrix speech.pcm [frames]\n");
    return 2;
  }
  const int frames = argc == 3 ? std::atoi(argv[2]) : 40;
  for (const std::string& line : halvern::matrix_report(argv[1], frames)) {
    std::printf("%s\n", line.c_str());
  }
  return 0;
}
