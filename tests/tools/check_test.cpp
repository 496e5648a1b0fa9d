// `halvern check` and `halvern explain` run as a user runs them: one faulty tuning file per kind
// of finding with its diagnostic, exit statuses, and explain's values against the loader that
// halvern-sim uses.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/matrix/signal_matrix.h"
#include "tests/program_folder.h"
#include "tuning/slot_catalogue.h"
#include "tuning/tuning.h"

namespace {

namespace fs = std::filesystem;
using halvern::SLOT_CATALOGUE;
using halvern::TuningSlots;

using halvern::testing::read_file;
using halvern::testing::Result;

// A tuning file of the catalogue's names, one pair a line.
std::string tuning_text(const TuningSlots& slots) {
  std::string text;
  for (const auto& info : SLOT_CATALOGUE) {
    text += std::string(info.name) + " " + std::to_string(slots[static_cast<size_t>(info.index)]) +
            "\n";
  }
  return text;
}

const std::string EXAMPLE = read_file(HALVERN_SOURCE_DIR "/examples/tuning.txt");

// The example with line n (from 1) replaced.
std::string with_line(int n, const std::string& line) {
  std::istringstream in(EXAMPLE);
  std::string text;
  std::string l;
  for (int k = 1; std::getline(in, l); ++k) text += (k == n ? line : l) + "\n";
  return text;
}

class Tool : public halvern::testing::ProgramFolder {
 protected:
  void write(const std::string& name, const std::string& bytes) const {
    halvern::testing::write_file(path(name), bytes);
  }

  // Runs halvern with the given argument string (shell words), in the test's folder.
  Result run(const std::string& args) const { return run_program(HALVERN_TOOL, args); }

  // check on one file of these bytes.
  Result check(const std::string& bytes, const std::string& options = "") const {
    write("t.txt", bytes);
    return run("check " + options + " t.txt");
  }

  // The slots as halvern-sim's loader gives them.
  TuningSlots loaded(const std::string& name) const {
    TuningSlots slots;
    std::FILE* f = std::fopen((dir_ / name).c_str(), "rb");
    EXPECT_NE(f, nullptr);
    EXPECT_TRUE(halvern::tuning_load(f, &slots));
    std::fclose(f);
    return slots;
  }
};

bool has(const std::string& out, const std::string& line) {
  return out.find(line) != std::string::npos;
}

TEST_F(Tool, CleanRealisticTuningsGiveNoWarning) {
  for (const auto& t : halvern::matrix_tunings()) {
    const bool realistic = t.name == "highpass" || t.name == "dynamics" || t.name == "equalizer" ||
                           t.name == "dither" || t.name == "suppressor" || t.name == "all" ||
                           t.name == "hot";
    if (!realistic) continue;
    const Result r = check(tuning_text(t.slots), "--werror");
    EXPECT_EQ(r.status, 0) << t.name << "\n" << r.out;
    EXPECT_FALSE(has(r.out, "warning:") || has(r.out, "error:")) << t.name << "\n" << r.out;
  }
  const Result example = check(EXAMPLE, "--werror");
  EXPECT_EQ(example.status, 0);
  EXPECT_EQ(example.out, "");
}

TEST_F(Tool, ValueThatIsNoNumberShiftsTheRest) {
  const Result r = check(with_line(5, "dyn_attack fast"));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(
      r.out,
      "t.txt:5:12: error: 'fast' is not a number: slot 4 (dyn_attack) stays 0, 'fast' becomes "
      "the name of slot 5 (dyn_release), whose value read fails on 'dyn_release' too, so it stays "
      "0, 'dyn_release' becomes the name of slot 6 (dyn_comp_threshold); from line 6 on, every "
      "value lands 1 slot later than its line says: slots 6-84 hold the values meant for slots "
      "5-83, and the last value is ignored [slot 4 dyn_attack]\n"))
      << r.out;
  EXPECT_TRUE(has(r.out, "t.txt:85:1: warning: everything from here on is ignored")) << r.out;
}

