// The CSV reader against hand-written files: quoting, line numbers, errors; and the writer read
// back by the reader.
#include "tools/io/csv.h"

#include <gtest/gtest.h>

namespace halvern::tools {
namespace {

TEST(Csv, QuotesLineBreaksBlankLinesAndLineNumbers) {
  const CsvTable t = csv_parse(
      "\xEF\xBB\xBFinput, tuning ,output\r\n\n\"a,b.wav\",t.txt,\"say \"\"hi\"\"\n.wav\"\nx,y,z");
  ASSERT_TRUE(t.error.empty()) << t.error;
  ASSERT_EQ(t.records.size(), 3u);
  EXPECT_EQ(t.records[0].fields, (std::vector<std::string>{"input", "tuning", "output"}));
  EXPECT_EQ(t.records[1].line, 3);
  EXPECT_EQ(t.records[1].fields,
            (std::vector<std::string>{"a,b.wav", "t.txt", "say \"hi\"\n.wav"}));
  EXPECT_EQ(t.records[2].line, 5);  // the quoted line break counts
  EXPECT_EQ(t.records[2].fields, (std::vector<std::string>{"x", "y", "z"}));
}

TEST(Csv, UnclosedQuoteNamesItsLine) {
  const CsvTable t = csv_parse("a,b\n\"open,c\n");
  EXPECT_FALSE(t.error.empty());
  EXPECT_EQ(t.error_line, 2);
}

TEST(Csv, WrittenLinesReadBackTheSameFields) {
  const std::vector<std::string> fields = {"plain", "", " blank ", "a,b", "q\"q", "two\nlines"};
  const CsvTable t = csv_parse(csv_line(fields) + csv_line({"x"}));
  ASSERT_TRUE(t.error.empty()) << t.error;
  ASSERT_EQ(t.records.size(), 2u);
  EXPECT_EQ(t.records[0].fields, fields);
  EXPECT_EQ(t.records[1].line, 3);
}

}  // namespace
}  // namespace halvern::tools
