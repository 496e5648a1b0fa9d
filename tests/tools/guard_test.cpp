// What keeps a user from a wrong answer or a mess, as a user meets it: a trace folder that holds
// one run only, a broken tuning refused before any processing, no temporary file left by Ctrl-C
// or SIGTERM, and messages that name the file and the fix.

#include <string>

#include <nlohmann/json.hpp>

#include "tests/tools/tool_test.h"

namespace {

using namespace halvern::testing;
using Json = nlohmann::json;

class Guard : public ToolTest {
 protected:
  void SetUp() override {
    ToolTest::SetUp();
    write_file(path("in.pcm"), speech_);
    write_file(path("t.txt"), tuning_with({}));
  }

  // The hidden temporary files (".<name>.partial-XXXXXX") anywhere under the test's folder.
  std::vector<std::string> partial_files() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
      if (entry.path().filename().string().find(".partial-") != std::string::npos) {
        found.push_back(entry.path().string());
      }
    }
    return found;
  }

  // Starts command in the background, sends it signal once a temporary file exists, and gives
  // its exit status and standard error.
  Result interrupted(const std::string& command, const char* signal) const {
    // A shell starts background programs with SIGINT ignored: env gives it back its default.
    std::string script = "env --default-signal=INT '";
    script += HALVERN;
    script += "' " + command + " 2>err.txt & p=$!; ";
    script += "until ! kill -0 $p 2>/dev/null || ls -a . out 2>/dev/null | grep -q partial-; ";
    script += "do sleep 0.01; done; kill -";
    script += signal;
    script += " $p; wait $p; echo $? >status.txt";
    write_file(path("interrupt.sh"), script + "\n");
    run_program("/bin/sh", "interrupt.sh");
    return {std::stoi(read_file(path("status.txt"))), "", read_file(path("err.txt"))};
  }
};

TEST_F(Guard, TraceFolderHoldsOneRunAndCompareRefusesMixedOrIncompleteOnes) {
  // A reference trace with the high-pass changed; then a raw trace, replaced by a FLAC one.
  write_file(path("hp.txt"), tuning_with({{1, 200}}));
  ASSERT_EQ(halvern("run -q in.pcm a.pcm hp.txt --trace ref").status, 0);
  ASSERT_EQ(halvern("run -q in.pcm o.pcm t.txt --trace tr").status, 0);
  const Result flac = halvern("run -q in.pcm o.flac t.txt --trace tr");
  ASSERT_EQ(flac.status, 0) << flac.err;
  EXPECT_FALSE(fs::exists(path("tr/1_highpass.pcm")));
  const Json index = Json::parse(read_file(path("tr/trace.json")));
  EXPECT_EQ(index["extension"], ".flac");
  EXPECT_EQ(index["frames"], speech_.size() / 2 / 320);
  EXPECT_EQ(index["positions"][1]["file"], "1_highpass.flac");

  // The traces part at the high-pass, the stage that differs.
  const Result part = halvern("compare --trace-a ref --trace-b tr --json");
  ASSERT_EQ(part.status, 1) << part.err;
  EXPECT_EQ(Json::parse(part.out)["part"]["position"], 1);

  // A stale file of another run, or a missing index, is refused with a message.
  fs::copy_file(path("ref/2_dynamics.pcm"), path("tr/2_dynamics.pcm"));
  const Result mixed = halvern("compare --trace-a ref --trace-b tr");
  EXPECT_EQ(mixed.status, 2);
  EXPECT_NE(mixed.err.find("2_dynamics.pcm"), std::string::npos) << mixed.err;
  fs::remove(path("tr/trace.json"));
  const Result incomplete = halvern("compare --trace-a ref --trace-b tr");
  EXPECT_EQ(incomplete.status, 2);
  EXPECT_NE(incomplete.err.find("trace.json"), std::string::npos) << incomplete.err;

  // A folder holding anything else is refused and left as it was.
  fs::create_directory(path("notes"));
  write_file(path("notes/notes.txt"), "mine");
  const Result foreign = halvern("run -q in.pcm o.pcm t.txt --trace notes");
  EXPECT_EQ(foreign.status, 2);
  EXPECT_NE(foreign.err.find("notes.txt"), std::string::npos) << foreign.err;
  EXPECT_EQ(std::distance(fs::directory_iterator(path("notes")), fs::directory_iterator()), 1);
}

