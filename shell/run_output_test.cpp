#include "shell/run_output.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "shell/conversion_log.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"

namespace tarnwick::shell {
namespace {

using testing::readText;
using testing::TempDir;

constexpr size_t kHeld = platform::TextSpool::kHeldBytes;

// Results text long enough to go to the work file, with a "\r\n" cut by the
// boundary between two pieces and a lone "\r" that stays.
std::string longResults() {
  std::string text(kHeld - 1, 'a');
  text += "\r\n";
  for (int i = 0; text.size() < 2 * kHeld + 100; ++i) text += "f" + std::to_string(i) + "\r\n";
  return text + "lone\rend\r\n";
}

std::string withoutCarriageReturns(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
  return out;
}

// The log entry, the printed results and the errors are what the same text
// held in memory gives, also after the work folder is gone.
TEST(RunOutput, LongTextsComeOutAsIfHeldWhole) {
  TempDir dir;
  const std::string results = longResults(), errors(3 * kHeld, 'e');
  RunOutput output(dir.path(), false);
  for (size_t at = 0; at < results.size(); at += 1000) output.addResults(results.substr(at, 1000));
  output.addErrors(errors);
  std::filesystem::remove_all(dir.path());
  std::ostringstream out, err;
  EXPECT_TRUE(output.writeResults(out));
  EXPECT_TRUE(output.writeErrors(err));
  EXPECT_EQ(withoutCarriageReturns(results), out.str());
  EXPECT_EQ(errors, err.str());
  TempDir logDir;
  ASSERT_EQ(0, output.appendToLog(logDir.file("log.txt"), true));
  ASSERT_EQ(0, appendLog(logDir.file("whole.txt"), results, true));
  const std::string log = readText(logDir.file("log.txt"));
  const std::string whole = readText(logDir.file("whole.txt"));
  ASSERT_EQ(whole.size(), log.size());
  EXPECT_TRUE(whole.substr(20) == log.substr(20)) << "the entries differ after the stamp";
  EXPECT_EQ(0, output.readError());
}

// Report lines kept as the records come, then a summary over all of them:
// the same bytes as the report of a job holding its records.
TEST(RunOutput, ReportMatchesTheOneOfKeptRecords) {
  TempDir dir;
  BatchJob job;
  job.source = "in";
  job.save = "out";
  RunOutput output(dir.path(), true);
  for (int i = 0; i < 2000; ++i) {
    FileRecord r;
    r.source = "in/f" + std::to_string(i) + ".g3";
    r.destinations = {"out/f" + std::to_string(i) + ".tif"};
    r.handling = i % 7 == 0 ? FileRecord::kAlreadyTiff : FileRecord::kConverterRan;
    r.result = i % 5 == 0 ? -5 : 0;
    r.pages = i % 3;
    r.bytesRead = uint64_t(i) * 100;
    output.addRecord(r);
    job.records.push_back(r);
  }
  std::ostringstream streamed, kept;
  ASSERT_TRUE(output.writeReport(streamed, job, 9));
  ASSERT_TRUE(writeJsonReport(kept, job, 9));
  EXPECT_GT(streamed.str().size(), 2 * kHeld);
  EXPECT_TRUE(kept.str() == streamed.str());
}

}  // namespace
}  // namespace tarnwick::shell
