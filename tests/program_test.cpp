// The program run as a user runs it: console bytes, exit statuses, files.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "tests/program_folder.h"

namespace {

namespace fs = std::filesystem;

const std::string kRule(91, '=');
const std::string kBanner = kRule + "\n Halvern Engine Simulation\t\n" + kRule + "\n";

using halvern::testing::read_file;
using halvern::testing::Result;
using halvern::testing::write_file;

class Program : public halvern::testing::ProgramFolder {
 protected:
  // Runs the program with the given argument string (shell words), in the test's folder.
  Result run(const std::string& args, const std::string& stdin_from = "/dev/null") const {
    return run_program(HALVERN_SIM, args, stdin_from);
  }

  static std::string paths_text(const std::string& in, const std::string& out,
                                const std::string& tuning) {
    return " [1] Input pcm path : " + in + " \n [2] Output pcm path : " + out +
           " \n [3] Tuning file path : " + tuning + " \n";
  }

  static std::string progress(int frames, long long total) {
    std::string text;
    for (int i = 1; i <= frames; ++i) {
      text += "\rFrmCnt: " + std::to_string(i) + " / " + std::to_string(total);
    }
    return text;
  }
};

std::string random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

std::string help_text(int argc) {
  return "argc: " + std::to_string(argc) + "\n\n\n" + kRule + "\n Halvern Engine HELP\t\n" + kRule +
         "\n\nArguments : input.pcm output.pcm param.txt\n"
         " Arg 1st  : input.pcm  : Halvern input file \n"
         " Arg 2nd  : output.pcm : Halvern output file \n"
         " Arg 3rd  : param.txt  : Tuning Parameter file \n" +
         kRule + "\n";
}

TEST_F(Program, WrongArgumentCountPrintsHelp) {
  for (const auto& [args, argc] : std::vector<std::pair<std::string, int>>{
           {"", 1}, {"a.pcm b.pcm", 3}, {"a.pcm b.pcm c.txt d", 5}}) {
    const Result r = run(args);
    EXPECT_EQ(r.status, 0) << args;
    EXPECT_EQ(r.out, kBanner + help_text(argc)) << args;
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(fs::exists(path("b.pcm")));
  }
}

TEST_F(Program, CompleteRunConsoleAndOutput) {
  write_file(path("in.pcm"), random_bytes(1000, 1));  // one frame and 360 dropped bytes
  write_file(path("t.txt"), "mask 0\n");
  const Result r = run("in.pcm out.pcm t.txt");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, kBanner + paths_text("in.pcm", "out.pcm", "t.txt") +
                       "\n == Start Simulation ==\n\n" + progress(1, 1) +
                       "\n\n == Finished Simulation == \n\n");
  EXPECT_EQ(read_file(path("out.pcm")), read_file(path("in.pcm")).substr(0, 640));
}

TEST_F(Program, EmptyInputWritesAnEmptyOutput) {
  write_file(path("in.pcm"), "");
  write_file(path("t.txt"), "mask 31\n");
  const Result r = run("in.pcm out.pcm t.txt");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kBanner + paths_text("in.pcm", "out.pcm", "t.txt") +
                       "\n == Start Simulation ==\n\n\n\n == Finished Simulation == \n\n");
  EXPECT_TRUE(fs::exists(path("out.pcm")));
  EXPECT_EQ(fs::file_size(path("out.pcm")), 0u);
}

TEST_F(Program, EveryStageOffCopiesWholeFrames) {
  const std::string input = random_bytes(1'280'000 + 639, 2);
  write_file(path("in.pcm"), input);
  write_file(path("t.txt"), "");
  const Result r = run("in.pcm out.pcm t.txt");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file(path("out.pcm")), input.substr(0, 1'280'000));
  const std::string last = "\rFrmCnt: 2000 / 2000\n\n == Finished Simulation == \n\n";
  ASSERT_GE(r.out.size(), last.size());
  EXPECT_EQ(r.out.substr(r.out.size() - last.size()), last);
}

