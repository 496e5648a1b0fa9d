#include "tuning/tuning.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace halvern {
namespace {

// Loads the slots from a file holding exactly these bytes.
TuningSlots load(const std::string& bytes) {
  std::FILE* f = std::tmpfile();
  EXPECT_NE(f, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  TuningSlots slots;
  slots.fill(77);
  EXPECT_TRUE(tuning_load(f, &slots));
  std::fclose(f);
  return slots;
}

TEST(TuningLoader, EmptyFileLeavesEverySlotZero) {
  EXPECT_EQ(load(""), TuningSlots{});
  EXPECT_EQ(load(" \n\t\r\n"), TuningSlots{});
}

TEST(TuningLoader, ValuesKeepTheirLow16Bits) {
  struct Case {
    const char* text;
    int16_t slot0;
  };
  const Case cases[] = {
      {"mask 1", 1},          {"mask 65537", 1},     {"mask -1", -1},
      {"mask 40000", -25536}, {"mask 65536", 0},     {"mask +7", 7},
      {"mask -32768", -32768}, {"mask 2147483648", 0}, {"mask 99999999999999999999999", -1},
      {"mask -99999999999999999999999", 1}, {"mask 000000000000000000000000000012", 12},
  };
  for (const Case& c : cases) {
    TuningSlots expect{};
    expect[0] = c.slot0;
    EXPECT_EQ(load(c.text), expect) << c.text;
  }
}

TEST(TuningLoader, ReadsATokenStreamNotLines) {
  const TuningSlots slots = load("a 1 b 2\nc\n3\r\nd\t\v\f4");
  EXPECT_EQ(slots[0], 1);
  EXPECT_EQ(slots[1], 2);
  EXPECT_EQ(slots[2], 3);
  EXPECT_EQ(slots[3], 4);
  EXPECT_EQ(slots[4], 0);
}

TEST(TuningLoader, AWordAsValueShiftsTheRestByOneSlot) {
  // Slot 1's value is a word: slots 1 and 2 stay 0 and 100 lands in slot 3.
  const TuningSlots slots = load("s0 5\ns1 loud\ns2 100\ns3 6\n");
  EXPECT_EQ(slots[0], 5);
  EXPECT_EQ(slots[1], 0);
  EXPECT_EQ(slots[2], 0);
  EXPECT_EQ(slots[3], 100);
  EXPECT_EQ(slots[4], 6);  // from here on every value lands one slot later
}

TEST(TuningLoader, DigitsFollowedByLettersSplitIntoValueAndNextName) {
  const TuningSlots slots = load("a 12abc 5 b 0x10 c 9");
  EXPECT_EQ(slots[0], 12);
  EXPECT_EQ(slots[1], 5);    // name "abc"
  EXPECT_EQ(slots[2], 0);    // "0x10" reads as 0; "x10" is the next name
  EXPECT_EQ(slots[3], 0);    // name "x10", and "c" is no value
  EXPECT_EQ(slots[4], 9);    // name "c", value 9
}

TEST(TuningLoader, ASignWithoutDigitsIsConsumedAndFails) {
  // "-" is consumed, the read fails and "5" becomes the next read's name.
  const TuningSlots slots = load("a - 5 7 b 9");
  EXPECT_EQ(slots[0], 0);
  EXPECT_EQ(slots[1], 7);
  EXPECT_EQ(slots[2], 9);
  const TuningSlots plus = load("a +x 3");
  EXPECT_EQ(plus[0], 0);  // "+" consumed; "x" is the next name
  EXPECT_EQ(plus[1], 3);
}

TEST(TuningLoader, StopsAtTheEndOfTheFileAndAfter85Pairs) {
  const TuningSlots partial = load("a 1 b");  // ends inside the second pair
  EXPECT_EQ(partial[0], 1);
  EXPECT_EQ(partial[1], 0);

  std::string many;
  for (int i = 0; i < 100; ++i) many += "slot_" + std::to_string(i) + " " + std::to_string(i + 1) + "\n";
  const TuningSlots slots = load(many);
  for (int i = 0; i < TUNING_SLOT_COUNT; ++i) EXPECT_EQ(slots[i], i + 1);
}

TEST(TuningLoader, NamesOfAnyLengthAndAnyBytes) {
  std::string text = std::string(3'000'000, 'n') + " 42 ";
  text += std::string("\x01\x80\xff", 3) + std::string(1, '\0') + "z 43";
  const TuningSlots slots = load(text);
  EXPECT_EQ(slots[0], 42);
  EXPECT_EQ(slots[1], 43);
}

TEST(TuningLoader, ByteOrderMarkIsPartOfTheFirstName) {
  const TuningSlots slots = load("\xef\xbb\xbfmask 9\r\nhp 100\r\n");
  EXPECT_EQ(slots[0], 9);
  EXPECT_EQ(slots[1], 100);
}

}  // namespace
}  // namespace halvern
