#include "tuning/slot_catalogue.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace halvern {
namespace {

static_assert(slot_index("stage_mask") == STAGE_MASK_SLOT);
static_assert(slot_index("eq_centre_tap") == 53);

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The README's slot table is the catalogue's: a change to either without the other fails here.
// On a failure the expected table is printed, ready to paste into the README.
TEST(SlotCatalogue, ReadmeTableIsTheCatalogue) {
  const std::string readme = read_file(HALVERN_SOURCE_DIR "/README.md");
  const std::string header = "| Slot | Name | Stage |";
  const size_t start = readme.find(header);
  ASSERT_NE(start, std::string::npos) << "README.md has no slot table";
  size_t end = start;
  while (end < readme.size() && readme[end] == '|') end = readme.find('\n', end) + 1;
  const std::string expected = slot_catalogue_markdown();
  EXPECT_EQ(readme.substr(start, end - start), expected) << "the table to paste:\n" << expected;
}

// The canonical names are those of the shipped example, in the same order.
TEST(SlotCatalogue, NamesAreTheExampleTuningsInOrder) {
  std::istringstream example(read_file(HALVERN_SOURCE_DIR "/examples/tuning.txt"));
  for (const SlotInfo& s : SLOT_CATALOGUE) {
    std::string name;
    std::string value;
    example >> name >> value;
    EXPECT_EQ(name, s.name) << "slot " << s.index;
    EXPECT_EQ(find_slot(name), s.index);
    EXPECT_TRUE(s.in_range(std::stoi(value))) << name << " " << value;
  }
  EXPECT_EQ(find_slot("no_such_slot"), -1);
}

}  // namespace
}  // namespace halvern
