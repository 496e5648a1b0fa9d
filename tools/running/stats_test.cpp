#include "tools/running/stats.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace halvern::tools {
namespace {

// The three rows of the summary's band table, each with the offsets where its cells end.
struct BandRow {
  std::vector<int64_t> figures;
  std::vector<size_t> ends;
};

std::vector<BandRow> band_rows(const std::string& summary) {
  std::vector<BandRow> rows;
  std::istringstream lines(summary);
  for (std::string line; std::getline(lines, line);) {
    for (const char* label : {"  band ", "  marked frames ", "  longest run "}) {
      if (!line.starts_with(label)) continue;
      BandRow row;
      for (size_t i = std::string(label).size(); i < line.size(); ++i) {
        if (line[i] == ' ') continue;
        const size_t end = line.find(' ', i);
        row.figures.push_back(std::stoll(line.substr(i, end - i)));
        i = end == std::string::npos ? line.size() : end;
        row.ends.push_back(i);
      }
      rows.push_back(row);
    }
  }
  return rows;
}

// The figures of a long run (600 s, 30,000 frames) read back from the table, each column lined
// up; a short run keeps the table as it always was.
TEST(StatsSummary, BandTableColumnsHoldTheirWidestFigure) {
  RunStats stats;
  stats.suppressor.enabled = true;
  stats.suppressor.marks = {0, 15891, 15891, 16191, 15751, 14436, 1000,
                            3, 29999, 0,     12,    30000, 7,     100000};
  stats.suppressor.longest_run = {0, 15891, 2, 16191, 9,      14436, 1000,
                                  3, 29999, 0, 12,    123456, 7,     1};
  const std::vector<BandRow> rows = band_rows(stats_summary(stats));
  ASSERT_EQ(rows.size(), 3u);
  for (const BandRow& row : rows) ASSERT_EQ(row.figures.size(), 14u);
  for (int b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) {
    const auto k = static_cast<size_t>(b);
    EXPECT_EQ(rows[0].figures[k], b);
    EXPECT_EQ(rows[1].figures[k], stats.suppressor.marks[k]);
    EXPECT_EQ(rows[2].figures[k], stats.suppressor.longest_run[k]);
    EXPECT_EQ(rows[0].ends[k], rows[1].ends[k]) << b;
    EXPECT_EQ(rows[0].ends[k], rows[2].ends[k]) << b;
  }

  stats.suppressor.marks = {0, 1, 22, 333, 4444, 0, 0, 0, 0, 0, 0, 0, 0, 9};
  stats.suppressor.longest_run = {};
  const std::string summary = stats_summary(stats);
  EXPECT_NE(summary.find("\n  marked frames     0    1   22  333 4444    0    0    0    0    0    0"
                         "    0    0    9\n"),
            std::string::npos)
      << summary;
}

}  // namespace
}  // namespace halvern::tools
