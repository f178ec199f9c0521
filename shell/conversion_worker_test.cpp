#include "shell/conversion_worker.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"

namespace tarnwick::shell {
namespace {

using testing::Ccitt;
using testing::TempDir;

TEST(SourceText, FileModeSplitsFolderAndNames) {
  const struct {
    const char* text;
    bool fileMode;
    const char* folder;
    std::vector<std::string> files;
  } cases[] = {
      {"/in/a b", false, "/in/a b", {}},
      {"/in/a.g3", true, "/in", {"a.g3"}},
      {"/in a.g3 b.fxs", true, "/in", {"a.g3", "b.fxs"}},
      {"/in  a.g3 ", true, "/in", {"a.g3"}},
      {"\"/My Faxes\" \"a b.g3\" c.g3", true, "/My Faxes", {"a b.g3", "c.g3"}},
      {"\"/My Faxes/a b.g3\"", true, "/My Faxes", {"a b.g3"}},
      {"\"/open", true, "", {"open"}},
      {"a.g3", true, "", {"a.g3"}},
      {"", true, "", {}},
  };
  for (const auto& c : cases) {
    const SourceSelection s = parseSourceText(c.text, c.fileMode);
    EXPECT_EQ(c.folder, s.folder) << c.text;
    EXPECT_EQ(c.files, s.files) << c.text;
  }
  for (const std::vector<std::string>& picked :
       {std::vector<std::string>{"/My Faxes/a b.g3"},
        std::vector<std::string>{"/My Faxes/a b.g3", "/My Faxes/c.g3"}}) {
    const SourceSelection s = parseSourceText(sourceTextForFiles(picked), true);
    EXPECT_EQ("/My Faxes", s.folder);
    EXPECT_EQ(picked.size(), s.files.size());
  }
}

// A source folder holding one TIFF, one fax and one file that is no fax.
class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    page_ = testing::makeTextPage(1728, 200, 7);
    ASSERT_TRUE(testing::writeTiff(in("a.tif"), {testing::tiffPage(page_, Ccitt::kT6)}));
    ASSERT_TRUE(testing::writeTiff(in("b.fmf"), {testing::tiffPage(page_, Ccitt::kT4OneD)}));
    ASSERT_TRUE(testing::writeFileBytes(in("c.fxs"), std::vector<uint8_t>(300, 0x5A)));
    job_.save = dir_.file("out");
    setup_.sourceText = dir_.file("in");
    setup_.logPath = dir_.file("log/qrvlog.txt");
    setup_.workPrefix = dir_.file("work-");
  }
  std::string in(const std::string& name) {
    std::filesystem::create_directories(dir_.file("in"));
    return dir_.file("in/" + name);
  }
  int run() {
    reports_.clear();
    return conversionWorker(job_, setup_, options_, stop_,
                            [this](const WorkerReport& r) { reports_.push_back(r); });
  }
  std::vector<std::string> results() const {
    std::vector<std::string> out;
    for (const WorkerReport& r : reports_)
      if (r.event == WorkerReport::kFileDone) out.push_back(r.text);
    return out;
  }

  TempDir dir_;
  testing::Bitmap page_;
  BatchJob job_;
  WorkerSetup setup_;
  SharedOptions options_;
  std::atomic<bool> stop_{false};
  std::vector<WorkerReport> reports_;
};

TEST_F(WorkerTest, FolderRunReportsEachFileAndLogsTheRun) {
  EXPECT_EQ(1, run());
  ASSERT_EQ(8u, reports_.size());
  EXPECT_EQ(WorkerReport::kListed, reports_[0].event);
  EXPECT_EQ(3, reports_[0].count);
  EXPECT_EQ("Doing: " + in("b.fmf"), reports_[3].text);
  EXPECT_EQ(1, reports_[3].index);
  EXPECT_EQ((std::vector<std::string>{kResultNoConversion, kResultConverted, kResultNotFax}),
            results());
  EXPECT_EQ(dir_.file("out/b.tif"), reports_[4].destination);
  EXPECT_EQ("", reports_[6].destination);
  EXPECT_EQ("Done. 1 FAX files converted", reports_.back().text);
  EXPECT_FALSE(reports_.back().stopped);
  const std::vector<testing::Bitmap> pages = testing::readTiffPages(dir_.file("out/b.tif"));
  ASSERT_EQ(1u, pages.size());
  EXPECT_TRUE(pages[0] == page_);
  const std::string log = testing::readText(setup_.logPath);
  EXPECT_NE(std::string::npos,
            log.find("Tarnwick in GUI mode : convert folder\r\nSource Folder: " + dir_.file("in") +
                     "\r\nDestination Folder: " + dir_.file("out") + "\r\n"));
}

TEST_F(WorkerTest, SkipExistingAndFileModeAndTheStopRequest) {
  ASSERT_EQ(1, run());
  job_.skipExisting = 1;
  EXPECT_EQ(0, run());
  EXPECT_EQ(kResultSkipped, results()[1]);

  job_.skipExisting = 0;
  setup_.fileMode = true;
  setup_.sourceText = sourceTextForFiles({in("c.fxs"), in("b.fmf")});
  EXPECT_EQ(1, run());
  EXPECT_EQ((std::vector<std::string>{kResultNotFax, kResultConverted}), results());

  // Stop asked for while the first file runs: the second never starts.
  std::vector<std::string> converted;
  setup_.convert = [&](BatchJob&, const ConversionOptions&, const std::string& source,
                       const std::string&) {
    converted.push_back(source);
    stop_ = true;
    return 0;
  };
  setup_.sourceText = dir_.file("in a.fmf b.fmf");
  EXPECT_EQ(1, run());
  EXPECT_EQ(1u, converted.size());
  EXPECT_TRUE(reports_.back().stopped);
  EXPECT_EQ("Cancelled. 1 FAX files converted", reports_.back().text);
  EXPECT_NE(std::string::npos,
            testing::readText(setup_.logPath).find("Cancelled : 1 of 2 files not converted\r\n"));
}

TEST_F(WorkerTest, EachFileReadsTheOptionsAppliedBeforeItStarts) {
  std::vector<ConversionOptions> seen;
  setup_.convert = [&](BatchJob&, const ConversionOptions& options, const std::string&,
                       const std::string&) {
    seen.push_back(options);
    ConversionOptions changed = options_.get();
    changed.FlagNum = 44;
    options_.set(changed);
    return 0;
  };
  EXPECT_EQ(2, run());
  ASSERT_EQ(2u, seen.size());
  EXPECT_EQ(3, seen[0].FlagNum);
  EXPECT_EQ(44, seen[1].FlagNum);
  EXPECT_EQ(dir_.file("work-qrvintif.tmp"), seen[0].intermediateFile);
  EXPECT_EQ(dir_.file("work-qrvtmp.tmp"), seen[0].workFile);
}

TEST_F(WorkerTest, FoldersThatCannotBeMadeAreReportedAndTheRunGoesOn) {
  ASSERT_TRUE(testing::writeFileBytes(dir_.file("file"), {'x'}));
  job_.save = dir_.file("file/out");
  job_.backupFolder = dir_.file("file/bak");
  EXPECT_EQ(0, run());
  std::vector<std::string> errors;
  for (const WorkerReport& r : reports_)
    if (r.event == WorkerReport::kError) errors.push_back(r.text);
  EXPECT_EQ((std::vector<std::string>{"Error Save Dir", "Error Backup Dir"}), errors);
  EXPECT_EQ(kResultNotFax, results()[1]);
  EXPECT_EQ("Done. 0 FAX files converted", reports_.back().text);
}

}  // namespace
}  // namespace tarnwick::shell
