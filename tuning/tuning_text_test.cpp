#include "tuning/tuning_text.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tuning/slot_catalogue.h"

namespace halvern {
namespace {

std::string example_text() {
  std::ifstream in(std::string(HALVERN_SOURCE_DIR) + "/examples/tuning.txt", std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream s(text);
  for (std::string line; std::getline(s, line);) out.push_back(line);
  return out;
}

TEST(TuningText, OneChangeTouchesOnlyThatValue) {
  const std::string original = example_text();
  const int slot = slot_index("dyn_makeup_db");
  const SlotChange change{slot, -7};
  const std::string changed = rewrite_tuning_text(original, std::span(&change, 1));

  TuningSlots expect = load_tuning_text(original);
  expect[static_cast<size_t>(slot)] = -7;
  EXPECT_EQ(load_tuning_text(changed), expect);
  const std::vector<std::string> a = lines(original);
  const std::vector<std::string> b = lines(changed);
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].starts_with("dyn_makeup_db ")) {
      EXPECT_EQ(b[i], "dyn_makeup_db -7");
    } else {
      EXPECT_EQ(a[i], b[i]) << "line " << i + 1;
    }
  }
  EXPECT_EQ(changed.size(), original.size() + 1);
}

TEST(TuningText, KeepsEveryByteButTheValuesTheLoaderReads) {
  // CRLF, tabs, a name glued after digits ("7x" is 7, then the name "x"), a sign, leading zeros
  // and a number past 16 bits: only the value tokens of slots 1, 2 and 4 change; slot 3 keeps
  // "0012" since it already loads as 12.
  const std::string text = "mask\t31\r\n# -5\r\n+40 7x 1 99999999999999999999 0012  y\n";
  // Pairs: (mask 31) (# -5) (+40 7) (x 1) (99999999999999999999 0012) and y without a value.
  const std::vector<SlotChange> changes = {{1, 300}, {2, -2}, {4, 12}, {3, 5}};
  const std::string changed = rewrite_tuning_text(text, changes);
  EXPECT_EQ(changed, "mask\t31\r\n# 300\r\n+40 -2x 5 99999999999999999999 0012  y\n");
  const TuningSlots slots = load_tuning_text(changed);
  EXPECT_EQ(slots[1], 300);
  EXPECT_EQ(slots[2], -2);
  EXPECT_EQ(slots[3], 5);
  EXPECT_EQ(slots[4], 12);

  // The whole-slots form rewrites only what differs.
  TuningSlots wanted = load_tuning_text(text);
  wanted[0] = 1;
  EXPECT_EQ(rewrite_tuning_text(text, wanted),
            "mask\t1\r\n# -5\r\n+40 7x 1 99999999999999999999 0012  y\n");
  EXPECT_EQ(rewrite_tuning_text(text, load_tuning_text(text)), text);
}

TEST(TuningText, RefusesASlotWithoutAValueToken) {
  const std::string text = "a 1\nb loud\nc 3\nd";
  auto refused = [&](int slot) -> std::string {
    const SlotChange change{slot, 5};
    try {
      rewrite_tuning_text(text, std::span(&change, 1));
    } catch (const TuningTextError& e) {
      EXPECT_EQ(e.slot(), slot < 0 || slot >= TUNING_SLOT_COUNT ? -1 : slot);
      return e.what();
    }
    return "accepted";
  };
  EXPECT_NE(refused(1).find("line 2, column 3 'loud' is not a number"), std::string::npos)
      << refused(1);
  // "loud" is slot 2's name and "c" its value; "c 3" is slot 3, and "d" has no value.
  EXPECT_NE(refused(2).find("'c' is not a number"), std::string::npos) << refused(2);
  EXPECT_EQ(refused(3), "accepted");
  EXPECT_NE(refused(4).find("line 4, column 2) after its name"), std::string::npos) << refused(4);
  EXPECT_NE(refused(40).find("after 5 pairs"), std::string::npos) << refused(40);
  EXPECT_NE(refused(85).find("no slot 85"), std::string::npos);
  const SlotChange fine{0, 9};
  EXPECT_EQ(rewrite_tuning_text(text, std::span(&fine, 1)), "a 9\nb loud\nc 3\nd");
}

}  // namespace
}  // namespace halvern