TEST_F(Guard, BrokenTuningIsRefusedUnlessAllowed) {
  // A word for a number: the later values shift by one slot.
  std::string broken = tuning_with({});
  const size_t second = broken.find('\n') + 1;
  const size_t value = broken.find(' ', second) + 1;
  broken.replace(value, broken.find('\n', value) - value, "twelve");
  write_file(path("broken.txt"), broken);

  const Result run = halvern("run in.pcm out.pcm broken.txt");
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("broken.txt:"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("--allow-tuning-errors"), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(path("out.pcm")));
  // A recording given as the tuning is no tuning either.
  EXPECT_EQ(halvern("run in.pcm out.pcm in.pcm").status, 2);
  // Allowed, the run is halvern-sim's.
  const Result allowed = halvern("run -q in.pcm out.pcm broken.txt --allow-tuning-errors");
  EXPECT_EQ(allowed.status, 0) << allowed.err;
  EXPECT_EQ(read_file(path("out.pcm")), sim(speech_, broken));

  // report too; allowed, its page lists the errors.
  EXPECT_EQ(halvern("report -q in.pcm broken.txt -o r.html").status, 2);
  EXPECT_FALSE(fs::exists(path("r.html")));
  const Result page = halvern("report -q in.pcm broken.txt -o r.html --allow-tuning-errors");
  if (page.err.find("built without the report page") == std::string::npos) {
    EXPECT_EQ(page.status, 0) << page.err;
    EXPECT_NE(read_file(path("r.html")).find("'twelve' is not a number"), std::string::npos);
  }

  // loop and studio judge it the same way, and say how to go on.
  const Result loop = halvern("loop in.pcm broken.txt --room rt60=0.3 --mic m.wav");
  EXPECT_EQ(loop.status, 2);
  EXPECT_NE(loop.err.find("broken.txt:"), std::string::npos) << loop.err;
  EXPECT_FALSE(fs::exists(path("m.wav")));
  const Result studio = halvern("studio in.pcm broken.txt --port 0");
  if (studio.err.find("built without the studio page") == std::string::npos) {
    EXPECT_EQ(studio.status, 2);
    EXPECT_NE(studio.err.find("--allow-tuning-errors"), std::string::npos) << studio.err;
  }
  for (const char* command : {"loop", "studio"}) {
    const Result help = halvern(std::string(command) + " --help");
    EXPECT_NE(help.out.find("--allow-tuning-errors"), std::string::npos) << help.out;
    EXPECT_EQ(help.out.find("TEXT"), std::string::npos) << help.out;
  }

  // batch refuses before any job, and with the errors allowed carries the findings last.
  write_file(path("jobs.csv"),
             "input,tuning,output\nin.pcm,t.txt,good.pcm\nin.pcm,broken.txt,bad.pcm\n");
  EXPECT_EQ(halvern("batch jobs.csv -o s.csv").status, 2);
  EXPECT_FALSE(fs::exists(path("good.pcm")));
  ASSERT_EQ(halvern("batch jobs.csv -o s.csv --allow-tuning-errors").status, 0);
  std::istringstream summary(read_file(path("s.csv")));
  std::string header, good, bad;
  std::getline(summary, header);
  std::getline(summary, good);
  std::getline(summary, bad);
  EXPECT_EQ(header.rfind("job,name,input,tuning,output,status,error,", 0), 0u) << header;
  EXPECT_TRUE(header.ends_with(",tuning_findings")) << header;
  EXPECT_TRUE(good.ends_with(",ok")) << good;
  EXPECT_NE(bad.find(",\"2 errors, "), std::string::npos) << bad;
}

TEST_F(Guard, InterruptedRunAndBatchLeaveNoTemporaryFile) {
  // Ten minutes of speech with a trace and statistics: long enough to be stopped while writing.
  std::string ten_minutes;
  for (int i = 0; i < 100; ++i) ten_minutes += speech_;
  write_file(path("long.pcm"), ten_minutes);
  const Result run = interrupted("run long.pcm out.flac t.txt --trace tr --stats s.json", "TERM");
  EXPECT_EQ(run.status, 143) << run.err;
  EXPECT_EQ(partial_files(), std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(path("out.flac")));

  write_file(path("jobs.csv"),
             "input,tuning,output\nlong.pcm,t.txt,out/a.flac\n"
             "long.pcm,t.txt,out/b.flac\n");
  const Result batch = interrupted("batch jobs.csv -j 1 -o s.csv", "INT");
  EXPECT_EQ(batch.status, 130) << batch.err;
  EXPECT_NE(batch.err.find("--resume"), std::string::npos) << batch.err;
  EXPECT_EQ(partial_files(), std::vector<std::string>{});

  // The loop's recordings too.
  const Result loop = interrupted(
      "loop long.pcm t.txt --room rt60=0.3 --gain -20 --mic m.wav "
      "--speaker s.flac",
      "TERM");
  EXPECT_EQ(loop.status, 143) << loop.err;
  EXPECT_EQ(partial_files(), std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(path("m.wav")));
}

TEST_F(Guard, MessagesNameTheFileAndTheFix) {
  // The command fails with status 2 and a message holding words.
  const auto says = [this](const std::string& args, const std::string& words) {
    const Result r = halvern(args);
    EXPECT_EQ(r.status, 2) << args << "\n" << r.err;
    EXPECT_NE(r.err.find(words), std::string::npos) << args << "\n" << r.err;
  };
  says("run in.pcm o.pcm t.txt --channel 0", "numbered from 1");
  says("compare in.pcm in.pcm --channel 0", "numbered from 1");
  says("frobnicate",
       "unknown subcommand 'frobnicate'; the subcommands are check, explain, run, "
       "report, compare, batch, loop, studio");
  says("run in.pcm t.txt new.wav", "run in.pcm new.wav t.txt");
  says("run nothere.wav o.wav t.txt", "nothere.wav: there is no such file");
  fs::create_directory(path("folder.wav"));
  says("run folder.wav o.wav t.txt", "folder.wav: it is a folder");
  says("run in.pcm o.xyz t.txt", ".ogg");
  says("run in.pcm o.pcm t.txt --stages ''", "--stages is empty");
  says("run in.pcm o.pcm t.txt --stages none,hp", "cannot be combined");
  // Every output path is checked before the run: nothing is written.
  says("run in.pcm o.pcm t.txt --stats nodir/s.json", "nodir");
  EXPECT_FALSE(fs::exists(path("o.pcm")));
  // The help says things in the toolkit's words.
  const Result help = halvern("report --help");
  EXPECT_NE(help.out.find("- for raw on standard input"), std::string::npos);
  EXPECT_EQ(help.out.find("TEXT"), std::string::npos) << help.out;
  EXPECT_EQ(halvern("compare --help").out.find("engine"), std::string::npos);
}

}  // namespace
