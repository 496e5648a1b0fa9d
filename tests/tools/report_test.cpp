// halvern report as a user runs it: what it says about the input on the console and in the
// page's notes.

#include <nlohmann/json.hpp>

#include "tests/tools/tool_test.h"

namespace {

using namespace halvern::testing;

class Report : public ToolTest {};

// Odd bytes and a partial frame: each note once on the console and once in the page, each naming
// the file once.
TEST_F(Report, NotesNameTheFileOnceOnTheConsoleAndInThePage) {
  write_file(path("in.pcm"), speech_.substr(0, 2 * (320 * 50 + 123)) + "\x01");
  write_file(path("t.txt"), tuning_with({}));
  const Result r = halvern("report in.pcm t.txt -o page.html");
  if (r.status == 2 && r.err.find("built without the report page") != std::string::npos) {
    GTEST_SKIP() << r.err;
  }
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> notes = {
      "in.pcm: the last byte is half a sample and was ignored",
      "in.pcm: the last 123 samples (a partial frame) were dropped, as halvern-sim does; --pad "
      "keeps them"};
  for (const std::string& note : notes) {
    EXPECT_NE(r.err.find("note: " + note + "\n"), std::string::npos) << r.err;
  }
  const std::string page = read_file(path("page.html"));
  const std::string open = "<script type=\"application/json\" id=\"halvern-data\">";
  const size_t from = page.find(open);
  ASSERT_NE(from, std::string::npos);
  const size_t start = from + open.size();
  const size_t end = page.find("</script>", start);
  const auto data = nlohmann::json::parse(page.substr(start, end - start));
  EXPECT_EQ(data["notes"].get<std::vector<std::string>>(), notes);
}

}  // namespace