TEST_F(Program, SamplesAreLittleEndian) {
  // +6 dB (4080 / 2048) on the sample bytes 01 02 (513) gives 1022 = bytes fe 03.
  std::string frame(640, '\0');
  frame[0] = 0x01;
  frame[1] = 0x02;
  write_file(path("in.pcm"), frame);
  write_file(path("t.txt"), "mask 1 cutoff 0 gain 60");
  ASSERT_EQ(run("in.pcm out.pcm t.txt").status, 0);
  const std::string out = read_file(path("out.pcm"));
  ASSERT_EQ(out.size(), 640u);
  EXPECT_EQ(static_cast<unsigned char>(out[0]), 0xfe);
  EXPECT_EQ(static_cast<unsigned char>(out[1]), 0x03);
}

TEST_F(Program, FilesThatCannotBeOpened) {
  write_file(path("in.pcm"), random_bytes(640, 3));
  write_file(path("t.txt"), "mask 0");

  Result r = run("missing.pcm out.pcm t.txt");
  EXPECT_EQ(r.status, 19);
  EXPECT_EQ(r.err, "input file error..\n");
  EXPECT_EQ(r.out, kBanner);
  EXPECT_FALSE(fs::exists(path("out.pcm")));

  r = run("in.pcm no/such/dir/out.pcm t.txt");
  EXPECT_EQ(r.status, 20);
  EXPECT_EQ(r.err, "output file error..\n");

  r = run("in.pcm out.pcm missing.txt");
  EXPECT_EQ(r.status, 26);
  EXPECT_EQ(r.err, "input Tuning file error..\n");
  EXPECT_EQ(r.out, kBanner);
  EXPECT_FALSE(fs::exists(path("out.pcm")));  // never created before the tuning is read

  fs::create_directory(path("tuning_dir"));
  r = run("in.pcm out.pcm tuning_dir");
  EXPECT_EQ(r.status, 26);
  EXPECT_EQ(r.err, "input Tuning file error..\n");
}

TEST_F(Program, OutputNeverOverwritesTheRecordingOrTheTuning) {
  const std::string input = random_bytes(640 * 2, 8);
  write_file(path("in.pcm"), input);
  write_file(path("t.txt"), "mask 1 cut 100 gain 0");
  fs::create_directory(path("sub"));
  for (const char* args :
       {"in.pcm in.pcm t.txt", "in.pcm ./sub/../in.pcm t.txt", "in.pcm t.txt t.txt"}) {
    const Result r = run(args);
    EXPECT_EQ(r.status, 20) << args;
    EXPECT_EQ(r.err, "output file error..\n") << args;
    EXPECT_EQ(read_file(path("in.pcm")), input) << args;
    EXPECT_EQ(read_file(path("t.txt")), "mask 1 cut 100 gain 0") << args;
  }
  fs::create_hard_link(path("in.pcm"), path("link.pcm"));
  EXPECT_EQ(run("in.pcm link.pcm t.txt").status, 20);
  EXPECT_EQ(read_file(path("in.pcm")), input);
}

// A slip in the arguments leaves every file as it was: the output is created only after the
// recording and the tuning have been opened and read.
TEST_F(Program, MistakenArgumentsDestroyNoFile) {
  const std::string tuning = "mask 1 cut 100 gain 0\n";
  write_file(path("in.pcm"), random_bytes(640, 4));
  write_file(path("t.txt"), tuning);

  // Output and tuning swapped, the intended output not there yet.
  Result r = run("in.pcm t.txt out.pcm");
  EXPECT_EQ(r.status, 26);
  EXPECT_EQ(r.err, "input Tuning file error..\n");
  EXPECT_EQ(read_file(path("t.txt")), tuning);
  EXPECT_FALSE(fs::exists(path("out.pcm")));

  // A mistyped tuning path with an earlier output in place.
  const std::string earlier = random_bytes(1280, 5);
  write_file(path("out.pcm"), earlier);
  r = run("in.pcm out.pcm tunnig.txt");
  EXPECT_EQ(r.status, 26);
  EXPECT_EQ(r.err, "input Tuning file error..\n");
  EXPECT_EQ(read_file(path("out.pcm")), earlier);
}

