#include "tuning/tuning.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

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
      {"mask 1", 1},
      {"mask 65537", 1},
      {"mask -1", -1},
      {"mask 40000", -25536},
      {"mask 65536", 0},
      {"mask +7", 7},
      {"mask -32768", -32768},
      {"mask 2147483648", 0},
      {"mask 99999999999999999999999", -1},
      {"mask -99999999999999999999999", 1},
      {"mask 000000000000000000000000000012", 12},
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
  EXPECT_EQ(slots[1], 5);  // name "abc"
  EXPECT_EQ(slots[2], 0);  // "0x10" reads as 0; "x10" is the next name
  EXPECT_EQ(slots[3], 0);  // name "x10", and "c" is no value
  EXPECT_EQ(slots[4], 9);  // name "c", value 9
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
  for (int i = 0; i < 100; ++i)
    many += "slot_" + std::to_string(i) + " " + std::to_string(i + 1) + "\n";
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

// Keeps what the listener is told.
struct Heard : TuningListener {
  struct Pair {
    TuningPairRead read;
    std::string name;
    std::string value;
  };
  std::vector<Pair> pairs;
  TuningLoadEnd end;
  void on_pair(const TuningPairRead& p) override {
    pairs.push_back({p, std::string(p.name_text), std::string(p.value_text)});
  }
  void on_end(const TuningLoadEnd& e) override { end = e; }
};

Heard load_heard(const std::string& bytes, TuningSlots* slots) {
  std::FILE* f = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  Heard heard;
  EXPECT_TRUE(tuning_load(f, slots, &heard));
  std::fclose(f);
  return heard;
}

TEST(TuningListener, GivesTheSameSlotsAsThePlainLoader) {
  std::mt19937 rng(12);
  const std::string alphabet = "0123456789+-ab \n\t\r.";
  for (int trial = 0; trial < 2000; ++trial) {
    std::string bytes;
    const int n = static_cast<int>(rng() % 400);
    for (int i = 0; i < n; ++i) {
      bytes.push_back(trial % 4 == 0 ? static_cast<char>(rng())
                                     : alphabet[rng() % alphabet.size()]);
    }
    TuningSlots heard_slots;
    const Heard heard = load_heard(bytes, &heard_slots);
    ASSERT_EQ(heard_slots, load(bytes)) << bytes;
    ASSERT_EQ(heard.end.pairs, static_cast<int>(heard.pairs.size()));
    for (const auto& p : heard.pairs) {
      // Every position is the one of the byte it names, counted again here from the bytes.
      ASSERT_EQ(p.read.slot_value, heard_slots[static_cast<size_t>(p.read.slot)]);
      const auto offset = static_cast<size_t>(p.read.name.offset);
      ASSERT_EQ(bytes.substr(offset, p.name.size()), p.name);
      const size_t line_start = offset == 0 ? std::string::npos : bytes.rfind('\n', offset - 1);
      const int64_t column =
          static_cast<int64_t>(offset - (line_start == std::string::npos ? 0 : line_start + 1)) + 1;
      ASSERT_EQ(p.read.name.column, column);
      ASSERT_EQ(p.read.name.line,
                1 + std::count(bytes.begin(), bytes.begin() + static_cast<long>(offset), '\n'));
      if (p.read.value_read == TuningValueRead::kNumber) {
        ASSERT_EQ(bytes.substr(static_cast<size_t>(p.read.value.offset), p.value.size()), p.value);
      }
    }
  }
}

TEST(TuningListener, ReportsPositionsWordsAndValues) {
  TuningSlots slots;
  const Heard h = load_heard("a 1\n  bb -22x\nc 99999999999999999999999 d", &slots);
  ASSERT_EQ(h.pairs.size(), 5u);
  EXPECT_EQ(h.pairs[0].read.value.line, 1);
  EXPECT_EQ(h.pairs[0].read.value.column, 3);
  EXPECT_EQ(h.pairs[0].read.value.word, 1);
  EXPECT_EQ(h.pairs[1].name, "bb");
  EXPECT_EQ(h.pairs[1].read.name.line, 2);
  EXPECT_EQ(h.pairs[1].read.name.column, 3);
  EXPECT_EQ(h.pairs[1].read.name.word, 2);
  EXPECT_EQ(h.pairs[1].value, "-22");
  EXPECT_EQ(h.pairs[1].read.exact, -22);
  EXPECT_EQ(h.pairs[1].read.value_end, 12);
  // "x" is glued to the digits: the next name, in the same word.
  EXPECT_EQ(h.pairs[2].name, "x");
  EXPECT_EQ(h.pairs[2].read.name.offset, 12);
  EXPECT_EQ(h.pairs[2].read.name.word, 3);
  EXPECT_EQ(h.pairs[2].read.value_read, TuningValueRead::kNotANumber);
  EXPECT_EQ(h.pairs[2].read.value.line, 3);
  EXPECT_EQ(h.pairs[3].read.value_read, TuningValueRead::kNumber);
  EXPECT_FALSE(h.pairs[3].read.exact_known);
  EXPECT_EQ(h.pairs[3].read.digits, 23);
  EXPECT_EQ(h.pairs[3].read.slot_value, -1);
  EXPECT_EQ(h.pairs[4].read.value_read, TuningValueRead::kEndOfFile);
  EXPECT_EQ(h.end.pairs, 5);
  EXPECT_FALSE(h.end.more_after);

  std::string many;
  for (int i = 0; i < 86; ++i) many += "s " + std::to_string(i) + "\n";
  const Heard full = load_heard(many + "tail", &slots);
  EXPECT_EQ(full.end.pairs, TUNING_SLOT_COUNT);
  EXPECT_TRUE(full.end.more_after);
  EXPECT_EQ(full.end.next.line, 86);
  const Heard cut = load_heard("a -", &slots);
  EXPECT_EQ(cut.pairs[0].read.value_read, TuningValueRead::kNotANumber);  // the sign is consumed
  const Heard ended = load_heard("a ", &slots);
  EXPECT_EQ(ended.pairs[0].read.value_read, TuningValueRead::kEndOfFile);
}

}  // namespace
}  // namespace halvern
