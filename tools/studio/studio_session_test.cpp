// The studio's session where a fault could hide: the undo history (drags, its limit, edits after
// an undo), the revisions that audio requests name, the save that must never overwrite a change
// on disk, and a change on disk that becomes the saved tuning with the edits one step back.
#include "tools/studio/studio_session.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/running/run_job.h"
#include "tuning/slot_catalogue.h"

namespace halvern::tools {
namespace {

std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_text(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class StudioSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("studio_session_test_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(folder_);
    path_ = folder_ / "tuning.txt";
    original_ = read_text(std::filesystem::path(HALVERN_SOURCE_DIR) / "examples/tuning.txt");
    write_text(path_, original_);
    // One second of a tone: enough frames for the engine, quick to run.
    for (int i = 0; i < 16000; ++i) input_.push_back(static_cast<int16_t>((i * 37 % 2000) - 1000));
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  StudioSession session(bool allow_errors = false) {
    return StudioSession(path_.string(), input_, allow_errors);
  }

  std::filesystem::path folder_;
  std::filesystem::path path_;
  std::string original_;
  std::vector<int16_t> input_;
};

constexpr int kMakeup = slot_index("dyn_makeup_db");
constexpr int kOutputGain = slot_index("dyn_output_gain_db");

TEST_F(StudioSessionTest, DragIsOneUndoStepAndUndoRedoWalkTheHistory) {
  StudioSession s = session();
  const TuningSlots start = s.slots();
  for (int v = 1; v <= 5; ++v) s.edit({{kOutputGain, static_cast<int16_t>(v)}}, "drag-1");
  s.edit({{kMakeup, 3}}, "drag-2");
  s.edit({{kMakeup, 4}});  // no gesture: a step of its own
  EXPECT_EQ(s.undo_steps(), 3u);
  EXPECT_EQ(s.slots()[kOutputGain], 5);
  s.undo();
  s.undo();
  EXPECT_EQ(s.slots()[kMakeup], start[kMakeup]);
  EXPECT_EQ(s.slots()[kOutputGain], 5);
  s.undo();
  EXPECT_EQ(s.slots(), start);
  EXPECT_FALSE(s.can_undo());
  s.redo();
  EXPECT_EQ(s.slots()[kOutputGain], 5);
  // An edit after an undo drops the steps ahead; the same gesture does not join an old step.
  s.edit({{kMakeup, 9}}, "drag-1");
  EXPECT_FALSE(s.can_redo());
  EXPECT_EQ(s.undo_steps(), 2u);
  // A value that is already there makes no revision.
  const int64_t r = s.revision();
  EXPECT_EQ(s.edit({{kMakeup, 9}}), r);
}

TEST_F(StudioSessionTest, HistoryKeepsItsLimitAndEveryRevisionKeepsItsSlots) {
  StudioSession s = session();
  const TuningSlots start = s.slots();
  const int64_t first = s.revision();
  for (size_t i = 0; i < STUDIO_UNDO_STEPS + 50; ++i)
    s.edit({{kOutputGain, static_cast<int16_t>(i % 40 - 20)}});
  EXPECT_EQ(s.undo_steps(), STUDIO_UNDO_STEPS);
  while (s.can_undo()) s.undo();
  EXPECT_NE(s.slots(), start);  // the oldest steps were dropped
  // Revisions: the saved one stays, whatever the number of revisions since.
  for (size_t i = 0; i < STUDIO_REVISIONS_KEPT; ++i)
    s.edit({{kMakeup, static_cast<int16_t>(i % 2 + 1)}});
  ASSERT_TRUE(s.slots_at(first).has_value());
  EXPECT_EQ(*s.slots_at(first), start);
  EXPECT_FALSE(s.slots_at(first + 1).has_value());
  EXPECT_EQ(*s.slots_at(s.revision()), s.slots());
}

TEST_F(StudioSessionTest, RenderIsTheRunOfTheRevisionsTuning) {
  StudioSession s = session();
  RenderCache renders(s.input());
  const int64_t saved = s.revision();
  s.edit({{kOutputGain, -12}});
  const std::vector<int16_t> edited = renders.run(*s.slots_at(s.revision()))->output;
  TuningSlots slots = s.saved_slots();
  slots[kOutputGain] = -12;
  EXPECT_EQ(edited, run_job(input_, slots).output);
  EXPECT_EQ(renders.run(*s.slots_at(saved))->output, run_job(input_, s.saved_slots()).output);
  EXPECT_NE(edited, renders.run(*s.slots_at(saved))->output);
  EXPECT_EQ(load_tuning_text(s.text_at(s.revision())), slots);
  EXPECT_THROW(s.text_at(s.revision() + 1), StudioError);
}

TEST_F(StudioSessionTest, RefusesWhatTheEngineCannotRun) {
  StudioSession s = session();
  const int64_t r = s.revision();
  try {
    s.edit({{slot_index("dyn_boost_threshold"), 60}, {slot_index("dyn_full_boost_threshold"), 20}});
    FAIL() << "a boost ramp that runs backwards was taken";
  } catch (const StudioError& e) {
    EXPECT_EQ(e.status(), 422);
    EXPECT_NE(std::string(e.what()).find("dyn_full_boost_threshold"), std::string::npos)
        << e.what();
  }
  EXPECT_EQ(s.revision(), r);
}

TEST_F(StudioSessionTest, SaveRewritesOnlyTheChangedValueAndRefusesAChangeOnDisk) {
  StudioSession s = session();
  s.edit({{kOutputGain, -7}});
  EXPECT_EQ(s.save(), 1);
  const std::string saved = read_text(path_);
  // Only that value's token differs.
  std::string expected = original_;
  const std::string line = std::string(SLOT_CATALOGUE[kOutputGain].name) + " ";
  const size_t at = expected.find(line) + line.size();
  expected.replace(at, expected.find('\n', at) - at, "-7");
  EXPECT_EQ(saved, expected);
  EXPECT_EQ(s.saved_slots(), s.slots());
  EXPECT_EQ(s.saved_revision(), s.revision());

  // Someone else writes the file: the next save is refused and the file is left as it is.
  s.edit({{kMakeup, 2}});
  write_text(path_, original_);
  try {
    s.save();
    FAIL() << "a save overwrote a change on disk";
  } catch (const StudioError& e) {
    EXPECT_EQ(e.status(), 409);
  }
  EXPECT_EQ(read_text(path_), original_);
}

TEST_F(StudioSessionTest, ChangeOnDiskIsLoadedWithTheEditsOneUndoStepBack) {
  StudioSession s = session();
  EXPECT_EQ(s.check_disk().state, DiskState::kSame);
  s.edit({{kMakeup, 5}});
  const TuningSlots edits = s.slots();
  std::string changed = original_;
  changed.replace(changed.find("stage_mask 31"), 13, "stage_mask 15");
  write_text(path_, changed);
  const DiskCheck check = s.check_disk();
  EXPECT_TRUE(check.loaded);
  EXPECT_EQ(s.slots()[STAGE_MASK_SLOT], 15);
  EXPECT_EQ(s.saved_slots(), s.slots());
  EXPECT_EQ(s.saved_revision(), s.revision());
  s.undo();
  EXPECT_EQ(s.slots(), edits);

  // A file with errors of check is not loaded, and not tried again until it changes.
  write_text(path_, "stage_mask 31\nhp_cutoff_hz abc\n");
  const int64_t r = s.revision();
  const DiskCheck refused = s.check_disk();
  EXPECT_FALSE(refused.loaded);
  EXPECT_EQ(refused.state, DiskState::kChanged);
  EXPECT_NE(refused.message.find("not loaded"), std::string::npos) << refused.message;
  EXPECT_EQ(s.revision(), r);
  EXPECT_THROW(s.save(), StudioError);
  // With --allow-tuning-errors it is loaded.
  write_text(path_, original_);
  StudioSession lenient = session(true);
  write_text(path_, "stage_mask 31\nhp_cutoff_hz abc\n");
  EXPECT_TRUE(lenient.check_disk().loaded);
}

TEST(StudioSlotChanges, NamesNumbersRangesAndTypes) {
  const auto changes = parse_slot_changes(
      nlohmann::json::parse(R"({"12": 6, "dyn_output_gain_db": -3, "eq_tap_00": -32768})"));
  ASSERT_EQ(changes.size(), 3u);
  int seen = 0;
  for (const SlotChange& c : changes) {
    if (c.slot == 12) seen += c.value == 6;
    if (c.slot == kOutputGain) seen += c.value == -3;
    if (c.slot == slot_index("eq_tap_00")) seen += c.value == -32768;
  }
  EXPECT_EQ(seen, 3);
  for (const char* bad : {R"({"85": 1})", R"({"no_such_slot": 1})", R"({"-1": 1})", R"({"12": 19})",
                          R"({"12": -1})", R"({"12": 1.5})", R"({"12": "6"})",
                          R"({"eq_tap_00": 32768})", R"({"12": 18446744073709551615})"}) {
    try {
      parse_slot_changes(nlohmann::json::parse(bad));
      ADD_FAILURE() << bad << " was taken";
    } catch (const StudioError& e) {
      EXPECT_EQ(e.status(), 422) << bad;
    }
  }
}

}  // namespace
}  // namespace halvern::tools