TEST_F(Tool, MissingValueAndDigitsGluedToLetters) {
  const Result missing = check(with_line(3, "hp_gain_tenth_db"));
  EXPECT_TRUE(
      has(missing.out,
          "t.txt:3:17: error: no value after 'hp_gain_tenth_db' on line 3, and the next token "
          "'dyn_release_mode' (line 4) is not a number: slot 2 (hp_gain_tenth_db) stays 0"))
      << missing.out;
  const Result typo = check(with_line(2, "hp_cutoff_hz 1OO"));
  EXPECT_EQ(typo.status, 1);
  EXPECT_TRUE(has(
      typo.out,
      "t.txt:2:14: error: '1OO' is read as the number 1 followed by the name 'OO' (values are "
      "whole numbers, with a blank after them): slot 1 (hp_cutoff_hz) holds 1, 'OO' becomes the "
      "name of slot 2 (hp_gain_tenth_db)"))
      << typo.out;
}

TEST_F(Tool, NamesOfOtherSlots) {
  // Lines 11 and 12 swapped: a file written for another order.
  std::string swapped = with_line(11, "dyn_exp_ratio 20");
  swapped = swapped.replace(swapped.find("dyn_exp_ratio 20\ndyn_exp_ratio 20"), 32,
                            "dyn_exp_ratio 20\ndyn_comp_ratio 40");
  const Result r = check(swapped);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(
      r.out,
      "t.txt:11:1: error: lines 11 and 12 are swapped: a value sets the slot of its place in the "
      "file, whatever its name; put the lines back in slot order [slot 10 dyn_comp_ratio]\n"
      "t.txt:11:1: note: 'dyn_exp_ratio' is the name of slot 11, but its value 20 sets slot 10 "
      "(dyn_comp_ratio) [slot 10 dyn_comp_ratio]\n"))
      << r.out;
  // Line 11 deleted: every later value sits one slot early.
  std::string deleted = EXAMPLE;
  deleted.erase(deleted.find("dyn_comp_ratio 40\n"), 18);
  EXPECT_TRUE(
      has(check(deleted).out,
          "t.txt:11:1: note: 'dyn_exp_ratio' is the name of slot 11: the values from here on sit 1 "
          "slot earlier than their names say [slot 11 dyn_exp_ratio]\n"));
  const Result typo = check(with_line(2, "hp_cutof_hz 100"));
  EXPECT_EQ(typo.status, 0);
  EXPECT_TRUE(has(typo.out, "t.txt:2:1: warning: the name 'hp_cutof_hz' is not slot 1's name"))
      << typo.out;
  EXPECT_TRUE(has(typo.out, "t.txt:2:1: note: 'hp_cutof_hz' is the name of no slot\n")) << typo.out;
  EXPECT_EQ(check(with_line(2, "hp_cutof_hz 100"), "--werror").status, 1);
}

TEST_F(Tool, WrappedAndOutOfRangeValues) {
  std::string text = with_line(11, "dyn_comp_ratio 40000");
  text = text.replace(text.find("dyn_attack 20"), 13, "dyn_attack 1500");
  text = text.replace(text.find("hp_cutoff_hz 100"), 16, "hp_cutoff_hz 900");
  text = text.replace(text.find("dyn_makeup_db 6"), 15, "dyn_makeup_db 19");
  const Result r = check(text);
  EXPECT_EQ(r.status, 0);
  for (const char* line :
       {"t.txt:2:14: warning: hp_cutoff_hz 900 is above its range 0..800: the high-pass "
        "filter passes the signal through (its gain still applies) [slot 1 hp_cutoff_hz]\n",
        "t.txt:5:12: warning: dyn_attack 1500 is above its range 0..1300: the dynamics stage "
        "skips the step of slots 4-5, so dyn_attack and dyn_release keep their defaults: the "
        "gain attack time constant is none (coefficient 0: the gain never moves) and the gain "
        "release none (coefficient 0: the gain never moves) [slot 4 dyn_attack]\n",
        "t.txt:11:16: warning: '40000' is outside -32768..32767: the loader keeps its low 16 "
        "bits, so slot 10 (dyn_comp_ratio) holds -25536 [slot 10 dyn_comp_ratio]\n",
        "t.txt:11:16: warning: dyn_comp_ratio -25536 is below its range 10..100: the dynamics "
        "stage uses 10 (1:1) [slot 10 dyn_comp_ratio]\n",
        "t.txt:13:15: warning: dyn_makeup_db 19 is above its range 0..18: the dynamics stage "
        "skips the step of slot 12, so dyn_makeup_db keeps its default: the makeup gain stays "
        "at 0 dB and the boost ramp is flat [slot 12 dyn_makeup_db]\n"}) {
    EXPECT_TRUE(has(r.out, line)) << line << "\nin\n" << r.out;
  }
  EXPECT_EQ(check(text, "--werror").status, 1);
}