TEST_F(Program, InputReadErrorIsNotTheEndOfTheInput) {
  fs::create_directory(path("in_dir"));
  write_file(path("t.txt"), "mask 0");
  const Result r = run("in_dir out.pcm t.txt");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "input file read error..\n");
  EXPECT_EQ(r.out.find("Finished"), std::string::npos);
}

TEST_F(Program, OutputWriteErrorIsReported) {
  write_file(path("in.pcm"), random_bytes(640 * 50, 4));
  write_file(path("t.txt"), "mask 0");
  const Result r = run("in.pcm /dev/full t.txt");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "output file write error..\n");
  EXPECT_EQ(r.out.find("Finished"), std::string::npos);
}

TEST_F(Program, PipedInputHasAnUnknownTotal) {
  write_file(path("in.pcm"), random_bytes(640 * 3, 5));
  write_file(path("t.txt"), "mask 0");
  const std::string command = "cd '" + dir_.string() +
                              "' && cat in.pcm | '" HALVERN_SIM
                              "' /dev/stdin out.pcm t.txt >stdout.txt 2>stderr.txt";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_NE(read_file(path("stdout.txt")).find(progress(3, 0)), std::string::npos);
  EXPECT_EQ(read_file(path("out.pcm")), read_file(path("in.pcm")));
}

TEST_F(Program, FatalDivisionInTheSettingsEndsTheRun) {
  // A boost range whose full-boost threshold lies above the boost threshold.
  write_file(path("in.pcm"), random_bytes(640 * 4, 6));
  std::string tuning = "mask 2\n";
  for (int slot = 1; slot < 85; ++slot) {
    const int value = slot == 7 ? 20 : (slot == 8 ? 10 : 0);
    tuning += "s";
    tuning += std::to_string(slot);
    tuning += " ";
    tuning += std::to_string(value);
    tuning += "\n";
  }
  write_file(path("t.txt"), tuning);
  const Result r = run("in.pcm out.pcm t.txt");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kBanner + paths_text("in.pcm", "out.pcm", "t.txt") +
                       "Division Error var1=16383  var2=-20480\n");
  EXPECT_EQ(fs::file_size(path("out.pcm")), 0u);
}

TEST_F(Program, InputsOf2GiBAndMoreShowTheRightTotal) {
  // A sparse file: 2 GiB of silence and ten frames more, plus a partial frame. Only the start of
  // the run is read; the program stops when the reader goes away.
  const uintmax_t size = (uintmax_t{1} << 31) + 10 * 640 + 100;
  { std::ofstream touch(path("big.pcm")); }
  fs::resize_file(path("big.pcm"), size);
  write_file(path("t.txt"), "mask 0");
  const std::string command = "cd '" + dir_.string() +
                              "' && '" HALVERN_SIM
                              "' big.pcm /dev/null t.txt 2>/dev/null | head -c 600 >stdout.txt";
  std::system(command.c_str());
  const std::string total = std::to_string(size / 640);
  EXPECT_EQ(total, "3355453");
  EXPECT_NE(read_file(path("stdout.txt")).find("\rFrmCnt: 1 / " + total + "\rFrmCnt: 2 / " + total),
            std::string::npos);
}

TEST_F(Program, AOneGiBTuningTokenIsNotHeldInMemory) {
  // The tuning file is a single name token of 1 GiB (NUL bytes are name characters): every slot
  // stays 0 and the input is copied. The loader skips the token without keeping it.
  { std::ofstream touch(path("huge.txt")); }
  fs::resize_file(path("huge.txt"), uintmax_t{1} << 30);
  const std::string input = random_bytes(640 * 3, 7);
  write_file(path("in.pcm"), input);
  const Result r = run("in.pcm out.pcm huge.txt");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file(path("out.pcm")), input);
  rusage usage{};
  ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &usage), 0);
  EXPECT_LT(usage.ru_maxrss, 64 * 1024) << "kilobytes";
}

}  // namespace
