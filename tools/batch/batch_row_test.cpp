// Summary rows: a row's cells read back to the same row, the summary written row by row equal to
// the whole table written at once, and a journal cut short by a kill resumed from its whole rows.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tools/batch/batch_summary.h"
#include "tools/batch/row_journal.h"

namespace halvern::tools {
namespace {

namespace fs = std::filesystem;

// A row of every kind of cell: text with a comma, a quote and a line break, statistics, a
// comparison, findings.
BatchRow sample_row(int job, bool with_compare) {
  BatchRow row;
  row.job = job;
  row.name = "take \"two\", left";
  row.input = "in/a b.wav";
  row.tuning = "t.txt";
  row.output = "out/o" + std::to_string(job) + ".wav";
  row.status = job % 2 == 0 ? BatchRow::FAILED : BatchRow::OK;
  row.error = job % 2 == 0 ? "in/a b.wav: no such file\nsecond line" : "";
  RunStats stats;
  stats.positions[0].enabled = true;
  stats.samples = 320 * (40 + job);
  if (job % 2 != 0) row.stats = stats_cells(stats);
  if (with_compare) row.comparison = RowComparison{"ref/o.wav", "different", "17", "3", "120", ""};
  row.tuning_findings = "1 warning";
  return row;
}

TEST(BatchRow, CellsReadBackToTheSameRowUnderTheSummarysColumns) {
  for (const bool with_compare : {false, true}) {
    for (const int job : {1, 2}) {
      const BatchRow row = sample_row(job, with_compare);
      const std::vector<std::string> cells = row.cells();
      ASSERT_EQ(cells.size(), summary_columns(with_compare).size());
      EXPECT_EQ(BatchRow::from_cells(cells, with_compare).cells(), cells);
      EXPECT_EQ(BatchRow::from_cells(cells, with_compare).failed(), job == 2);
    }
  }
  std::vector<std::string> cells = sample_row(1, false).cells();
  EXPECT_THROW(BatchRow::from_cells(cells, true), ToolError);
  cells[0] = "1x";
  EXPECT_THROW(BatchRow::from_cells(cells, false), ToolError);
}

TEST(BatchRow, SummaryWrittenRowByRowIsTheWholeTablesFile) {
  for (const bool json : {false, true}) {
    for (const ShardFacts& shard : {ShardFacts{}, ShardFacts{2, 3, 7, "00ff00ff00ff00ff"}}) {
      for (const size_t count : {0, 1, 3}) {
        SummaryTable table{summary_columns(true), {}, shard};
        for (size_t i = 0; i < count; ++i) {
          table.rows.push_back(sample_row(static_cast<int>(i) + 1, true).cells());
        }
        std::string streamed;
        SummaryWriter writer(table.columns, shard, json,
                             [&](std::string_view piece) { streamed += piece; });
        for (const auto& row : table.rows) writer.add(row);
        writer.finish();
        EXPECT_EQ(streamed, json ? summary_json(table).dump(2) + "\n" : summary_csv(table))
            << json << " " << count;
      }
    }
  }
}

TEST(RowJournal, ResumesFromTheWholeRowsOfAJournalCutShort) {
  const fs::path dir = fs::temp_directory_path() / ("halvern_journal_" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string summary = (dir / "s.csv").string();
  const std::vector<std::string> columns = summary_columns(false);
  const RowJournal::Resumable by_output = [](const std::vector<std::string>&,
                                             std::vector<std::string>* cells) {
    return std::optional<std::string>(BatchRow::from_cells(*cells, false).output);
  };
  {
    RowJournal journal(summary, 3);
    journal.start(columns, summary, {});
    journal.add(2, sample_row(3, false).cells());
    journal.add(0, sample_row(1, false).cells());
    journal.add(1, sample_row(2, false).cells());
    std::vector<int> order;
    journal.each_in_order([&](const auto& cells) { order.push_back(std::stoi(cells[0])); });
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  }  // killed: the journal stays; cut inside its last row
  const std::string path = RowJournal::path_for(summary);
  fs::resize_file(path, fs::file_size(path) - 5);
  RowJournal resumed(summary, 3);
  resumed.start(columns, summary, by_output);
  EXPECT_EQ(resumed.previous("out/o3.wav")->at(0), "3");
  EXPECT_EQ(resumed.previous("out/o1.wav"), sample_row(1, false).cells());
  EXPECT_FALSE(resumed.previous("out/o2.wav"));
  resumed.remove();
  EXPECT_FALSE(fs::exists(path));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace halvern::tools