TEST_F(Tool, InvertedBoostRangeIsAnErrorBeforeAnyAudio) {
  const Result r = check(with_line(9, "dyn_full_boost_threshold 20"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "t.txt:9:26: error: dyn_full_boost_threshold 20 is less than dyn_boost_threshold 30 "
            "(slot 7): the boost ramp runs backwards and halvern-sim stops with a division error "
            "(\"Division Error var1=16383  var2=-20480\") before it processes any audio; set slot "
            "8 to at least 30 [slot 8 dyn_full_boost_threshold]\n");
  EXPECT_EQ(r.err, "halvern check: 1 error, 0 warnings\n");
}

// Lines 8 and 9 swapped: check names those two lines and no others; the values make the boost
// ramp run backwards, so explain marks both slots and fails as check does.
TEST_F(Tool, SwappedLinesAreNamedAndTheirFatalSlotsMarked) {
  const Result r = check(
      with_line(9, "dyn_boost_threshold 30")
          .replace(EXAMPLE.find("dyn_boost_threshold 30\n"), 23, "dyn_full_boost_threshold 40\n"));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out, "t.txt:8:1: error: lines 8 and 9 are swapped")) << r.out;
  EXPECT_FALSE(has(r.out, "from here on")) << r.out;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(line.starts_with("t.txt:8:") || line.starts_with("t.txt:9:")) << line;
  }
  const Result e = run("explain --json t.txt");
  EXPECT_EQ(e.status, 1);
  const auto j = nlohmann::json::parse(e.out);
  for (int slot = 0; slot < halvern::TUNING_SLOT_COUNT; ++slot) {
    EXPECT_EQ(j["slots"][slot]["status"] == "error", slot == 7 || slot == 8) << slot;
  }
  const Result table = run("explain t.txt");
  EXPECT_EQ(table.status, 1);
  const std::regex marked("\n   8     9  dyn_full_boost_threshold .* error ");
  EXPECT_TRUE(std::regex_search(table.out, marked)) << table.out;
}

TEST_F(Tool, ShortFilesTrailingPairsAndUnreadableFiles) {
  const Result r = check("stage_mask 0\nhp_cutoff_hz 100\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(has(r.out,
                  "t.txt:3:1: warning: the file ends after 2 pairs: slots 2-84 "
                  "(hp_gain_tenth_db to unused_84) stay 0 [slot 2 hp_gain_tenth_db]\n"))
      << r.out;
  EXPECT_TRUE(has(check("").out, "t.txt:1:1: warning: the file holds no pairs: every slot is 0"));
  EXPECT_TRUE(has(check(EXAMPLE + "extra 1\n").out,
                  "t.txt:86:1: warning: everything from here on is ignored"));

  fs::create_directory(dir_ / "folder");
  const Result unreadable = run("check missing.txt folder");
  EXPECT_EQ(unreadable.status, 2);
  EXPECT_EQ(unreadable.out,
            "missing.txt: error: cannot open the file: No such file or directory; halvern-sim "
            "stops with \"input Tuning file error..\"\n"
            "folder: error: is a directory, not a tuning file; halvern-sim stops with \"input "
            "Tuning file error..\"\n");
  EXPECT_EQ(run("check").status, 2);
  EXPECT_EQ(run("check --no-such-option t.txt").status, 2);
  EXPECT_EQ(run("explain missing.txt").status, 2);
}

// Every line of check's output has the compilers' form, whatever the bytes; explain --json gives
// the loader's 85 values.
TEST_F(Tool, AnyBytesGiveWellFormedFindingsAndTheLoadersValues) {
  const std::regex form(R"(^t\.txt(:[0-9]+:[0-9]+)?: (error|warning|note): .+$)");
  std::mt19937 rng(7);
  std::vector<std::string> files = {
      with_line(2, "hp_cutoff_hz 1OO"), with_line(5, "dyn_attack -"), with_line(7, "x 12.5"),
      with_line(3, "hp_gain_tenth_db"), EXAMPLE + "more 5 6",         "a 99999999999999999999999",
      std::string(100000, 'n') + " 7",  std::string("\0\0\xff 3", 6)};
  for (int k = 0; k < 12; ++k) {
    std::string bytes;
    const std::string pieces[] = {"dyn_attack", " ", "\n", "-",    "+",    "7",
                                  "40000",      "x", "\t", "\x01", "12abc"};
    for (int i = 0; i < 300; ++i)
      bytes += k % 3 == 0 ? std::string(1, static_cast<char>(rng())) : pieces[rng() % 11];
    files.push_back(bytes);
  }
  for (const std::string& bytes : files) {
    const Result c = check(bytes);
    ASSERT_TRUE(c.status == 0 || c.status == 1) << c.err;
    std::istringstream lines(c.out);
    for (std::string line; std::getline(lines, line);)
      EXPECT_TRUE(std::regex_match(line, form)) << line;

    const Result e = run("explain --json t.txt");
    const auto json = nlohmann::json::parse(e.out);
    ASSERT_EQ(e.status, json["configured"] ? 0 : 1) << e.err;
    const TuningSlots expected = loaded("t.txt");
    ASSERT_EQ(json["slots"].size(), 85u);
    for (int s = 0; s < halvern::TUNING_SLOT_COUNT; ++s) {
      EXPECT_EQ(json["slots"][s]["value"].get<int>(), expected[static_cast<size_t>(s)]) << s;
      EXPECT_EQ(json["slots"][s]["name"], std::string(SLOT_CATALOGUE[static_cast<size_t>(s)].name));
    }
    EXPECT_EQ(json["diagnostics"].size(),
              static_cast<size_t>(std::count(c.out.begin(), c.out.end(), '\n')));
  }
}

TEST_F(Tool, ExplainReadsTheConfiguredStages) {
  write("t.txt", EXAMPLE);
  const Result text = run("explain t.txt");
  EXPECT_EQ(text.status, 0);
  EXPECT_TRUE(has(text.out, "  cut-off 100 Hz (second-order Butterworth)\n")) << text.out;
  const auto j = nlohmann::json::parse(run("explain --json t.txt").out);
  EXPECT_EQ(j["slots"][10]["file_name"], "dyn_comp_ratio");
  EXPECT_EQ(j["slots"][10]["line"], 11);
  EXPECT_EQ(j["slots"][10]["status"], "ok");
  EXPECT_EQ(j["slots"][81]["status"], "unused");
  EXPECT_TRUE(j["slots"][81]["effective"].is_null());
  // The example's settings, worked by hand: a 4:1 compressor at -12 dBFS, 6 dB makeup, the
  // limiter at 10 tenths below full scale (-1 dBFS), 46 samples of equalizer delay, 200 ms hold.
  const auto& st = j["stages"];
  EXPECT_EQ(st["highpass"]["cutoff_hz"], 100);
  EXPECT_DOUBLE_EQ(st["dynamics"]["comp_ratio"].get<double>(), 4.0);
  EXPECT_DOUBLE_EQ(st["dynamics"]["comp_threshold_dbfs"].get<double>(), -12.0);
  EXPECT_DOUBLE_EQ(st["dynamics"]["makeup_db"].get<double>(), 6.0);
  EXPECT_DOUBLE_EQ(st["equalizer"]["limiter_threshold_dbfs"].get<double>(), -1.0);
  EXPECT_EQ(st["equalizer"]["delay_samples"], 46);
  EXPECT_DOUBLE_EQ(st["suppressor"]["hold_ms"].get<double>(), 200.0);
  EXPECT_EQ(st["suppressor"]["bands"][13]["high_hz"], 7937.5);

  // A centre tap of 8192 alone halves every frequency: -6.02 dB at every octave.
  TuningSlots half{};
  half[0] = halvern::STAGE_BIT_EQUALIZER;
  half[halvern::slot_index("eq_centre_tap")] = 8192;
  write("t.txt", tuning_text(half));
  const auto eq = nlohmann::json::parse(run("explain --json t.txt").out)["stages"]["equalizer"];
  ASSERT_EQ(eq["response"].size(), 7u);
  for (const auto& point : eq["response"]) EXPECT_DOUBLE_EQ(point["gain_db"].get<double>(), -6.02);
  // An inverted boost range: no settings, the error in the diagnostics.
  write("t.txt", with_line(9, "dyn_full_boost_threshold 20"));
  const auto inverted = nlohmann::json::parse(run("explain --json t.txt").out);
  EXPECT_TRUE(inverted["stages"].is_null());
  EXPECT_EQ(inverted["diagnostics"][0]["severity"], "error");
  EXPECT_EQ(inverted["diagnostics"][0]["line"], 9);
}

}  // namespace
